# Packet memory against the C library and the standard library, side by side. The packet
# benchmarks need the manager's policy set before first use: one program per policy.
infra_add_bench(MemoryBench MemoryBench.cpp)
infra_add_bench(MemoryPacketSystemBench MemoryPacketBench.cpp)
target_compile_definitions(MemoryPacketSystemBench PRIVATE MEMORY_BENCH_POLICY=1)
infra_add_bench(MemoryPacketPoolBench MemoryPacketBench.cpp)
target_compile_definitions(MemoryPacketPoolBench PRIVATE MEMORY_BENCH_POLICY=2)
