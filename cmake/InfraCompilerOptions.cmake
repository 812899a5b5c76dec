# Warnings are errors everywhere in this tree; sanitizers are switched on for every target
# (library, tests, benchmarks, examples) so that instrumented and plain code never mix.

add_library(infra_warnings INTERFACE)
if(MSVC)
    target_compile_options(infra_warnings INTERFACE /W4 /WX)
else()
    target_compile_options(infra_warnings INTERFACE -Wall -Wextra -Werror)
endif()

# Source paths that reach the binaries (__FILE__ in the library's messages and assertion reports,
# debug information) are written relative to the source root, "src/infra3/logfile/LogFile.cpp", never
# with the build machine's folders. A debugger finds the sources when started from the source
# root (or with a source-path substitution).
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=)
endif()

if(INFRA_SANITIZE)
    string(REPLACE ";" "," _infra_san "${INFRA_SANITIZE}")
    add_compile_options(-fsanitize=${_infra_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${_infra_san})
endif()

# mingw-w64: the C99-conforming printf family of the mingw runtime everywhere (the library
# formats its messages with it; see INFRA_PRINTF_FORMAT in include/infra/Defs.h).
if(MINGW)
    add_compile_definitions(__USE_MINGW_ANSI_STDIO=1)
endif()

# Windows: programs find DLLs in their own folder, so every program and DLL of the build goes to
# one folder (import libraries stay beside their targets).
if(WIN32 AND NOT CMAKE_RUNTIME_OUTPUT_DIRECTORY)
    set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endif()

# Cross-built Windows programs run under Wine: a wrapper in the build tree, with a Wine prefix of
# its own there and the compiler's runtime DLLs on WINEPATH, serves as the emulator for tests
# and test discovery.
if(WIN32 AND CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR AND INFRA_WINE_LOADER)
    set(_infra_dll_dirs "")
    foreach(_dll libstdc++-6.dll libwinpthread-1.dll libgcc_s_seh-1.dll libgcc_s_dw2-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_dll}
            OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        if(IS_ABSOLUTE "${_path}" AND EXISTS "${_path}")
            get_filename_component(_dir "${_path}" REALPATH)
            get_filename_component(_dir "${_dir}" DIRECTORY)
            list(APPEND _infra_dll_dirs "${_dir}")
        endif()
    endforeach()
    list(REMOVE_DUPLICATES _infra_dll_dirs)
    set(INFRA_WINE_PATH "${_infra_dll_dirs}")  # a CMake list: ';'-separated, as WINEPATH wants
    set(INFRA_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
    if(NOT INFRA_WINESERVER)
        set(INFRA_WINESERVER wineserver)
    endif()
    configure_file(${CMAKE_CURRENT_LIST_DIR}/toolchains/WineRun.sh.in
        ${CMAKE_BINARY_DIR}/wine-run.sh @ONLY
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
            WORLD_READ WORLD_EXECUTE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
    execute_process(COMMAND ${INFRA_WINE_LOADER} --version RESULT_VARIABLE _wine_rc
        OUTPUT_QUIET ERROR_QUIET)
    if(NOT _wine_rc EQUAL 0)
        message(WARNING "${INFRA_WINE_LOADER} does not run on this machine: the programs build, "
            "but the tests cannot run here")
    endif()
endif()
