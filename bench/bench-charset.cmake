# Character-set conversion beside iconv (part of glibc, so present on glibc systems); without
# iconv the benchmarks run alone.
infra_add_bench(CharSetBench ${CMAKE_CURRENT_LIST_DIR}/CharSetBench.cpp)

find_package(Iconv QUIET)
if(Iconv_FOUND)
    target_link_libraries(CharSetBench PRIVATE Iconv::Iconv)
    target_compile_definitions(CharSetBench PRIVATE INFRA_HAVE_ICONV)
else()
    message(STATUS "iconv not found: CharSetBench runs without its peer")
endif()
