# Timer costs: start+stop with a large schedule, dispatch latency, worker reuse.
infra_add_bench(TimerBench ${CMAKE_CURRENT_LIST_DIR}/TimerBench.cpp)

# Asynchronous sinks: the cost of a log call to a slow sink taken off the logging thread, beside
# spdlog's asynchronous logger when it is installed.
infra_add_bench(AsyncSinkBench ${CMAKE_CURRENT_LIST_DIR}/AsyncSinkBench.cpp)
find_package(spdlog QUIET)
if(spdlog_FOUND)
    target_link_libraries(AsyncSinkBench PRIVATE spdlog::spdlog)
    target_compile_definitions(AsyncSinkBench PRIVATE INFRA_HAVE_SPDLOG)
else()
    message(STATUS "spdlog not found: AsyncSinkBench runs without its peer")
endif()
