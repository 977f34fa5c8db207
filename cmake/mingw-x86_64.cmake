# Cross build for 64-bit Windows (x86_64) with mingw-w64, as on Debian
# (g++-mingw-w64-x86-64). The win32 thread model is used: the program starts its
# threads through the Win32 API and needs no winpthread DLL.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZOL_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
