# Triple DES, string and IP helpers, the read-write mutex and version records.
infra_add_test(TripleDesTest utils/TripleDesTest.cpp)
find_package(OpenSSL QUIET)
if(OpenSSL_FOUND)
    # OpenSSL is the independent oracle of the cipher tests.
    target_link_libraries(TripleDesTest PRIVATE OpenSSL::Crypto)
    target_compile_definitions(TripleDesTest PRIVATE INFRA_HAVE_OPENSSL)
endif()
infra_add_test(StringUtilTest utils/StringUtilTest.cpp)
infra_add_test(RWMutexTest infra3/RWMutexTest.cpp)
infra_add_test(VersionTest VersionTest.cpp)
