// Timers: first use, due times, dropped firings, stop variants, callbacks that manage their own
// timer, the timer table, time-outs in the thread reports, the idle limit, failed worker starts
// and a clean exit with live timers.
#include "infra/Timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "infra/ThreadManager.h"
#include "infra/Time.h"
#include "infra3/thread/ThreadInternal.h"
#include "infra3/thread/ThreadTestSupport.h"
#include "infra3/thread/TimerInternal.h"

using namespace Tovix::Infra;
using namespace ThreadTestSupport;

namespace {

using Callback = TFunction1<void, unsigned long>;
using Timers = std::vector<std::unique_ptr<CTimer>>;

// A callback that counts its runs; when `gated`, the run for argument i (below 8) waits until
// gate i opens.
struct Jobs {
    std::atomic<int> runs{0}, lastThread{-1}, threadOf[8] = {};
    std::atomic<unsigned long> lastArgument{0};
    std::atomic<bool> gated{false}, entered[8] = {}, open[8] = {};

    void run(unsigned long arg) {
        lastArgument = arg;
        lastThread = CThread::getCurrentThreadID();
        if (gated && arg < 8) {
            threadOf[arg] = CThread::getCurrentThreadID();
            entered[arg] = true;
            waitUntil([&] { return open[arg].load(); }, std::chrono::seconds(60));
        }
        ++runs;
    }
    Callback callback() { return Callback(this, &Jobs::run); }
    void openAll() {
        for (auto& gate : open) {
            gate = true;
        }
    }
};

Detail::TimerPoolStatistics pool() {
    return Detail::timerPoolStatistics();
}

// The due time in the timer table's row of `name`; 0 when there is none.
unsigned long long nextTimeOf(const char* name) {
    LogCapture log;
    CTimerManager::instance()->dumpTimers();
    for (const std::string& line : log.lines()) {
        char seen[32] = {};
        unsigned long long next = 0;
        if (std::sscanf(line.c_str(), "%31s %llu", seen, &next) == 2 && !std::strcmp(seen, name)) {
            return next;
        }
    }
    return 0;
}

}  // namespace

// First in this program, so that it creates the process's first timer, while its creator holds
// a lock that a print sink takes: a creator that waited for the manager thread would never return.
TEST(TimerFirstUse, FirstTimerIsCreatedUnderALockThatAPrintSinkTakes) {
    static std::recursive_mutex sinkLock;
    const TFunction1<bool, const char*> lockingSink(+[](const char*) {
        std::lock_guard<std::recursive_mutex> guard(sinkLock);
        return true;
    });
    LogCapture log(6);  // every thread start is logged
    ASSERT_TRUE(attachPrint(lockingSink));
    std::unique_ptr<CTimer> timer;
    {
        std::lock_guard<std::recursive_mutex> guard(sinkLock);
        timer = std::make_unique<CTimer>("first");  // returns, or the test hangs
    }
    Jobs jobs;  // the manager thread came up once the lock was free
    ASSERT_TRUE(timer->start(jobs.callback(), 1, 0, 0, 0));
    EXPECT_TRUE(waitUntil([&] { return jobs.runs == 1; }));
    detachPrint(lockingSink);
}

TEST(TimerArithmetic, NextDueTimeSkipsMissedPeriodsAndKeepsThePhase) {
    std::mt19937_64 random(1);
    for (int i = 0; i < 5000; ++i) {
        const std::uint64_t next = random() % 5000, now = random() % 6000;
        const std::uint32_t period = 1 + static_cast<std::uint32_t>(random() % (i % 2 ? 7 : 900));
        std::uint64_t expected = next;
        while (expected <= now) {  // one period at a time
            expected += period;
        }
        ASSERT_EQ(Detail::nextDueTime(next, period, now), expected) << next << " " << now;
    }
}

TEST(Timer, StartAndStopResults) {
    Jobs jobs;
    CTimer once("once"), periodic("periodic");
    EXPECT_FALSE(once.start(Callback(), 0, 0, 0, 0));   // an empty callable is refused
    EXPECT_FALSE(once.stop(true) || once.isStarted());  // not started
    EXPECT_TRUE(once.stopAndWait());
    EXPECT_TRUE(once.start(jobs.callback(), 0, 0, 42, 0));  // runs once, at once, on a worker
    ASSERT_TRUE(waitUntil([&] { return jobs.runs == 1 && !once.isRunning(); }));
    EXPECT_TRUE(jobs.lastArgument == 42u && jobs.lastThread != CThread::getCurrentThreadID());
    EXPECT_TRUE(!once.isStarted() && once.isCalled());
    ASSERT_TRUE(once.start(jobs.callback(), 100000, 0, 5, 0));
    EXPECT_TRUE(once.isStarted() && !once.isCalled());
    EXPECT_TRUE(once.stop(false));  // one-shot, not called now
    ASSERT_TRUE(once.start(jobs.callback(), 100000, 0, 5, 0));
    EXPECT_TRUE(once.stop(true));  // one-shot: runs at once
    ASSERT_TRUE(waitUntil([&] { return jobs.runs == 2; }));
    EXPECT_EQ(jobs.lastArgument, 5u);
    ASSERT_TRUE(periodic.start(jobs.callback(), 100000, 1000, 6, 0));
    EXPECT_TRUE(periodic.stop(true) && !periodic.isStarted());  // periodic: only stops
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(jobs.runs, 2);
}

// Five timers fall due together, the others apart: a tick whose clock equals a due time leaves
// that timer to the next. The table's clock less a callback's running time is its dispatch tick.
TEST(Timer, FiresOnlyOnATickPastItsDueTimeAndAllOverdueTimersInOneTick) {
    constexpr int kTimers = 45;
    static std::atomic<int> entered{0};
    static std::atomic<bool> release{false};
    const Callback hold(+[](unsigned long) {
        ++entered;
        waitUntil([] { return release.load(); });
    });
    Timers timers;
    unsigned long long due[kTimers], clock = 0;
    for (int i = 0; i < kTimers; ++i) {
        timers.push_back(std::make_unique<CTimer>(("due" + std::to_string(i)).c_str()));
        const unsigned delay = i < 5 ? 20 : 40 + 12 * (i - 5);  // over a tick apart
        due[i] = CTime::getCurrentMilliSecond() + delay;
        ASSERT_TRUE(timers[i]->start(hold, delay, 1000000, 0, 0));
    }
    ASSERT_TRUE(waitUntil([&] { return entered == kTimers; }, std::chrono::seconds(10)));
    LogCapture log;
    CTimerManager::instance()->dumpTimers();
    release = true;
    const std::vector<std::string> lines = log.lines();
    ASSERT_EQ(std::sscanf(lines.at(0).c_str(), "Timers: ( %llu", &clock), 1);
    for (int row = 0; row < kTimers; ++row) {
        int i = -1, running = -1;
        ASSERT_EQ(std::sscanf(lines.at(3 + row).c_str(), " due%d %*u %*u %*u %d", &i, &running), 2);
        EXPECT_GT(clock - running, due[i]) << i;
    }
}

TEST(Timer, ABusyTimerDropsItsFiringsAndItsDestructionWaitsSayingSoOnce) {
    Jobs jobs;
    jobs.gated = true;
    const auto droppedBefore = pool().dropped;
    auto timer = std::make_unique<CTimer>("slow");
    ASSERT_TRUE(timer->start(jobs.callback(), 0, 20, 0, 0));
    ASSERT_TRUE(waitUntil([&] { return jobs.entered[0].load(); }));
    EXPECT_TRUE(timer->isRunning());
    EXPECT_TRUE(waitUntil([&] { return pool().dropped > droppedBefore + 2; }));  // periodic firings
    EXPECT_FALSE(timer->start(jobs.callback(), 0, 0, 1, 0));
    LogCapture log;
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        jobs.openAll();
    });
    timer.reset();
    EXPECT_EQ(jobs.runs, 1);
    EXPECT_FALSE(jobs.entered[1]);
    opener.join();
    // Reported on the first wait, then only every five seconds.
    EXPECT_EQ(log.count("CTimer::Stop 'slow' wait callback exit!\n"), 1);
}

namespace {

// A callback that manages its own timer in the way `mode` says.
struct SelfManaging {
    CTimer* timer = nullptr;
    int mode = 0;
    std::atomic<int> runs{0};
    void run(unsigned long) {
        const auto [how, own] = std::make_pair(mode, timer);  // before the count lets the test on
        ++runs;
        if (how == 0) {
            own->stop(false);
        } else if (how == 1) {
            EXPECT_TRUE(own->stopAndWait());  // does not wait for itself
        } else if (how == 2) {
            own->setPeriodTime(100000);
        } else if (how == 3) {  // dropped (its callback still runs), not run recursively
            own->start(Callback(this, &SelfManaging::run), 0, 0, 0, 0);
        } else if (how == 4) {
            delete own;  // the worker must not touch the timer afterwards
        } else {         // the timer is destroyed meanwhile: the restart must not outlive it
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            own->start(Callback(this, &SelfManaging::run), 1, 0, 0, 0);
        }
    }
};

}  // namespace

TEST(Timer, CallbackMayStopRePeriodWaitForRestartAndDeleteItsOwnTimer) {
    for (int mode = 0; mode < 6; ++mode) {
        SelfManaging self;
        self.mode = mode;
        self.timer = new CTimer("self");
        ASSERT_TRUE(self.timer->start(Callback(&self, &SelfManaging::run), mode == 3 ? 0 : 1,
                                      mode == 3 ? 0 : 5, 0, 0));
        ASSERT_TRUE(waitUntil([&] { return self.runs == 1; })) << mode;
        const int runs = mode == 5 ? (delete self.timer, self.runs.load()) : 1;  // while it runs
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        EXPECT_EQ(self.runs, runs) << mode;
        if (mode < 4) {
            ASSERT_TRUE(waitUntil([&] { return !self.timer->isRunning(); }));
            EXPECT_EQ(self.timer->isStarted(), mode == 2) << mode;
            delete self.timer;
        }
    }
}

TEST(Timer, SetPeriodTimeShiftsThePhaseByTheDifference) {
    Jobs jobs;
    CTimer timer("shift");
    // The clock counts from the library's load: due times are checked against readings taken
    // around start(), not against a clock known to be far from 0.
    const unsigned long long before = CTime::getCurrentMilliSecond();
    ASSERT_TRUE(timer.start(jobs.callback(), 50000, 40000, 0, 0));
    const unsigned long long first = nextTimeOf("shift");
    ASSERT_TRUE(first >= before + 50000 && first <= CTime::getCurrentMilliSecond() + 50000);
    timer.setPeriodTime(30000);
    EXPECT_EQ(nextTimeOf("shift"), first - 10000);
    timer.setPeriodTime(0);
    EXPECT_EQ(nextTimeOf("shift"), first - 40000);
    // A shift past the clock's origin makes the timer due now instead of wrapping around.
    ASSERT_TRUE(timer.start(jobs.callback(), 10, 4000000000u, 0, 0));
    const unsigned long long beforeShift = CTime::getCurrentMilliSecond();
    timer.setPeriodTime(1);
    const unsigned long long shifted = nextTimeOf("shift");  // + 1 below: it may have fired
    EXPECT_TRUE(shifted >= beforeShift && shifted <= CTime::getCurrentMilliSecond() + 1);
}

TEST(Timer, EmptyTimerTableIsExact) {
    LogCapture log;
    CTimerManager::instance()->dumpTimers();  // no timer is started
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 4u);
    unsigned long long clock = 0;
    ASSERT_EQ(std::sscanf(lines[0].c_str(), "Timers: ( %llu", &clock), 1);
    EXPECT_EQ(lines[0], "Timers: ( " + std::to_string(clock) + " Milli-Seconds Elapsed )\n");
    EXPECT_EQ(lines[1],
              "            Name            NextTime RunningTime Period   Used/Timeout State\n");
    EXPECT_EQ(lines[2], std::string(76, '_') + "\n");
    EXPECT_EQ(lines[3], "\n");
}

TEST(Timer, TimedOutCallbackIsReportedUnderTheTimersNameAndItsWorkerReturnsToThePool) {
    Jobs jobs;
    jobs.gated = true;
    CTimer timer("overrun");
    ASSERT_TRUE(timer.start(jobs.callback(), 0, 600000, 0, 30));
    ASSERT_TRUE(waitUntil([&] { return jobs.entered[0].load(); }));
    const int worker = jobs.threadOf[0];
    LogCapture log;
    auto dumped = [&](const std::string& row) {
        log.clear();
        CThreadManager::instance()->dumpThreads();
        CTimerManager::instance()->dumpTimers();
        return log.contains(row);
    };
    EXPECT_TRUE(waitUntil([&] { return dumped(threadLine("overrun", worker, 64, "Timeout")); }));
    EXPECT_TRUE(log.contains("/    30 Running\n"));  // the timer's row, while its callback runs
    EXPECT_TRUE(log.contains("TimerManager "));      // the manager thread, with priority 1
    EXPECT_TRUE(log.contains("    1  Normal\n"));
    flex_string names;
    EXPECT_TRUE(CThreadManager::instance()->getTimeOutThreads(names));
    EXPECT_NE(std::string(names.c_str()).find("overrun(" + std::to_string(worker) + ")"),
              std::string::npos);
    jobs.openAll();
    // Back in the pool: renamed, deadline cleared.
    EXPECT_TRUE(waitUntil([&] { return dumped(threadLine("[Pooled]", worker, 64, "Normal")); }));
    EXPECT_FALSE(CThreadManager::instance()->getTimeOutThreads(names));
}

TEST(Timer, LimitIdlePooledEndsTheLongestIdleWorkers) {
    CTimerManager::instance()->limitIdlePooled(0);
    Jobs jobs;
    jobs.gated = true;
    Timers timers;
    for (int i = 0; i < 5; ++i) {
        timers.push_back(std::make_unique<CTimer>("gated"));
        ASSERT_TRUE(timers.back()->start(jobs.callback(), 0, 0, static_cast<unsigned long>(i), 0));
        ASSERT_TRUE(waitUntil([&] { return jobs.entered[i].load(); })) << i;
    }
    // Release A..D one after the other (no limit: every one stays); D is the most recently idle.
    for (int i = 0; i < 4; ++i) {
        const int idleBefore = pool().idleWorkers;
        jobs.open[i] = true;
        ASSERT_TRUE(waitUntil([&] { return pool().idleWorkers == idleBefore + 1; })) << i;
    }
    const std::uint64_t endedBefore = pool().workersEnded;
    const int idleBefore = pool().idleWorkers;  // A..D and whatever other tests left idle
    EXPECT_TRUE(CTimerManager::instance()->limitIdlePooled(2));
    jobs.open[4] = true;
    ASSERT_TRUE(waitUntil([&] { return !timers[4]->isRunning() && pool().idleWorkers == 2; }));
    EXPECT_EQ(pool().workersEnded - endedBefore, static_cast<std::uint64_t>(idleBefore + 1 - 2));
    for (int i = 0; i < 5; ++i) {  // A, B and C have ended; D and E remain
        EXPECT_TRUE(waitUntil([&] {
            return CThreadManager::instance()->hasThread(jobs.threadOf[i]) == (i >= 3);
        })) << i;
    }
}

namespace {

// Thread starts fail while `failing` is above 0, as on a system out of threads.
std::atomic<int> g_failing{0}, g_reports{0}, g_blocked{0};
Detail::ThreadStarter g_realStarter = nullptr;

Tovix::Platform::ThreadHandle* failingStarter(Tovix::Platform::ThreadEntry entry, void* argument,
                                              std::size_t stackSize, int priority, int* error) {
    if (g_failing.fetch_sub(1) > 0) {
        *error = EAGAIN;
        return nullptr;
    }
    return g_realStarter(entry, argument, stackSize, priority, error);
}

// Probes from another thread whether the manager mutex is free while a failure is logged.
bool probingSink(const char* line) {
    if (std::strstr(line, "create thread failed") || std::strstr(line, "firing dropped")) {
        ++g_reports;
        auto took = std::make_shared<std::atomic<bool>>(false);
        std::thread([took] { *took = (Detail::timerPoolStatistics(), true); }).detach();
        g_blocked += waitUntil([&] { return took->load(); }, std::chrono::seconds(5)) ? 0 : 1;
    }
    return true;
}

}  // namespace

TEST(Timer, AWorkerThatCannotStartIsReportedWithoutTheManagerMutex) {
    Jobs holders;  // keep every idle worker busy, so that a dispatch has to start one
    holders.gated = true;
    Timers timers;
    while (pool().idleWorkers > 0) {
        timers.push_back(std::make_unique<CTimer>("holder"));
        timers.back()->start(holders.callback(), 0, 0, 0, 0);
    }
    LogCapture log(6);
    ASSERT_TRUE(attachPrint(TFunction1<bool, const char*>(&probingSink)));
    g_realStarter = Detail::replaceThreadStarter(&failingStarter);
    Jobs jobs;
    CTimer timer("unstarted");
    g_failing = 1;
    EXPECT_FALSE(timer.start(jobs.callback(), 0, 0, 0, 0));  // from start(): dropped
    EXPECT_EQ(g_reports, 2);
    g_failing = 1;
    ASSERT_TRUE(timer.start(jobs.callback(), 1, 0, 0, 0));  // from the manager thread
    EXPECT_TRUE(waitUntil([] { return g_reports == 4; }));
    ASSERT_TRUE(timer.start(jobs.callback(), 0, 0, 0, 0));
    ASSERT_TRUE(waitUntil([&] { return jobs.runs == 1; }));  // on a worker that did start
    Detail::replaceThreadStarter(g_realStarter);
    detachPrint(TFunction1<bool, const char*>(&probingSink));
    holders.openAll();
    EXPECT_EQ(g_blocked, 0);
    // Workers run with the normal policy.
    EXPECT_TRUE(log.contains("id = " + std::to_string(jobs.lastThread) + ", prior = N64, "));
}

// The helper returns from main with live timers and threads, or (given an argument) with a timer
// that never ran, so that no worker exists at exit.
TEST(TimerExit, ReturningFromMainWithLiveTimersAndThreadsIsClean) {
    for (const char* argument : {"", " idle", "", " idle"}) {
        const std::string command =
            std::string("\"") + INFRA_TIMER_EXIT_HELPER + "\"" + argument + " > /dev/null";
        EXPECT_EQ(std::system(command.c_str()), 0) << argument;
    }
}
