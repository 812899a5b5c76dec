// The singleton recipe: one object for concurrent first callers, constructors that need other
// singletons, and destruction at exit in the reverse order of creation.
#include "infra3/core/Singleton.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

using Tovix::Infra::Detail::TSingleton;

namespace {

std::atomic<int> g_constructed{0};

struct Slow {
    Slow() {
        ++g_constructed;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a wide window for a twin
    }
};
struct Inner {};
// Needs another singleton from a thread it starts and waits for.
struct Outer {
    Outer() {
        std::thread([this] { inner = TSingleton<Inner>::instance(); }).join();
    }
    Inner* inner = nullptr;
};
struct First {
    ~First() { std::fputs("first destroyed\n", stderr); }
};
struct Second {
    ~Second() { std::fputs("second destroyed\n", stderr); }
};

}  // namespace

TEST(Singleton, ConcurrentFirstCallsShareOneObjectAndConstructorsMayUseOthers) {
    std::vector<std::thread> threads;
    std::vector<Slow*> seen(8, nullptr);
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([i, &seen] { seen[i] = TSingleton<Slow>::instance(); });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(1, g_constructed.load());
    EXPECT_EQ(std::vector<Slow*>(8, seen[0]), seen);
    Outer* outer = TSingleton<Outer>::instance();
    EXPECT_EQ(TSingleton<Inner>::instance(), outer->inner);
}

TEST(SingletonDeathTest, ObjectsDieAtExitInReverseOrderOfCreation) {
    EXPECT_EXIT(
        {
            TSingleton<First>::instance();
            TSingleton<Second>::instance();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "second destroyed\nfirst destroyed\n");
}
