# Cross build for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64-posix).
#   cmake -S . -B build-win64 -G Ninja --toolchain cmake/toolchains/x86_64-w64-mingw32.cmake
set(INFRA_MINGW_TRIPLE x86_64-w64-mingw32)
set(INFRA_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
