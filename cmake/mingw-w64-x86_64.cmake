# Cross-compiling Mailvane.exe for 64-bit Windows with MinGW-w64 on Debian
# (packages g++-mingw-w64-x86-64-posix and binutils-mingw-w64-x86-64):
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The program is linked statically, so it needs none of the toolchain's
# runtime DLLs. When Wine is installed, CMake runs the Windows test binary
# through it, so ctest works in the cross build as in a native one.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MAILVANE_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MAILVANE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MAILVANE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MAILVANE_MINGW_TRIPLET}-windres)

# Libraries and headers come from the cross toolchain's own tree only: the
# host's /usr/include must never reach the cross compiler (Boost's headers
# are exposed on their own, see cmake/boost-headers.cmake).
set(CMAKE_FIND_ROOT_PATH /usr/${MAILVANE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread go into the executable.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Debian installs the 64-bit Wine loader outside PATH.
find_program(MAILVANE_WINE NAMES wine64 wine
  PATHS /usr/lib/wine /usr/lib64/wine NO_CMAKE_FIND_ROOT_PATH)
if(MAILVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env WINEDEBUG=-all ${MAILVANE_WINE})
endif()
