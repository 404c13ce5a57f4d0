# Cross build for 32-bit Windows (the product) with MinGW-w64; the rest is in
# toolchain-mingw-common.cmake.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KV_MINGW_PREFIX i686-w64-mingw32)
set(KV_WINE_ARCH win32)
set(KV_WINE_LOADERS /usr/lib/wine/wine wine wine-stable)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
