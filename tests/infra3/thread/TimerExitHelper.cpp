// Returns from main while timers fire, a callback runs past its time-out and threads are alive,
// a static timer and a static thread among them; with an argument, as soon as a timer exists
// that never ran. TimerTest expects exit status 0: no crash, hang or sanitizer report, and no
// callback or timer start after the destruction of a global constructed before the first timer.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "infra/Thread.h"
#include "infra/ThreadManager.h"
#include "infra/Timer.h"

using namespace Tovix::Infra;
using Callback = TFunction1<void, unsigned long>;
using Body = TFunction1<void, CThreadLite&>;

namespace {

std::atomic<int> g_ticks{0}, g_lateRuns{0};
std::atomic<bool> g_slowRunning{false}, g_watchGone{false};
CTimer* g_watched = nullptr;

// Constructed before the first timer, so destroyed after the timers have stopped firing. A
// callback dispatched before that may still be running, and is let finish first.
struct ExitWatch {
    ~ExitWatch() {
        for (int waited = 0; g_watched && g_watched->isRunning() && waited < 30000; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        g_watchGone = true;
#if !defined(_WIN32)
        // On Windows the library's exit handler runs when the DLL is unloaded, after the
        // program's own globals are gone: timers stop only then.
        const bool started =
            g_watched && g_watched->start(Callback(+[](unsigned long) {}), 1, 1, 0, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // some twenty ticks
        if (started || g_lateRuns != 0) {
            std::fprintf(stderr, "a timer ran after the destruction of a global\n");
            std::_Exit(3);
        }
#endif
    }
} g_exitWatch;

// Destroyed at exit while they run.
CTimer g_staticTimer("static");
CThreadLite g_staticThread(Body(+[](CThreadLite& self) {
                               while (self.looping()) {
                                   CThread::sleep(2);
                               }
                           }),
                           "staticThread");

}  // namespace

// Objects never destroyed, kept reachable on purpose (external linkage, so the stores stay).
void* g_kept[8] = {};
int g_keptCount = 0;

template <class T>
T* keep(T* object) {
    g_kept[g_keptCount++] = object;
    return object;
}

int main(int argc, char**) {
    if (argc > 1) {
        return 0;  // no worker was ever started
    }
    CThreadManager::instance()->registerMainThread();
    const Callback tick(+[](unsigned long) { ++g_ticks; });
    g_staticTimer.start(tick, 1, 3, 0, 0);
    keep(new CTimer("fast"))->start(tick, 0, 1, 1, 0);
    keep(new CTimer("slow"))
        ->start(Callback(+[](unsigned long) {
                    g_slowRunning = true;
                    CThread::sleep(300);
                }),
                0, 20, 2, 50);
    g_watched = keep(new CTimer("watched"));
    g_watched->start(Callback(+[](unsigned long) { g_lateRuns += g_watchGone ? 1 : 0; }), 0, 1, 4,
                     0);
    g_staticThread.createThread();
    keep(new CThreadLite(Body(+[](CThreadLite&) { CThread::sleep(5000); }), "deaf"))  // no stop
        ->createThread();
    while (!g_slowRunning || g_ticks < 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    CThreadManager::instance()->dumpThreads();
    CTimerManager::instance()->dumpTimers();
    return 0;
}
