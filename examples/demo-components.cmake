# The component section: a registered component, a component library loaded on demand
# ("DemoCounter.dll", exporting "createDemoCounterObject") and an interface factory reached
# through a client.
add_library(DemoCounter MODULE ${CMAKE_CURRENT_LIST_DIR}/demo/DemoComponent.cpp)
target_link_libraries(DemoCounter PRIVATE Infra::infra infra_warnings)
set_target_properties(DemoCounter PROPERTIES PREFIX "" SUFFIX ".dll"
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
add_dependencies(demo DemoCounter)

target_sources(demo PRIVATE ${CMAKE_CURRENT_LIST_DIR}/demo/ComponentsDemo.cpp)
target_compile_definitions(demo PRIVATE INFRA_DEMO_COMPONENTS)
# The loader finds the component library through its search path (on Windows it sits next to
# the demo).
if(NOT WIN32)
    list(APPEND INFRA_DEMO_ENV "LD_LIBRARY_PATH=${CMAKE_CURRENT_BINARY_DIR}")
endif()
