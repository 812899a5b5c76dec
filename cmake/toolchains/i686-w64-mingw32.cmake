# Cross build for 32-bit Windows with mingw-w64 (Debian: g++-mingw-w64-i686-posix).
#   cmake -S . -B build-win32 -G Ninja --toolchain cmake/toolchains/i686-w64-mingw32.cmake
set(INFRA_MINGW_TRIPLE i686-w64-mingw32)
set(INFRA_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
