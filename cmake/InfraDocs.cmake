# `docs`: the API reference generated from the public headers' comments (Doxygen), written to
# <build>/docs/html/index.html. A malformed comment fails the target.
find_package(Doxygen QUIET)
if(DOXYGEN_FOUND)
    set(INFRA_DOCS_OUTPUT ${PROJECT_BINARY_DIR}/docs)
    configure_file(${PROJECT_SOURCE_DIR}/docs/Doxyfile.in ${PROJECT_BINARY_DIR}/Doxyfile @ONLY)
    add_custom_target(docs
        COMMAND Doxygen::doxygen ${PROJECT_BINARY_DIR}/Doxyfile
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        COMMENT "API reference: ${INFRA_DOCS_OUTPUT}/html/index.html"
        VERBATIM)
else()
    add_custom_target(docs
        COMMAND ${CMAKE_COMMAND} -E echo "docs: doxygen was not found (Debian: apt-get install doxygen)"
        COMMAND ${CMAKE_COMMAND} -E false
        VERBATIM)
endif()
