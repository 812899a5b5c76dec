# Threads, the thread registry and timers, and running a program to its end (the platform's
# threads themselves are part of the core, whose semaphores wait at their blocking points); the
# services that run threads of their own (print sinks off the logging thread) and the orderly
# shutdown.
target_sources(infra PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/infra3/thread/Thread.cpp
    ${CMAKE_CURRENT_LIST_DIR}/infra3/thread/ThreadManager.cpp
    ${CMAKE_CURRENT_LIST_DIR}/infra3/thread/Timer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/infra3/service/AsyncSink.cpp
    ${CMAKE_CURRENT_LIST_DIR}/infra3/service/Shutdown.cpp)

if(WIN32)
    target_sources(infra PRIVATE
        ${CMAKE_CURRENT_LIST_DIR}/platform/win32/Process.cpp)
else()
    target_sources(infra PRIVATE
        ${CMAKE_CURRENT_LIST_DIR}/platform/posix/Process.cpp)
endif()
