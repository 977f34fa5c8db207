# Shared part of the mingw-w64 toolchain files; ZOL_MINGW_TRIPLET names the target.
# Debian installs both thread models side by side and the plain compiler name may
# point at either, so the "-win32" one is asked for by name where it exists.
find_program(ZOL_MINGW_CXX
  NAMES ${ZOL_MINGW_TRIPLET}-g++-win32 ${ZOL_MINGW_TRIPLET}-g++)
if(NOT ZOL_MINGW_CXX)
  string(REPLACE "_" "-" ZOL_MINGW_PACKAGE "g++-mingw-w64-${ZOL_MINGW_TRIPLET}")
  string(REPLACE "-w64-mingw32" "" ZOL_MINGW_PACKAGE "${ZOL_MINGW_PACKAGE}")
  message(FATAL_ERROR "${ZOL_MINGW_TRIPLET}-g++ was not found: install Debian's ${ZOL_MINGW_PACKAGE} "
                      "(tools/install-build-deps.sh --windows installs it)")
endif()
set(CMAKE_CXX_COMPILER ${ZOL_MINGW_CXX})

set(CMAKE_FIND_ROOT_PATH /usr/${ZOL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
