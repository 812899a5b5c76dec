# The log file writer: rotation by size and by day, pruning, concurrent writers, lost directories.
infra_add_test(LogFileTest ${CMAKE_CURRENT_LIST_DIR}/logfile/LogFileTest.cpp)
infra_add_test(LogFormatTest ${CMAKE_CURRENT_LIST_DIR}/infra3/LogFormatTest.cpp)
infra_add_test(LogPrefixCacheTest ${CMAKE_CURRENT_LIST_DIR}/infra3/LogPrefixCacheTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/infra3/KeptTextTest.cpp)
