# Cross build for 64-bit Windows with MinGW-w64: the same programs as the 32-bit
# product, for x86-64 (and the Windows tests on machines that run only 64-bit
# programs, under 64-bit Wine). The rest is in toolchain-mingw-common.cmake.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KV_MINGW_PREFIX x86_64-w64-mingw32)
set(KV_WINE_ARCH win64)
set(KV_WINE_LOADERS /usr/lib/wine/wine64 wine64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
