# Codec and hash tests. zlib and OpenSSL serve as independent oracles when they are installed;
# the tests still build and run on published vectors without them.
infra_add_test(Base64CrcTest ${CMAKE_CURRENT_LIST_DIR}/utils/Base64CrcTest.cpp)
infra_add_test(HashTest ${CMAKE_CURRENT_LIST_DIR}/utils/HashTest.cpp)

find_package(ZLIB QUIET)
if(ZLIB_FOUND)
    target_link_libraries(Base64CrcTest PRIVATE ZLIB::ZLIB)
    target_compile_definitions(Base64CrcTest PRIVATE INFRA_HAVE_ZLIB)
endif()

find_package(OpenSSL QUIET)
if(OpenSSL_FOUND)
    target_link_libraries(Base64CrcTest PRIVATE OpenSSL::Crypto)
    target_compile_definitions(Base64CrcTest PRIVATE INFRA_HAVE_OPENSSL)
    target_link_libraries(HashTest PRIVATE OpenSSL::Crypto)
    target_compile_definitions(HashTest PRIVATE INFRA_HAVE_OPENSSL)
endif()
