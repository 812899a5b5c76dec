// The buddy pool's lock with its ownership changing hands as often as it can: no two threads are
// ever inside at once, and each sees what the one before it wrote (under the thread sanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "memory/PoolLock.h"
#include "platform/AddressWait.h"

using Tovix::Memory::Detail::PoolLock;

TEST(PoolLock, OwnershipChangingHandsKeepsThreadsApart) {
    // Ownership after two acquisitions in a row, and never harder to get than that.
    PoolLock lock(2, 2);
    // Guarded by the lock; volatile so that the time inside is long enough for another thread.
    volatile long counter = 0;
    volatile int inside = 0;
    std::atomic<int> overlaps{0}, owned{0}, ready{0};
    constexpr int kThreads = 3, kBursts = 3000, kBurst = 6;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            ++ready;
            while (ready.load() < kThreads) {
                std::this_thread::yield();
            }
            for (int b = 0; b < kBursts; ++b) {
                for (int i = 0; i < kBurst; ++i) {
                    const int taken = lock.lock();
                    inside = inside + 1;
                    for (int k = 0; k < 20; ++k) {
                        counter = counter + 1;
                    }
                    overlaps += inside != 1 ? 1 : 0;
                    inside = inside - 1;
                    owned += taken != PoolLock::kShared ? 1 : 0;
                    lock.unlock(taken);
                }
                std::this_thread::yield();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(counter, 20L * kThreads * kBursts * kBurst);
    // The owned path was taken, so its hand-overs were exercised.
    EXPECT_TRUE(!Tovix::Platform::processWideBarrierAvailable() || owned.load() > 0);
}
