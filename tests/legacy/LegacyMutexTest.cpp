// The legacy global mutex and guard.
#include "infra/legacy/Mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

TEST(LegacyMutex, IsReentrantForItsOwnerWhateverTheType) {
    for (CMutex::Type type : {CMutex::mutexFast, CMutex::mutexRecursive}) {
        CMutex mutex(type);
        EXPECT_TRUE(mutex.Enter());
        EXPECT_TRUE(mutex.Enter());
        EXPECT_TRUE(mutex.TryEnter());
        bool other = true;
        std::thread([&] { other = mutex.TryEnter(); }).join();
        EXPECT_FALSE(other);
        EXPECT_TRUE(mutex.Leave());
        EXPECT_TRUE(mutex.Leave());
        EXPECT_TRUE(mutex.Leave());
    }
}

TEST(LegacyMutex, LeaveFailsForAThreadThatDoesNotOwnIt) {
    CMutex mutex;
    EXPECT_FALSE(mutex.Leave());
    mutex.Enter();
    bool left = true;
    std::thread([&] { left = mutex.Leave(); }).join();
    EXPECT_FALSE(left);
    EXPECT_TRUE(mutex.Leave());
}

TEST(LegacyMutex, GuardExcludesOtherThreads) {
    CMutex mutex;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                CGuard guard(mutex);
                ++counter;
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(counter, 40000);
}

TEST(LegacyMutex, AMutexWhoseOwnerEndedIsTakenOverOnceWithFalse) {
    struct State {
        CMutex mutex;
        std::atomic<bool> done{false};
        bool results[6] = {};
    };
    // Shared with a thread that may never return (a mutex that stays locked for good).
    auto state = std::make_shared<State>();
    std::thread([state] {
        state->mutex.Enter();
        state->mutex.Enter();  // ends owning it twice
    }).join();
    std::thread([state] {
        CMutex& mutex = state->mutex;
        state->results[0] = mutex.Enter();  // abandoned: taken, reported false
        state->results[1] = mutex.Leave();  // one level only
        state->results[2] = mutex.TryEnter();
        state->results[3] = mutex.Leave();
        std::thread([&mutex] { mutex.Enter(); }).join();
        state->results[4] = mutex.TryEnter();  // abandoned again, found without waiting
        state->results[5] = mutex.Leave();
        state->done = true;
    }).detach();
    for (int i = 0; i < 30000 && !state->done; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(state->done) << "Enter waits for a thread that has ended";
    const bool expected[6] = {false, true, true, true, false, true};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(state->results[i], expected[i]) << i;
    }
    bool other = false;
    std::thread([state, &other] {
        other = state->mutex.TryEnter();
        state->mutex.Leave();
    }).join();
    EXPECT_TRUE(other);  // released for good
}
