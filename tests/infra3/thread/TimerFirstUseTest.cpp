// The first timer of the process, created while its creator holds a lock that an attached print
// sink takes. The manager thread logs as it starts, so a creator that waited for it would never
// return. An executable of its own: only the first timer of a process starts the manager.
#include "infra/Timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include "infra/PrintLog.h"

using namespace Tovix::Infra;

namespace {

std::recursive_mutex g_sinkLock;

bool lockingSink(const char*) {
    std::lock_guard<std::recursive_mutex> guard(g_sinkLock);
    return true;
}

void mute(const char*) {}

std::atomic<bool> g_fired{false};

void fire(unsigned long) {
    g_fired = true;
}

}  // namespace

TEST(TimerFirstUse, FirstTimerIsCreatedUnderALockThatAPrintSinkTakes) {
    setLogPrinter(TFunction1<void, const char*>(&mute));
    setPrintLogLevel(6);  // every thread start is logged
    ASSERT_TRUE(attachPrint(TFunction1<bool, const char*>(&lockingSink)));
    std::atomic<bool> constructed{false};
    // A deadlock would hang the test: end the process with a message instead.
    std::thread watchdog([&] {
        for (int waited = 0; waited < 60000 && !constructed; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (!constructed) {
            std::fprintf(stderr, "the first CTimer did not return while its creator held a lock\n");
            std::_Exit(1);
        }
    });
    std::unique_ptr<CTimer> timer;
    {
        std::lock_guard<std::recursive_mutex> guard(g_sinkLock);
        timer.reset(new CTimer("first"));
        constructed = true;
    }
    watchdog.join();
    // The manager thread came up once the lock was free.
    ASSERT_TRUE(timer->start(TFunction1<void, unsigned long>(&fire), 1, 0, 0, 0));
    for (int waited = 0; waited < 60000 && !g_fired; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(g_fired);
    setPrintLogLevel(3);
    detachPrint(TFunction1<bool, const char*>(&lockingSink));
}
