# Codec and hash speed, side by side with zlib and OpenSSL when they are installed, in a process
# that has started threads (ThreadedProcess.cpp).
infra_add_bench(CodecBench ${CMAKE_CURRENT_LIST_DIR}/CodecBench.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ThreadedProcess.cpp)

find_package(ZLIB QUIET)
if(ZLIB_FOUND)
    target_link_libraries(CodecBench PRIVATE ZLIB::ZLIB)
    target_compile_definitions(CodecBench PRIVATE INFRA_HAVE_ZLIB)
else()
    message(STATUS "zlib not found: CodecBench runs without its CRC-32 peer")
endif()

find_package(OpenSSL QUIET)
if(OpenSSL_FOUND)
    target_link_libraries(CodecBench PRIVATE OpenSSL::Crypto)
    target_compile_definitions(CodecBench PRIVATE INFRA_HAVE_OPENSSL)
else()
    message(STATUS "OpenSSL not found: CodecBench runs without its Base64, MD5 and SHA-1 peers")
endif()
