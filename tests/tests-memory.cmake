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
