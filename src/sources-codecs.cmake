# Base64, CRC-16/CRC-32, MD5 and SHA-1. The accelerated kernels pick their instructions at run
# time, so nothing here needs special compiler flags.
target_sources(infra PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/utils/Base64.cpp
    ${CMAKE_CURRENT_LIST_DIR}/utils/CpuFeatures.cpp
    ${CMAKE_CURRENT_LIST_DIR}/utils/Crc.cpp
    ${CMAKE_CURRENT_LIST_DIR}/utils/Md5.cpp
    ${CMAKE_CURRENT_LIST_DIR}/utils/Sha1.cpp)
