# cmake -P script: install, then build and run the consumer both ways and build the installed
# examples. Any failure is fatal.
file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
    endif()
    set(last_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")

foreach(header infra/Infra.h infra/Legacy.h infra/Function.h infra/FlexString.h
        infra/infra3/detail/flex_string.h infra/legacy/Mutex.h)
    if(NOT EXISTS "${prefix}/include/${header}")
        message(FATAL_ERROR "installed tree lacks include/${header}")
    endif()
endforeach()

# 1. find_package(Infra CONFIG REQUIRED) + target_link_libraries(app PRIVATE Infra::infra).
run(${CMAKE_COMMAND} -S "${CONSUMER_SOURCE}" -B "${WORK_DIR}/cmake-build" -G "${GENERATOR}"
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_COMPILER=${CXX}"
    "-DCMAKE_CXX_FLAGS=${EXTRA_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${EXTRA_FLAGS}")
run(${CMAKE_COMMAND} --build "${WORK_DIR}/cmake-build")
run("${WORK_DIR}/cmake-build/consumer")
if(NOT last_output MATCHES "consumer ok")
    message(FATAL_ERROR "consumer (CMake) printed: ${last_output}")
endif()

# 2. pkg-config --cflags --libs infra.
find_program(PKG_CONFIG pkg-config REQUIRED)
file(GLOB_RECURSE pc_files "${prefix}/*/infra.pc")
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir "${pc_file}" DIRECTORY)
set(ENV{PKG_CONFIG_PATH} "${pc_dir}")
run(${PKG_CONFIG} --cflags --libs infra)
string(STRIP "${last_output}" pc_flags)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
run(${PKG_CONFIG} --variable=libdir infra)
string(STRIP "${last_output}" libdir)
separate_arguments(extra UNIX_COMMAND "${EXTRA_FLAGS}")
run("${CXX}" -std=c++17 ${extra} "${CONSUMER_SOURCE}/main.cpp" -o "${WORK_DIR}/consumer-pc"
    ${pc_flags} "-Wl,-rpath,${libdir}")
run("${WORK_DIR}/consumer-pc")
if(NOT last_output MATCHES "consumer ok")
    message(FATAL_ERROR "consumer (pkg-config) printed: ${last_output}")
endif()

# 3. The installed examples, built against the installed package by their own CMakeLists.txt.
set(examples "${prefix}/share/doc/infra/examples")
if(NOT EXISTS "${examples}/CMakeLists.txt")
    message(FATAL_ERROR "installed tree lacks share/doc/infra/examples/CMakeLists.txt")
endif()
run(${CMAKE_COMMAND} -S "${examples}" -B "${WORK_DIR}/examples-build" -G "${GENERATOR}"
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_COMPILER=${CXX}"
    "-DCMAKE_CXX_FLAGS=${EXTRA_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${EXTRA_FLAGS}"
    "-DCMAKE_MODULE_LINKER_FLAGS=${EXTRA_FLAGS}")
run(${CMAKE_COMMAND} --build "${WORK_DIR}/examples-build")
