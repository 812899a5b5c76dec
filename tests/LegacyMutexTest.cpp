// The legacy global mutex and guard.
#include "infra/legacy/Mutex.h"

#include <gtest/gtest.h>

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
