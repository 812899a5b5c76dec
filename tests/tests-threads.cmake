# Threads, the thread registry and timers. The registry and timer tests get executables of their
# own: their tables depend on which library threads exist in the process.
infra_add_test(ThreadTest ${CMAKE_CURRENT_LIST_DIR}/infra3/ThreadTest.cpp)
infra_add_test(ThreadManagerTest ${CMAKE_CURRENT_LIST_DIR}/infra3/ThreadManagerTest.cpp)

# A program that returns from main with live timers and threads; TimerTest runs it.
add_executable(TimerExitHelper ${CMAKE_CURRENT_LIST_DIR}/infra3/TimerExitHelper.cpp)
target_link_libraries(TimerExitHelper PRIVATE Infra::infra infra_warnings)
infra_add_test(TimerTest ${CMAKE_CURRENT_LIST_DIR}/infra3/TimerTest.cpp)
add_dependencies(TimerTest TimerExitHelper)
target_compile_definitions(TimerTest PRIVATE
    INFRA_TIMER_EXIT_HELPER="$<TARGET_FILE:TimerExitHelper>")

# The first timer of a process, created under a lock that a print sink takes.
infra_add_test(TimerFirstUseTest ${CMAKE_CURRENT_LIST_DIR}/infra3/TimerFirstUseTest.cpp)
