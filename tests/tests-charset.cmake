# Character-set conversion. iconv (glibc's, or the system's library) is the independent oracle for
# every table; without it only the behaviour tests are built.
find_package(Iconv QUIET)
if(Iconv_FOUND)
    infra_add_test(CharSetTest
        ${CMAKE_CURRENT_LIST_DIR}/utils/CharSetTest.cpp
        ${CMAKE_CURRENT_LIST_DIR}/utils/CodePageTest.cpp)
    target_link_libraries(CharSetTest PRIVATE Iconv::Iconv)
else()
    message(STATUS "iconv not found: the code-page tables are not compared with it")
    infra_add_test(CharSetTest ${CMAKE_CURRENT_LIST_DIR}/utils/CharSetTest.cpp)
endif()
