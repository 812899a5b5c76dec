// Returns from main while timers fire, callbacks run (one far past its time-out), a static timer
// and a static thread still run, and heap threads are alive. TimerTest runs it and expects a
// clean exit with status 0: no crash, no hang, no sanitizer report, and no callback or timer
// start after the destruction of a global constructed before the first timer.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "infra/Thread.h"
#include "infra/ThreadManager.h"
#include "infra/Timer.h"

using namespace Tovix::Infra;

namespace {

std::atomic<int> g_ticks{0};
std::atomic<bool> g_slowRunning{false};

void tick(unsigned long) {
    ++g_ticks;
}

CTimer* g_watched = nullptr;  // never destroyed
std::atomic<bool> g_watchGone{false};
std::atomic<int> g_lateRuns{0};

void watched(unsigned long) {
    if (g_watchGone) {
        ++g_lateRuns;
    }
}

void failExit(const char* what) {
    std::fprintf(stderr, "after the destruction of a global: %s\n", what);
    std::_Exit(3);
}

// Constructed before the first timer, so destroyed after the timers have stopped firing. A
// callback dispatched before that may still be running, and is let finish first.
struct ExitWatch {
    ~ExitWatch() {
        for (int waited = 0; g_watched->isRunning(); ++waited) {
            if (waited == 30000) {
                failExit("a callback still runs");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        g_watchGone = true;
#if !defined(_WIN32)
        // On Windows the library's exit handler runs when the DLL is unloaded, after the
        // program's own globals are gone: timers stop only then.
        if (g_watched->start(TFunction1<void, unsigned long>(&watched), 1, 1, 0, 0)) {
            failExit("a timer started");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // some twenty ticks
        if (g_lateRuns != 0) {
            failExit("a callback ran");
        }
#endif
    }
} g_exitWatch;

void slow(unsigned long) {
    g_slowRunning = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

void spin(CThreadLite& self) {
    while (self.looping()) {
        CThread::sleep(2);
    }
}

void ignoreStop(CThreadLite&) {
    // Ignores looping() for a while; the program does not wait for it at exit.
    for (int i = 0; i < 1000; ++i) {
        CThread::sleep(5);
    }
}

// Destroyed at exit while it fires.
CTimer g_staticTimer("static");
CThreadLite g_staticThread(TFunction1<void, CThreadLite&>(&spin), "staticThread");

}  // namespace

// Never destroyed, and kept reachable on purpose (external linkage, so the stores stay).
CTimer* g_fast = nullptr;
CTimer* g_slow = nullptr;
CTimer* g_once = nullptr;
CThreadLite* g_alive = nullptr;
CThreadLite* g_stubborn = nullptr;

int main() {
    CThreadManager::instance()->registerMainThread();
    g_staticTimer.start(TFunction1<void, unsigned long>(&tick), 1, 3, 0, 0);
    g_fast = new CTimer("fast");
    g_fast->start(TFunction1<void, unsigned long>(&tick), 0, 1, 1, 0);
    g_slow = new CTimer("slow");
    g_slow->start(TFunction1<void, unsigned long>(&slow), 0, 20, 2, 50);
    g_once = new CTimer("once");
    g_once->start(TFunction1<void, unsigned long>(&tick), 2, 0, 3, 0);
    g_watched = new CTimer("watched");
    g_watched->start(TFunction1<void, unsigned long>(&watched), 0, 1, 4, 0);
    g_staticThread.createThread();
    g_alive = new CThreadLite(TFunction1<void, CThreadLite&>(&spin), "alive");
    g_alive->createThread();
    g_stubborn = new CThreadLite(TFunction1<void, CThreadLite&>(&ignoreStop), "stubborn");
    g_stubborn->createThread();
    while (!g_slowRunning || g_ticks < 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    CThreadManager::instance()->dumpThreads();
    CTimerManager::instance()->dumpTimers();
    return 0;
}
