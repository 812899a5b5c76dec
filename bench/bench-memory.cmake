# Packet memory against the C library and the standard library, side by side. The packet
# benchmarks need the manager's policy set before first use: one program per policy. Each program
# starts threads before it measures (ThreadedProcess.cpp).
infra_add_bench(MemoryBench MemoryBench.cpp ThreadedProcess.cpp)
infra_add_bench(MemoryPacketSystemBench MemoryPacketBench.cpp ThreadedProcess.cpp)
target_compile_definitions(MemoryPacketSystemBench PRIVATE MEMORY_BENCH_POLICY=1)
infra_add_bench(MemoryPacketPoolBench MemoryPacketBench.cpp ThreadedProcess.cpp)
target_compile_definitions(MemoryPacketPoolBench PRIVATE MEMORY_BENCH_POLICY=2)
