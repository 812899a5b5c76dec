# A shown line written to the log file with its flush, beside spdlog's basic file sink flushing
# every line.
infra_add_bench(LogFileBench ${CMAKE_CURRENT_LIST_DIR}/LogFileBench.cpp)
find_package(spdlog QUIET)
if(spdlog_FOUND)
    target_link_libraries(LogFileBench PRIVATE spdlog::spdlog)
    target_compile_definitions(LogFileBench PRIVATE INFRA_HAVE_SPDLOG)
endif()
