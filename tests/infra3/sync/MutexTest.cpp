// Re-entrant mutexes: ownership, exclusion and re-entry.
#include "infra/Mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "infra/Semaphore.h"

using namespace Tovix::Infra;

TEST(Mutex, TryEnterFailsForOtherThreadsAndSucceedsForTheOwner) {
    CMutex mutex;
    ASSERT_TRUE(mutex.enter());
    bool otherGotIt = true;
    std::thread([&] { otherGotIt = mutex.tryEnter(); }).join();
    EXPECT_FALSE(otherGotIt);
    EXPECT_TRUE(mutex.tryEnter());  // re-entrant for the owner
    EXPECT_TRUE(mutex.leave());
    EXPECT_TRUE(mutex.leave());
    std::thread([&] {
        otherGotIt = mutex.tryEnter();
        if (otherGotIt) {
            mutex.leave();
        }
    }).join();
    EXPECT_TRUE(otherGotIt);
}

TEST(Mutex, GuardsExcludeEachOther) {
    CMutex mutex;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                CMutexGuard guard(mutex);
                CMutexGuard nested(mutex);
                ++counter;
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(counter, 80000);
}

TEST(RecursiveMutex, OtherThreadWaitsForTheLastLeave) {
    CRecursiveMutex mutex;
    mutex.enter();
    mutex.enter();
    mutex.enter();
    std::atomic<int> leaves{0};
    std::atomic<int> leavesSeenByOther{-1};
    CSemaphore started(0);
    std::thread other([&] {
        started.post();
        mutex.enter();
        leavesSeenByOther = leaves.load();
        mutex.leave();
    });
    started.pend();
    for (int i = 0; i < 3; ++i) {
        // Give the other thread every chance to get in too early.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ++leaves;
        mutex.leave();
    }
    other.join();
    EXPECT_EQ(leavesSeenByOther.load(), 3);
}

TEST(RecursiveMutex, CountsAreKeptPerOwnerUnderContention) {
    CRecursiveMutex mutex;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                CRecursiveMutexGuard outer(mutex);
                CRecursiveMutexGuard inner(mutex);
                ++counter;
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(counter, 80000);
}

// The standard's lock types work with the library's mutexes: std::scoped_lock's deadlock-free
// taking of two mutexes in opposite orders relies on try_lock being exact.
TEST(MutexStandardLocks, ScopedLockUniqueLockAndLockGuardWork) {
    CMutex a;
    CMutex b;
    int counter = 0;
    auto work = [&](bool reversed) {
        for (int i = 0; i < 2000; ++i) {
            if (reversed) {
                std::scoped_lock both(b, a);
                ++counter;
            } else {
                std::scoped_lock both(a, b);
                ++counter;
            }
        }
    };
    std::thread first(work, false);
    std::thread second(work, true);
    first.join();
    second.join();
    EXPECT_EQ(counter, 4000);

    std::unique_lock<CMutex> held(a, std::try_to_lock);
    EXPECT_TRUE(held.owns_lock());
    std::thread([&] {
        std::unique_lock<CMutex> other(a, std::try_to_lock);
        EXPECT_FALSE(other.owns_lock());
    }).join();
    held.unlock();
    std::thread([&] {
        std::unique_lock<CMutex> other(a, std::try_to_lock);
        EXPECT_TRUE(other.owns_lock());
    }).join();

    CRecursiveMutex nested;
    {
        std::lock_guard<CRecursiveMutex> outer(nested);
        std::lock_guard<CRecursiveMutex> inner(nested);
    }
    std::thread([&] { std::lock_guard<CRecursiveMutex> again(nested); }).join();
}
