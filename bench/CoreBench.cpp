// Locks: the library's mutexes beside the standard ones, uncontended.
#include <benchmark/benchmark.h>

#include <mutex>

#include "infra/Mutex.h"
#include "infra/Semaphore.h"
#include "infra/legacy/Mutex.h"

namespace {

void BM_InfraMutexEnterLeave(benchmark::State& state) {
    Tovix::Infra::CMutex mutex;
    for (auto _ : state) {
        mutex.enter();
        mutex.leave();
    }
}
BENCHMARK(BM_InfraMutexEnterLeave);

void BM_StdRecursiveMutexLockUnlock(benchmark::State& state) {
    std::recursive_mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        mutex.unlock();
    }
}
BENCHMARK(BM_StdRecursiveMutexLockUnlock);

void BM_InfraRecursiveMutexEnterLeave(benchmark::State& state) {
    Tovix::Infra::CRecursiveMutex mutex;
    for (auto _ : state) {
        mutex.enter();
        mutex.leave();
    }
}
BENCHMARK(BM_InfraRecursiveMutexEnterLeave);

void BM_InfraRecursiveMutexNestedEnter(benchmark::State& state) {
    Tovix::Infra::CRecursiveMutex mutex;
    mutex.enter();
    for (auto _ : state) {
        mutex.enter();
        mutex.leave();
    }
    mutex.leave();
}
BENCHMARK(BM_InfraRecursiveMutexNestedEnter);

void BM_LegacyMutexGuard(benchmark::State& state) {
    ::CMutex mutex;
    for (auto _ : state) {
        ::CGuard guard(mutex);
    }
}
BENCHMARK(BM_LegacyMutexGuard);

void BM_SemaphorePostPend(benchmark::State& state) {
    Tovix::Infra::CSemaphore semaphore(0);
    for (auto _ : state) {
        semaphore.post();
        semaphore.pend();
    }
}
BENCHMARK(BM_SemaphorePostPend);

}  // namespace
