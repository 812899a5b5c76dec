// Re-entrant mutexes (ownership, exclusion, re-entry, the standard's lock types over them), the
// counting semaphore and thread-local slots.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "infra/Mutex.h"
#include "infra/Semaphore.h"
#include "infra/ThreadSpecific.h"

using namespace Tovix::Infra;

namespace {

bool tryFromAnotherThread(CMutex& mutex) {
    bool took = false;
    std::thread([&] { took = mutex.tryEnter() && mutex.leave(); }).join();
    return took;
}

}  // namespace

TEST(Mutex, TryEnterFailsForOtherThreadsAndSucceedsForTheOwner) {
    CMutex mutex;
    ASSERT_TRUE(mutex.enter());
    EXPECT_FALSE(tryFromAnotherThread(mutex));
    EXPECT_TRUE(mutex.tryEnter());  // re-entrant for the owner
    EXPECT_TRUE(mutex.leave());
    EXPECT_FALSE(tryFromAnotherThread(mutex));
    EXPECT_TRUE(mutex.leave());
    EXPECT_TRUE(tryFromAnotherThread(mutex));
}

TEST(RecursiveMutex, OtherThreadWaitsForTheLastLeave) {
    CRecursiveMutex mutex;
    std::atomic<int> leaves{0}, leavesSeenByOther{-1};
    EXPECT_TRUE(mutex.enter() && mutex.enter() && mutex.enter());
    std::thread other([&] {
        std::lock_guard<CRecursiveMutex> guard(mutex);
        leavesSeenByOther = leaves.load();
    });
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a chance to get in early
        ++leaves;
        mutex.leave();
    }
    other.join();
    EXPECT_EQ(leavesSeenByOther, 3);
}

// std::scoped_lock's deadlock-free taking of two mutexes in opposite orders relies on try_lock
// being exact; the counter shows that the guards, nested, exclude each other.
TEST(MutexStandardLocks, ScopedLockAndLockGuardWork) {
    CMutex a, b;
    CRecursiveMutex c;
    int counter = 0;
    auto work = [&](bool reversed) {
        for (int i = 0; i < 5000; ++i) {
            std::scoped_lock both(reversed ? b : a, reversed ? a : b);
            CMutexGuard nested(a);
            std::lock_guard<CRecursiveMutex> outer(c);
            CRecursiveMutexGuard inner(c);
            ++counter;
        }
    };
    std::thread first(work, false), second(work, true);
    first.join();
    second.join();
    EXPECT_EQ(counter, 10000);
}

TEST(Semaphore, TakesOnlyWhatWasPostedOrGivenAtTheStart) {
    CSemaphore empty(0), three(3), full(0x7FFFFFFF);
    EXPECT_EQ(empty.tryPend(), -1);
    EXPECT_EQ(empty.pend(0), -1);  // as tryPend
    EXPECT_EQ(empty.post() + empty.pend(0) + empty.post() + empty.tryPend(), 0);
    EXPECT_EQ(empty.tryPend(), -1);
    EXPECT_EQ(three.pend() + three.pend(0) + three.tryPend(), 0);
    EXPECT_EQ(three.pend(0), -1);
    EXPECT_EQ(full.post(), -1);  // at the maximum count
    EXPECT_EQ(full.tryPend() + full.post(), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(empty.pend(50), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

TEST(SemaphoreDeathTest, UncreatableSemaphoreEndsWithTheAssertionReport) {
    EXPECT_DEATH(
        CSemaphore semaphore(-1),
        "assertion \\(m_internal->m_handle\\) failed in .*CSemaphore::CSemaphore\\(int\\)");
}

TEST(ThreadSpecific, EachThreadSeesOnlyItsOwnValueAndNullBeforeItSetsOne) {
    CThreadSpecific slots[8];
    int values[4][8];
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 200; ++round) {
                for (int s = 0; s < 8; ++s) {
                    void* got = &wrong;
                    wrong += slots[s].getValue(&got) && got == (round ? &values[t][s] : nullptr) &&
                                     slots[s].setValue(&values[t][s]) && slots[s].valid()
                                 ? 0
                                 : 1;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong, 0);
}
