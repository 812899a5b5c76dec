include(CMakePackageConfigHelpers)

install(TARGETS infra
    EXPORT InfraTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/infra
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    FILES_MATCHING PATTERN "*.h")

set(INFRA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Infra)
install(EXPORT InfraTargets NAMESPACE Infra:: DESTINATION ${INFRA_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/InfraConfig.cmake.in
    ${PROJECT_BINARY_DIR}/InfraConfig.cmake
    INSTALL_DESTINATION ${INFRA_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/InfraConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/InfraConfig.cmake ${PROJECT_BINARY_DIR}/InfraConfigVersion.cmake
    DESTINATION ${INFRA_CMAKE_DIR})

# The .pc file finds its prefix from its own place, so an installed tree can be moved.
file(RELATIVE_PATH INFRA_PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
if(BUILD_SHARED_LIBS)
    set(INFRA_PC_CFLAGS "")
    set(INFRA_PC_PRIVATE_LIBS "-pthread")
else()
    set(INFRA_PC_CFLAGS "-DINFRA_STATIC")
    set(INFRA_PC_PRIVATE_LIBS "-pthread -l${CMAKE_DL_LIBS}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/infra.pc.in ${PROJECT_BINARY_DIR}/infra.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/infra.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The examples' sources, with a CMakeLists.txt that builds them against this installed package.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/infra/examples)
