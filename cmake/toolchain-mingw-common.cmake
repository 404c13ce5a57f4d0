# The part of the Windows cross builds that does not depend on the architecture;
# included by toolchain-mingw32.cmake and toolchain-mingw64.cmake, which set
#   KV_MINGW_PREFIX  the MinGW-w64 target triplet (i686-w64-mingw32, x86_64-w64-mingw32)
#   KV_WINE_ARCH     the Wine prefix's architecture (win32, win64)
#   KV_WINE_LOADERS  the Wine loaders to look for, best first
#
# Debian's posix-threads flavour of the compilers gives std::thread and std::mutex.
# Programs are linked statically (see the top-level CMakeLists.txt) and run under
# Wine through CMAKE_CROSSCOMPILING_EMULATOR, so ctest runs the Windows test
# programs on Linux.
set(CMAKE_SYSTEM_NAME Windows)

find_program(CMAKE_C_COMPILER NAMES ${KV_MINGW_PREFIX}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KV_MINGW_PREFIX}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KV_MINGW_PREFIX}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${KV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Wine: a prefix of our own under the build folder, of the build's architecture,
# so runs do not depend on $HOME and print nothing of Wine's own. The prefix is
# made on first use; scripts/test-all.sh makes it once before ctest starts (it
# takes a while). Mono and Gecko are not needed and are never offered. The loader
# is named outright (and given as WINELOADER): Debian's `wine` script prefers the
# 32-bit loader whenever it is installed, even on a machine that cannot run it.
find_program(KV_WINE NAMES ${KV_WINE_LOADERS} NO_CACHE)
if(KV_WINE)
  set(KV_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix for running the test programs")
  set(CMAKE_CROSSCOMPILING_EMULATOR
      /usr/bin/env WINEPREFIX=${KV_WINEPREFIX} WINEARCH=${KV_WINE_ARCH} WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml="
      WINELOADER=${KV_WINE} ${KV_WINE})
endif()
