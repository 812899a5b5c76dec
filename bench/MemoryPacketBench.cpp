// Packet create+destroy against std::make_shared<std::vector<uint8_t>> of the same size. Built
// once per policy: MEMORY_BENCH_POLICY selects the packet manager's policy before first use.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "infra/Packet.h"
#include "infra/PacketManager.h"

namespace {

const bool g_configured = [] {
    Tovix::Memory::CPacketManager::config(
        static_cast<Tovix::Memory::CPacketManager::Policy>(MEMORY_BENCH_POLICY), nullptr, nullptr);
    return true;
}();

void BM_PacketCreateDestroy(benchmark::State& state) {
    benchmark::DoNotOptimize(g_configured);
    const unsigned int size = static_cast<unsigned int>(state.range(0));
    for (auto _ : state) {
        Tovix::Memory::CPacket packet(size, 16);
        benchmark::DoNotOptimize(packet.getBuffer());
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_PacketCopyWindowDestroy(benchmark::State& state) {
    const unsigned int size = static_cast<unsigned int>(state.range(0));
    for (auto _ : state) {
        Tovix::Memory::CPacket packet(size, 16);
        Tovix::Memory::CPacket copy(packet);
        Tovix::Memory::CPacket window(copy, 0, size / 2, 0);
        benchmark::DoNotOptimize(window.getBuffer());
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_MakeSharedVector(benchmark::State& state) {
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        auto bytes = std::make_shared<std::vector<std::uint8_t>>(size);
        benchmark::DoNotOptimize(bytes->data());
    }
    state.SetItemsProcessed(state.iterations());
}

// Eight packets of cycling sizes alive at once, the oldest replaced each iteration: blocks do not
// come back in the order or size they were taken.
constexpr unsigned int kMixedSizes[] = {64, 1500, 300, 9000, 1024, 4096, 200, 2048, 700};

void BM_PacketMixedSizes(benchmark::State& state) {
    Tovix::Memory::CPacket held[8];
    unsigned int i = 0;
    for (auto _ : state) {
        held[i % 8] = Tovix::Memory::CPacket(kMixedSizes[i % 9], 16);
        benchmark::DoNotOptimize(held[i % 8].getBuffer());
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_MakeSharedMixedSizes(benchmark::State& state) {
    std::shared_ptr<std::vector<std::uint8_t>> held[8];
    unsigned int i = 0;
    for (auto _ : state) {
        held[i % 8] = std::make_shared<std::vector<std::uint8_t>>(kMixedSizes[i % 9]);
        benchmark::DoNotOptimize(held[i % 8]->data());
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_PacketMixedSizes);
BENCHMARK(BM_MakeSharedMixedSizes);
BENCHMARK(BM_PacketCreateDestroy)->RangeMultiplier(4)->Range(64, 65536);
BENCHMARK(BM_MakeSharedVector)->RangeMultiplier(4)->Range(64, 65536);
BENCHMARK(BM_PacketCopyWindowDestroy)->Arg(1500);
BENCHMARK(BM_PacketCreateDestroy)->Arg(1500)->Threads(4)->UseRealTime();
BENCHMARK(BM_MakeSharedVector)->Arg(1500)->Threads(4)->UseRealTime();
