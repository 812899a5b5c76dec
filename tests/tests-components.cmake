# The component framework. The registry test loads real component libraries, built here as
# modules whose files are literally named after the component ("<Name>.dll"), through the loader's
# search path.
# On Windows the libraries sit next to the test executables, where the loader looks first.
if(WIN32 AND CMAKE_RUNTIME_OUTPUT_DIRECTORY)
    set(INFRA_COMPONENT_LIB_DIR ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
elseif(WIN32)
    set(INFRA_COMPONENT_LIB_DIR ${CMAKE_CURRENT_BINARY_DIR})
else()
    set(INFRA_COMPONENT_LIB_DIR ${CMAKE_CURRENT_BINARY_DIR}/component-libs)
endif()

function(infra_add_component_library target outputName suffix)
    add_library(${target} MODULE ${ARGN})
    target_link_libraries(${target} PRIVATE Infra::infra infra_warnings)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
    set_target_properties(${target} PROPERTIES
        PREFIX "" OUTPUT_NAME ${outputName} SUFFIX ${suffix}
        LIBRARY_OUTPUT_DIRECTORY ${INFRA_COMPONENT_LIB_DIR}
        RUNTIME_OUTPUT_DIRECTORY ${INFRA_COMPONENT_LIB_DIR})
endfunction()

infra_add_component_library(TestWidgetComponent TestWidget .dll
    ${CMAKE_CURRENT_LIST_DIR}/component/WidgetLibrary.cpp)
infra_add_component_library(NoEntryComponent NoEntry .dll
    ${CMAKE_CURRENT_LIST_DIR}/component/NoEntryLibrary.cpp)
infra_add_component_library(CutNameComponent CutComponentNameForBounds28x .dl
    ${CMAKE_CURRENT_LIST_DIR}/component/CutNameLibrary.cpp)
infra_add_component_library(MidNameComponent MidComponentNameBound24x .dll
    ${CMAKE_CURRENT_LIST_DIR}/component/CutNameLibrary.cpp)
# The error codes whose texts the self-registering libraries set while their initialisers run:
# one each, so that no text is rewritten while the test reads it.
set(INFRA_SELF_REGISTERING_SIGNAL 0x5E1F0001)
set(INFRA_LOADED_ELSEWHERE_SIGNAL 0x5E1F0002)
foreach(selfRegistering SelfRegistering LoadedElsewhere)
    if(selfRegistering STREQUAL "SelfRegistering")
        set(_signal ${INFRA_SELF_REGISTERING_SIGNAL})
    else()
        set(_signal ${INFRA_LOADED_ELSEWHERE_SIGNAL})
    endif()
    infra_add_component_library(${selfRegistering}Component ${selfRegistering} .dll
        ${CMAKE_CURRENT_LIST_DIR}/component/SelfRegisteringLibrary.cpp)
    target_compile_definitions(${selfRegistering}Component PRIVATE
        SELF_REGISTERING_NAME="${selfRegistering}" SELF_REGISTERING_SIGNAL=${_signal})
endforeach()

# Like infra_add_test, with the component libraries on the loader's search path.
function(infra_add_component_test name)
    add_executable(${name} ${ARGN})
    target_link_libraries(${name} PRIVATE Infra::infra GTest::gtest GTest::gtest_main infra_warnings)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
    add_dependencies(${name} TestWidgetComponent NoEntryComponent CutNameComponent MidNameComponent
        SelfRegisteringComponent LoadedElsewhereComponent)
    if(WIN32)
        gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
            PROPERTIES TIMEOUT 300)
    else()
        gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
            PROPERTIES TIMEOUT 300 ENVIRONMENT "LD_LIBRARY_PATH=${INFRA_COMPONENT_LIB_DIR}")
    endif()
endfunction()

infra_add_test(ComponentObjectTest ${CMAKE_CURRENT_LIST_DIR}/component/ComponentObjectTest.cpp)
infra_add_component_test(ComponentRegistryTest
    ${CMAKE_CURRENT_LIST_DIR}/component/ComponentRegistryTest.cpp)
target_compile_definitions(ComponentRegistryTest PRIVATE
    LOADED_ELSEWHERE_SIGNAL=${INFRA_LOADED_ELSEWHERE_SIGNAL})
infra_add_test(ClientTest ${CMAKE_CURRENT_LIST_DIR}/component/ClientTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/component/FakeClient.cpp)
