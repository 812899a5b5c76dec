# Triple DES against OpenSSL's DES-EDE3-CBC, side by side when OpenSSL is installed.
infra_add_bench(DesBench DesBench.cpp)
find_package(OpenSSL QUIET)
if(OpenSSL_FOUND)
    target_link_libraries(DesBench PRIVATE OpenSSL::Crypto)
    target_compile_definitions(DesBench PRIVATE INFRA_HAVE_OPENSSL)
else()
    message(STATUS "OpenSSL not found: DesBench runs without its peer")
endif()
