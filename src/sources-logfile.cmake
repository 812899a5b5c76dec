# The log file's stream (the writer itself, src/infra3/logfile/LogFile.cpp, is part of the core).
if(WIN32)
    target_sources(infra PRIVATE ${CMAKE_CURRENT_LIST_DIR}/platform/win32/LogStream.cpp)
else()
    target_sources(infra PRIVATE ${CMAKE_CURRENT_LIST_DIR}/platform/posix/LogStream.cpp)
endif()
