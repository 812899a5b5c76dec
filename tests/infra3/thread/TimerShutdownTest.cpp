// The timers' orderly stop, in a process of its own (it is final): it waits for running callbacks
// up to its deadline, ends the manager thread and every worker, and no timer fires or starts
// afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#if defined(__linux__)
#include <dirent.h>
#endif

#include "infra/Timer.h"
#include "infra3/thread/TimerInternal.h"

using namespace Tovix::Infra;
using Callback = TFunction1<void, unsigned long>;

namespace {

std::atomic<int> g_ticks{0};
std::atomic<bool> g_slowDone{false}, g_gate{false}, g_gatedDone{false};

void tick(unsigned long) {
    ++g_ticks;
}
void slow(unsigned long) {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    g_slowDone = true;
}
void gated(unsigned long) {
    while (!g_gate) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    g_gatedDone = true;
}

// The threads of this process that belong to the timers, by their names (Linux), else 0.
int timerThreads() {
    int count = 0;
#if defined(__linux__)
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
            std::string name;
            if (entry->d_name[0] != '.' && std::getline(comm, name)) {
                count += name == "TimerManager" || name == "[Pooled]" || name == "periodic" ||
                         name == "slow" || name == "gated";
            }
        }
        closedir(dir);
    }
#endif
    return count;
}

template <class Condition>
bool eventually(Condition condition) {
    for (int i = 0; i < 20000 && !condition(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

TEST(TimerShutdown, WaitsForCallbacksUpToItsDeadlineAndEndsEveryThread) {
    CTimer periodic("periodic"), slowOne("slow"), gatedOne("gated"), late("late");
    ASSERT_TRUE(periodic.start(Callback(&tick), 1, 2, 0, 0));
    ASSERT_TRUE(eventually([] { return g_ticks >= 3; }));
#if defined(__linux__)
    EXPECT_GE(timerThreads(), 2);  // the manager and a worker at least
#endif
    ASSERT_TRUE(slowOne.start(Callback(&slow), 0, 0, 0, 0));
    ASSERT_TRUE(gatedOne.start(Callback(&gated), 0, 0, 0, 0));
    // The gated callback outlives the deadline; the slow one ends within it and is waited for.
    EXPECT_FALSE(Detail::shutdownTimers(1000));
    EXPECT_TRUE(g_slowDone);
    EXPECT_FALSE(g_gatedDone);
    const int ticks = g_ticks;
    EXPECT_FALSE(late.start(Callback(&tick), 0, 0, 0, 0));
    EXPECT_FALSE(late.start(Callback(&tick), 1, 1, 0, 0));
    EXPECT_FALSE(periodic.stop(true) && late.isStarted());
    EXPECT_FALSE(Detail::shutdownTimers(0));  // a later call only reports
    g_gate = true;
    EXPECT_TRUE(eventually([] { return Detail::shutdownTimers(0); }));
    EXPECT_TRUE(g_gatedDone);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // five ticks: nothing fires
    EXPECT_EQ(ticks, g_ticks);
    const Detail::TimerPoolStatistics pool = Detail::timerPoolStatistics();
    EXPECT_EQ(0, pool.busyWorkers + pool.idleWorkers);
    // The manager thread and the workers have ended (the last one ends by itself).
    EXPECT_TRUE(eventually([] { return timerThreads() == 0; }));
}

}  // namespace
