// Buddy pool and block pool against the C library's malloc/free, side by side.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "infra/MemPool.h"
#include "memory/BuddyPool.h"

namespace {

void* systemMalloc(unsigned int size) {
    return std::malloc(size);
}
void systemFree(void* p) {
    std::free(p);
}
void* systemMemcpy(void* dst, const void* src, unsigned int n) {
    return __builtin_memcpy(dst, src, n);
}

// The packet manager's default geometry: 2 MiB of 1 KiB chunks.
Tovix::Memory::Detail::CBuddyPool& buddyPool() {
    static Tovix::Memory::Detail::CBuddyPool* const pool = new Tovix::Memory::Detail::CBuddyPool(
        Tovix::Memory::CPacketManager::MemoryOperator{&systemMalloc, &systemFree, &systemMemcpy},
        2097152, 1024);
    return *pool;
}

void BM_BuddyPoolPair(benchmark::State& state) {
    Tovix::Memory::Detail::CBuddyPool& pool = buddyPool();
    const unsigned int size = static_cast<unsigned int>(state.range(0));
    for (auto _ : state) {
        unsigned int granted = size;
        void* p = pool.malloc(granted);
        benchmark::DoNotOptimize(p);
        pool.free(p);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_GlibcPair(benchmark::State& state) {
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        void* p = std::malloc(size);
        benchmark::DoNotOptimize(p);
        std::free(p);
    }
    state.SetItemsProcessed(state.iterations());
}

// A working set: each thread keeps 16 blocks of mixed sizes and replaces one per iteration.
void BM_BuddyPoolWorkingSet(benchmark::State& state) {
    Tovix::Memory::Detail::CBuddyPool& pool = buddyPool();
    void* held[16] = {};
    unsigned int i = 0;
    for (auto _ : state) {
        const unsigned int slot = i % 16;
        pool.free(held[slot]);
        unsigned int size = 1024u << (i % 5);
        held[slot] = pool.malloc(size);
        benchmark::DoNotOptimize(held[slot]);
        ++i;
    }
    for (void* p : held) {
        pool.free(p);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_GlibcWorkingSet(benchmark::State& state) {
    void* held[16] = {};
    unsigned int i = 0;
    for (auto _ : state) {
        const unsigned int slot = i % 16;
        std::free(held[slot]);
        held[slot] = std::malloc(1024u << (i % 5));
        benchmark::DoNotOptimize(held[slot]);
        ++i;
    }
    for (void* p : held) {
        std::free(p);
    }
    state.SetItemsProcessed(state.iterations());
}

Tovix::Memory::Detail::CMemPool& blockPool(unsigned int size) {
    static Tovix::Memory::Detail::CMemPool* pools[4] = {
        new Tovix::Memory::Detail::CMemPool(64, 256), new Tovix::Memory::Detail::CMemPool(256, 256),
        new Tovix::Memory::Detail::CMemPool(1024, 256),
        new Tovix::Memory::Detail::CMemPool(4096, 64)};
    return *pools[size <= 64 ? 0 : size <= 256 ? 1 : size <= 1024 ? 2 : 3];
}

void BM_BlockPoolPair(benchmark::State& state) {
    Tovix::Memory::Detail::CMemPool& pool = blockPool(static_cast<unsigned int>(state.range(0)));
    for (auto _ : state) {
        void* p = pool.malloc();
        benchmark::DoNotOptimize(p);
        pool.free(p);
    }
    state.SetItemsProcessed(state.iterations());
}

// Batches of 32 blocks, handed out then given back.
void BM_BlockPoolBatch(benchmark::State& state) {
    Tovix::Memory::Detail::CMemPool& pool = blockPool(static_cast<unsigned int>(state.range(0)));
    void* held[32];
    for (auto _ : state) {
        for (void*& p : held) {
            p = pool.malloc();
        }
        benchmark::DoNotOptimize(held);
        for (void* p : held) {
            pool.free(p);
        }
    }
    state.SetItemsProcessed(state.iterations() * 32);
}

void BM_GlibcBatch(benchmark::State& state) {
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    void* held[32];
    for (auto _ : state) {
        for (void*& p : held) {
            p = std::malloc(size);
        }
        benchmark::DoNotOptimize(held);
        for (void* p : held) {
            std::free(p);
        }
    }
    state.SetItemsProcessed(state.iterations() * 32);
}

}  // namespace

BENCHMARK(BM_BuddyPoolPair)->RangeMultiplier(4)->Range(1024, 65536)->UseRealTime();
BENCHMARK(BM_GlibcPair)->RangeMultiplier(4)->Range(1024, 65536)->UseRealTime();
BENCHMARK(BM_BuddyPoolPair)->RangeMultiplier(4)->Range(1024, 65536)->Threads(4)->UseRealTime();
BENCHMARK(BM_GlibcPair)->RangeMultiplier(4)->Range(1024, 65536)->Threads(4)->UseRealTime();
BENCHMARK(BM_BuddyPoolWorkingSet);
BENCHMARK(BM_GlibcWorkingSet);
BENCHMARK(BM_BuddyPoolWorkingSet)->Threads(4)->UseRealTime();
BENCHMARK(BM_GlibcWorkingSet)->Threads(4)->UseRealTime();

BENCHMARK(BM_BlockPoolPair)->Arg(64)->Arg(256)->Arg(1024)->Arg(4096);
BENCHMARK(BM_GlibcPair)->Arg(64)->Arg(256)->Arg(1024)->Arg(4096);
BENCHMARK(BM_BlockPoolBatch)->Arg(64)->Arg(256)->Arg(1024)->Arg(4096);
BENCHMARK(BM_GlibcBatch)->Arg(64)->Arg(256)->Arg(1024)->Arg(4096);
BENCHMARK(BM_BlockPoolPair)->Arg(64)->Arg(1024)->Threads(4)->UseRealTime();
BENCHMARK(BM_GlibcPair)->Arg(64)->Arg(1024)->Threads(4)->UseRealTime();
