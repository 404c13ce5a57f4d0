# Cross build for 32-bit Windows with MinGW-w64 (Debian's posix-threads flavour,
# which gives std::thread and std::mutex). Programs are linked statically (see the
# top-level CMakeLists.txt) and run under Wine through CMAKE_CROSSCOMPILING_EMULATOR,
# so ctest runs the Windows test programs on Linux.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(KV_MINGW_PREFIX i686-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${KV_MINGW_PREFIX}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KV_MINGW_PREFIX}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KV_MINGW_PREFIX}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${KV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Wine: a 32-bit prefix of our own under the build folder, so runs do not depend
# on $HOME and print nothing of Wine's own. The prefix is made on first use;
# scripts/test-all.sh makes it once before ctest starts (it takes a while).
# Mono and Gecko are not needed and are never offered.
find_program(KV_WINE NAMES wine wine-stable)
if(KV_WINE)
  set(KV_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix for running the test programs")
  set(CMAKE_CROSSCOMPILING_EMULATOR
      /usr/bin/env WINEPREFIX=${KV_WINEPREFIX} WINEARCH=win32 WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml="
      ${KV_WINE})
endif()
