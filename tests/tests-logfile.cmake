# The log file writer: rotation by size and by day, pruning, concurrent writers, lost directories.
infra_add_test(LogFileTest ${CMAKE_CURRENT_LIST_DIR}/logfile/LogFileTest.cpp)
