# Shared part of the mingw-w64 cross toolchains. The including file sets INFRA_MINGW_TRIPLE
# (x86_64-w64-mingw32 or i686-w64-mingw32) and INFRA_MINGW_PROCESSOR first.
#
# The posix-threads flavour of the compilers (…-g++-posix) is used: its runtime implements
# std::thread and std::mutex, which the tests use. Programs built here run under Wine: the
# build generates a wrapper (see cmake/InfraCompilerOptions.cmake) and uses it as the
# cross-compiling emulator, so `ctest` and test discovery run the .exe files through it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${INFRA_MINGW_PROCESSOR})

find_program(INFRA_MINGW_CXX NAMES ${INFRA_MINGW_TRIPLE}-g++-posix ${INFRA_MINGW_TRIPLE}-g++
    REQUIRED)
find_program(INFRA_MINGW_CC NAMES ${INFRA_MINGW_TRIPLE}-gcc-posix ${INFRA_MINGW_TRIPLE}-gcc)
find_program(INFRA_MINGW_RC NAMES ${INFRA_MINGW_TRIPLE}-windres)
set(CMAKE_CXX_COMPILER ${INFRA_MINGW_CXX})
if(INFRA_MINGW_CC)
    set(CMAKE_C_COMPILER ${INFRA_MINGW_CC})
endif()
if(INFRA_MINGW_RC)
    set(CMAKE_RC_COMPILER ${INFRA_MINGW_RC})
endif()

# Libraries, headers and packages come from the target's tree only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${INFRA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Wine's loader for this target: wine64 for 64-bit programs, the 32-bit loader (Debian's
# wine32:i386) for 32-bit ones. A cache entry, so a different Wine can be named at configure
# time (-DINFRA_WINE_LOADER=...).
if(INFRA_MINGW_PROCESSOR STREQUAL "x86_64")
    set(INFRA_WINE_ARCH win64)
    find_program(INFRA_WINE_LOADER NAMES wine64 PATHS /usr/lib/wine /opt/wine-stable/bin
        DOC "Wine loader that runs the cross-built programs")
else()
    set(INFRA_WINE_ARCH win32)
    find_program(INFRA_WINE_LOADER NAMES wine PATHS /usr/lib/wine /opt/wine-stable/bin
        NO_DEFAULT_PATH DOC "Wine loader that runs the cross-built programs")
endif()
find_program(INFRA_WINESERVER NAMES wineserver PATHS /usr/lib/wine /opt/wine-stable/bin
    DOC "Wine server of the loader above")

# Exceptions thrown in the DLL and caught in a program (or the other way round) need one shared
# unwinder: with the DWARF-2 unwinding of i686 a static copy per module would not see the other
# module's frames.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-shared-libgcc")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-shared-libgcc")
