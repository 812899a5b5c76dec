# Packet memory. The manager is configured once per process before first use, so each policy
# has an executable of its own.
infra_add_test(MemoryBuddyPoolTest memory/BuddyPoolTest.cpp)
infra_add_test(MemoryBlockPoolTest memory/MemPoolTest.cpp memory/BufferTest.cpp)
infra_add_test(MemorySystemPolicyTest memory/SystemPolicyTest.cpp)
infra_add_test(MemoryPoolPolicyTest memory/PoolPolicyTest.cpp)
infra_add_test(MemoryPoolDataPolicyTest memory/PoolDataPolicyTest.cpp)
infra_add_test(MemoryExternalPolicyTest memory/ExternalPolicyTest.cpp)
infra_add_test(MemoryConfigTest memory/ConfigTest.cpp)
# Blocks a thread keeps for its next packets (default heap), and none kept over a caller's
# operator; a pool first used by one thread, then by many.
infra_add_test(MemoryRecycleTest memory/RecycleTest.cpp)
infra_add_test(MemoryRecycleOperatorTest memory/RecycleOperatorTest.cpp)
infra_add_test(MemoryPoolThreadsTest memory/PoolThreadsTest.cpp)
# The pool's lock compiled into its test (its parts are internal to the library), so that its
# ownership can be made to change hands at every turn.
if(WIN32)
    set(_infra_address_wait ${PROJECT_SOURCE_DIR}/src/platform/win32/AddressWait.cpp)
else()
    set(_infra_address_wait ${PROJECT_SOURCE_DIR}/src/platform/posix/AddressWait.cpp)
endif()
infra_add_test(MemoryPoolLockTest memory/PoolLockTest.cpp
    ${PROJECT_SOURCE_DIR}/src/memory/PoolLock.cpp ${_infra_address_wait})
if(WIN32)
    target_link_libraries(MemoryPoolLockTest PRIVATE synchronization)
endif()
