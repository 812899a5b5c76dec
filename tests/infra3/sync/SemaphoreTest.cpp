// Counting semaphore: counts, waits, time-outs.
#include "infra/Semaphore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace Tovix::Infra;

TEST(Semaphore, TryPendTakesOnlyWhatWasPosted) {
    CSemaphore semaphore(0);
    EXPECT_EQ(semaphore.tryPend(), -1);
    EXPECT_EQ(semaphore.post(), 0);
    EXPECT_EQ(semaphore.tryPend(), 0);
    EXPECT_EQ(semaphore.tryPend(), -1);
}

TEST(Semaphore, InitialCountIsAvailable) {
    CSemaphore semaphore(3);
    EXPECT_EQ(semaphore.pend(), 0);
    EXPECT_EQ(semaphore.pend(0), 0);
    EXPECT_EQ(semaphore.tryPend(), 0);
    EXPECT_EQ(semaphore.pend(0), -1);
}

TEST(Semaphore, PendZeroBehavesLikeTryPend) {
    CSemaphore semaphore(0);
    EXPECT_EQ(semaphore.pend(0), -1);
    semaphore.post();
    EXPECT_EQ(semaphore.pend(0), 0);
}

TEST(Semaphore, TimedPendWaitsAtLeastItsTimeout) {
    CSemaphore semaphore(0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(semaphore.pend(50), -1);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count(), 50);
}

TEST(Semaphore, TimedPendReturnsWhenPosted) {
    CSemaphore semaphore(0);
    std::thread poster([&] { semaphore.post(); });
    EXPECT_EQ(semaphore.pend(60000), 0);
    poster.join();
}

TEST(Semaphore, CountsAreNeverLostOrDuplicated) {
    CSemaphore semaphore(0);
    std::atomic<int> taken{0};
    std::vector<std::thread> consumers;
    for (int c = 0; c < 3; ++c) {
        consumers.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                ASSERT_EQ(semaphore.pend(), 0);
                ++taken;
            }
        });
    }
    std::vector<std::thread> producers;
    for (int p = 0; p < 2; ++p) {
        producers.emplace_back([&] {
            for (int i = 0; i < 3000; ++i) {
                ASSERT_EQ(semaphore.post(), 0);
            }
        });
    }
    for (auto& t : producers) {
        t.join();
    }
    for (auto& t : consumers) {
        t.join();
    }
    EXPECT_EQ(taken.load(), 6000);
    EXPECT_EQ(semaphore.tryPend(), -1);
}

TEST(Semaphore, PostFailsAtTheMaximumCount) {
    CSemaphore semaphore(0x7FFFFFFF);
    EXPECT_EQ(semaphore.post(), -1);
    EXPECT_EQ(semaphore.tryPend(), 0);
    EXPECT_EQ(semaphore.post(), 0);
}

TEST(SemaphoreDeathTest, UncreatableSemaphoreEndsWithTheAssertionReport) {
    EXPECT_DEATH(
        CSemaphore semaphore(-1),
        "assertion \\(m_internal->m_handle\\) failed in .*CSemaphore::CSemaphore\\(int\\)");
}
