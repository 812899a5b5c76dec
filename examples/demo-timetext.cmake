target_sources(demo PRIVATE ${CMAKE_CURRENT_LIST_DIR}/demo/TimeTextDemo.cpp)
target_compile_definitions(demo PRIVATE INFRA_DEMO_TIMETEXT)
