// The legacy global mutex and guard.
#include "infra/legacy/Mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

TEST(LegacyMutex, IsReentrantForItsOwnerWhateverTheTypeAndRefusesOthers) {
    for (CMutex::Type type : {CMutex::mutexFast, CMutex::mutexRecursive}) {
        CMutex mutex(type);
        EXPECT_FALSE(mutex.Leave());  // not owned
        CGuard guard(mutex);
        EXPECT_TRUE(mutex.Enter() && mutex.TryEnter());
        bool other = true;
        std::thread([&] { other = mutex.TryEnter() || mutex.Leave(); }).join();
        EXPECT_FALSE(other);  // refused to other threads
        EXPECT_TRUE(mutex.Leave() && mutex.Leave());
    }
}

TEST(LegacyMutex, AMutexWhoseOwnerEndedIsTakenOverOnceWithFalse) {
    struct State {
        CMutex mutex;
        std::atomic<bool> done{false};
        std::string results;
    };
    // Shared with a thread that may never return (a mutex that stays locked for good).
    auto state = std::make_shared<State>();
    std::thread([state] {
        state->mutex.Enter();
        state->mutex.Enter();  // ends owning it twice
    }).join();
    std::thread([state] {
        CMutex& mutex = state->mutex;
        std::string& results = state->results;
        results += mutex.Enter() ? '1' : '0';  // abandoned: taken, reported false
        results += mutex.Leave() ? '1' : '0';  // one level only
        results += mutex.TryEnter() && mutex.Leave() ? '1' : '0';
        std::thread([&mutex] { mutex.Enter(); }).join();
        results += mutex.TryEnter() ? '1' : '0';  // abandoned again, found without waiting
        results += mutex.Leave() ? '1' : '0';
        state->done = true;
    }).detach();
    for (int i = 0; i < 30000 && !state->done; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(state->done) << "Enter waits for a thread that has ended";
    EXPECT_EQ(state->results, "01101");
    bool other = false;
    std::thread([&] { other = state->mutex.TryEnter() && state->mutex.Leave(); }).join();
    EXPECT_TRUE(other);  // released for good
}
