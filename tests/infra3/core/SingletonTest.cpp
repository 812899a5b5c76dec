// The singleton recipe: one object for concurrent first callers, destroyed at exit in the
// reverse order of creation.
#include "infra3/core/Singleton.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

using namespace Tovix::Infra;

namespace {

std::atomic<int> g_constructed{0};

struct Slow {
    Slow() {
        ++g_constructed;
        // Widen the window in which a second caller could construct another object.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    int value = 42;
};

struct Inner {
    int value = 7;
};

// A constructor that needs another singleton from a thread it starts and waits for.
struct Outer {
    Outer() {
        std::thread([this] { inner = Detail::TSingleton<Inner>::instance(); }).join();
    }
    Inner* inner = nullptr;
};

}  // namespace

TEST(Singleton, ConcurrentFirstCallsShareOneObject) {
    std::vector<std::thread> threads;
    std::vector<Slow*> seen(8, nullptr);
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([i, &seen] { seen[i] = Detail::TSingleton<Slow>::instance(); });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(g_constructed.load(), 1);
    for (Slow* s : seen) {
        ASSERT_EQ(s, seen[0]);
        EXPECT_EQ(s->value, 42);
    }
}

TEST(Singleton, ConstructorMayCreateOtherSingletonsFromItsThreads) {
    Outer* outer = Detail::TSingleton<Outer>::instance();
    ASSERT_NE(outer->inner, nullptr);
    EXPECT_EQ(outer->inner, Detail::TSingleton<Inner>::instance());
}

namespace {

struct First {
    ~First() { std::fputs("first destroyed\n", stderr); }
};
struct Second {
    ~Second() { std::fputs("second destroyed\n", stderr); }
};

}  // namespace

TEST(SingletonDeathTest, ObjectsDieAtExitInReverseOrderOfCreation) {
    EXPECT_EXIT(
        {
            Detail::TSingleton<First>::instance();
            Detail::TSingleton<Second>::instance();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "second destroyed\nfirst destroyed\n");
}
