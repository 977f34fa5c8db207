# Cross build for 32-bit Windows (i686) with mingw-w64, as on Debian
# (g++-mingw-w64-i686). The win32 thread model is used: the program starts its
# threads through the Win32 API and needs no winpthread DLL.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(ZOL_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
