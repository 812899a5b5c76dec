// Timers: one-shot and periodic runs, skipped firings, stop variants, callbacks that manage their
// own timer, destruction while a callback runs, the worker pool and its limit, the exact timer
// table, time-outs in the thread reports, a clean exit with live timers, and a stress run.
#include "infra/Timer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "infra/Thread.h"
#include "infra/ThreadManager.h"
#include "infra/Time.h"
#include "infra3/thread/ThreadTestSupport.h"
#include "infra3/thread/ThreadInternal.h"
#include "infra3/thread/TimerInternal.h"

using namespace Tovix::Infra;
using ThreadTestSupport::LogCapture;
using ThreadTestSupport::waitUntil;
using Clock = std::chrono::steady_clock;

namespace {

using Callback = TFunction1<void, unsigned long>;

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Counts runs, remembers the argument and thread of the last run, tracks overlap.
struct Recorder {
    std::atomic<int> runs{0};
    std::atomic<unsigned long> argument{0};
    std::atomic<int> threadId{-1};
    std::atomic<int> inside{0};
    std::atomic<int> maxInside{0};
    std::atomic<int> holdMs{0};
    std::mutex mutex;
    std::vector<Clock::time_point> entries;

    void run(unsigned long arg) {
        const int now = ++inside;
        int seen = maxInside.load();
        while (now > seen && !maxInside.compare_exchange_weak(seen, now)) {
        }
        {
            std::lock_guard<std::mutex> guard(mutex);
            entries.push_back(Clock::now());
        }
        argument = arg;
        threadId = CThread::getCurrentThreadID();
        if (holdMs > 0) {
            sleepMs(holdMs);
        }
        --inside;
        ++runs;
    }
    Callback callback() { return Callback(this, &Recorder::run); }
    std::vector<Clock::time_point> times() {
        std::lock_guard<std::mutex> guard(mutex);
        return entries;
    }
};

// Callbacks that block until released, one gate per argument.
struct Gates {
    static constexpr int kGates = 8;
    std::atomic<bool> entered[kGates] = {};
    std::atomic<bool> open[kGates] = {};
    std::atomic<int> threadId[kGates] = {};
    std::atomic<int> finished{0};

    void run(unsigned long index) {
        threadId[index] = CThread::getCurrentThreadID();
        entered[index] = true;
        while (!open[index]) {
            sleepMs(1);
        }
        ++finished;
    }
    Callback callback() { return Callback(this, &Gates::run); }
    void openAll() {
        for (auto& gate : open) {
            gate = true;
        }
    }
};

Detail::TimerPoolStatistics pool() {
    return Detail::timerPoolStatistics();
}

// The blank-separated fields of a table line.
std::vector<std::string> fields(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string field; in >> field;) {
        out.push_back(field);
    }
    return out;
}

// A timer-table row as the library formats it.
std::string timerRow(const std::string& name, unsigned long long next, unsigned long long used,
                     unsigned long period, int running, unsigned long timeout, const char* state) {
    char line[160];
    std::snprintf(line, sizeof line, "%24s %11llu %11llu %6lu %6d/%6lu %s\n", name.c_str(), next,
                  used, period, running, timeout, state);
    return line;
}

// A thread-table row as the library formats it.
std::string threadRow(const std::string& name, int id, int priority, const char* state) {
    char line[128];
    std::snprintf(line, sizeof line, "%24s   %8d  %3d  %s\n", name.c_str(), id, priority, state);
    return line;
}

// The timer row named `name` in `lines`, re-rendered from its fields (so that a row in any
// other shape comes back different), and its fields; empty when there is none.
struct TimerRow {
    std::string text;
    std::string rendered;
    unsigned long long next = 0;
    unsigned long long used = 0;
    unsigned long period = 0;
    int running = 0;
    unsigned long timeout = 0;
    std::string state;
};

TimerRow findTimerRow(const std::vector<std::string>& lines, const std::string& name) {
    for (const std::string& line : lines) {
        const std::vector<std::string> f = fields(line);
        if (f.size() != 7 || f[0] != name || f[4].empty() || f[4].back() != '/') {
            continue;
        }
        TimerRow row;
        row.text = line;
        row.next = std::stoull(f[1]);
        row.used = std::stoull(f[2]);
        row.period = std::stoul(f[3]);
        row.running = std::stoi(f[4]);
        row.timeout = std::stoul(f[5]);
        row.state = f[6];
        row.rendered =
            timerRow(name, row.next, row.used, row.period, row.running, row.timeout, f[6].c_str());
        return row;
    }
    return TimerRow{};
}

// Runs `command` through the shell; true when it exited with status 0.
bool runsCleanly(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

}  // namespace

TEST(TimerArithmetic, MissedPeriodsAreSkippedAndThePhaseKept) {
    EXPECT_EQ(Detail::nextDueTime(100, 30, 50), 100u);   // not yet due
    EXPECT_EQ(Detail::nextDueTime(100, 30, 100), 130u);  // due now
    EXPECT_EQ(Detail::nextDueTime(100, 30, 129), 130u);
    EXPECT_EQ(Detail::nextDueTime(100, 30, 250), 280u);  // five periods missed, one firing
    EXPECT_EQ(Detail::nextDueTime(100, 30, 251), 280u);
    EXPECT_EQ(Detail::nextDueTime(0, 1, 1000000), 1000001u);
    for (std::uint64_t now = 0; now < 2000; now += 7) {
        const std::uint64_t next = Detail::nextDueTime(10, 97, now);
        EXPECT_GT(next, now);
        EXPECT_LE(next, std::max<std::uint64_t>(now, 10) + 97);
        EXPECT_EQ((next - 10) % 97, 0u);
    }
}

TEST(TimerSchedule, HandsOutTimersInSortedListOrderUnderRandomInsertsAndRemoves) {
    struct Item {
        std::size_t slot = Detail::TTimerHeap<Item>::kNowhere;
        Detail::TimerKey key{};
    };
    struct ByKey {
        bool operator()(const Item* a, const Item* b) const { return a->key < b->key; }
    };
    std::mt19937 random(3);
    std::vector<Item> items(2000);
    Detail::TTimerHeap<Item> heap;
    std::set<Item*, ByKey> oracle;  // the sorted list
    std::uint64_t order = ~static_cast<std::uint64_t>(0);
    for (int step = 0; step < 50000; ++step) {
        Item& item = items[random() % items.size()];
        switch (random() % 4) {
            case 0:
            case 1:  // (re)insert; few distinct times, so ties are common
                heap.remove(&item);
                oracle.erase(&item);
                item.key = Detail::TimerKey{random() % 50, order--};
                heap.insert(&item, item.key);
                oracle.insert(&item);
                break;
            case 2:
                heap.remove(&item);
                oracle.erase(&item);
                EXPECT_EQ(item.slot, Detail::TTimerHeap<Item>::kNowhere);
                break;
            default:  // dispatch the head
                if (!oracle.empty()) {
                    ASSERT_EQ(heap.head().item, *oracle.begin()) << step;
                    Item* head = heap.head().item;
                    heap.remove(head);
                    oracle.erase(head);
                }
                break;
        }
        ASSERT_EQ(heap.size(), oracle.size());
    }
    const auto sorted = heap.sorted();
    ASSERT_EQ(sorted.size(), oracle.size());
    auto expected = oracle.begin();
    for (const auto& entry : sorted) {
        EXPECT_EQ(entry.item, *expected++);
    }
    // Among equal times the newest comes first.
    Item older, newer;
    Detail::TTimerHeap<Item> ties;
    ties.insert(&older, Detail::TimerKey{7, 10});
    ties.insert(&newer, Detail::TimerKey{7, 9});
    EXPECT_EQ(ties.head().item, &newer);
}

TEST(Timer, OneShotWithoutDelayRunsOnceOnAWorker) {
    Recorder recorder;
    CTimer timer("oneshot");
    EXPECT_FALSE(timer.isStarted());
    EXPECT_TRUE(timer.start(recorder.callback(), 0, 0, 42, 0));
    ASSERT_TRUE(waitUntil([&] { return recorder.runs.load() == 1; }));
    EXPECT_EQ(recorder.argument, 42u);
    EXPECT_NE(recorder.threadId, CThread::getCurrentThreadID());
    EXPECT_FALSE(timer.isStarted());
    EXPECT_TRUE(timer.isCalled());
    sleepMs(50);
    EXPECT_EQ(recorder.runs, 1);
    EXPECT_TRUE(waitUntil([&] { return !timer.isRunning(); }));
}

TEST(Timer, DelayIsALowerBound) {
    Recorder recorder;
    CTimer timer("delayed");
    const auto started = Clock::now();
    EXPECT_TRUE(timer.start(recorder.callback(), 60, 0, 7, 0));
    EXPECT_TRUE(timer.isStarted());
    EXPECT_FALSE(timer.isCalled());
    ASSERT_TRUE(waitUntil([&] { return recorder.runs.load() == 1; }));
    EXPECT_GE(recorder.times().front() - started, std::chrono::milliseconds(60));
    EXPECT_TRUE(timer.isCalled());
}

TEST(Timer, PeriodicTimerNeverOverlapsItselfAndSkipsWhatItMissed) {
    Recorder recorder;
    recorder.holdMs = 35;
    CTimer timer("overlong");
    const auto started = Clock::now();
    const auto droppedBefore = pool().dropped;
    ASSERT_TRUE(timer.start(recorder.callback(), 1, 10, 0, 0));
    ASSERT_TRUE(waitUntil([&] { return recorder.runs.load() >= 8; }));
    timer.stopAndWait();
    const auto elapsed = Clock::now() - started;
    EXPECT_EQ(recorder.maxInside, 1);
    // Each run takes at least 35 ms and runs never overlap, so skipped firings were not queued.
    EXPECT_LE(recorder.runs.load(), elapsed / std::chrono::milliseconds(35) + 1);
    EXPECT_GT(pool().dropped, droppedBefore);
    EXPECT_FALSE(timer.isRunning());
}

TEST(Timer, SkippedFiringsAreNeverMadeUp) {
    // The first run blocks for ten periods; afterwards the timer keeps its pace.
    struct Blocker {
        std::atomic<int> runs{0};
        std::atomic<bool> release{false};
        std::mutex mutex;
        std::vector<Clock::time_point> after;
        void run(unsigned long) {
            if (runs++ == 0) {
                while (!release) {
                    sleepMs(1);
                }
                return;
            }
            std::lock_guard<std::mutex> guard(mutex);
            after.push_back(Clock::now());
        }
    } blocker;
    CTimer timer("blocked");
    ASSERT_TRUE(timer.start(Callback(&blocker, &Blocker::run), 0, 100, 0, 0));
    ASSERT_TRUE(waitUntil([&] { return blocker.runs.load() == 1; }));
    sleepMs(1000);
    const auto released = Clock::now();
    blocker.release = true;
    sleepMs(250);
    timer.stopAndWait();
    std::lock_guard<std::mutex> guard(blocker.mutex);
    int inWindow = 0;
    for (const auto& t : blocker.after) {
        inWindow += t - released <= std::chrono::milliseconds(250) ? 1 : 0;
    }
    // 250 ms hold at most three firings of a 100 ms timer; catching up would add about ten.
    EXPECT_LE(inWindow, 4);
}

TEST(Timer, StopVariants) {
    Recorder recorder;
    CTimer once("once");
    EXPECT_FALSE(once.stop(false));  // not started
    EXPECT_TRUE(once.stopAndWait());
    ASSERT_TRUE(once.start(recorder.callback(), 100000, 0, 5, 0));
    EXPECT_TRUE(once.stop(true));  // one-shot: runs at once
    ASSERT_TRUE(waitUntil([&] { return recorder.runs.load() == 1; }));
    EXPECT_EQ(recorder.argument, 5u);
    EXPECT_FALSE(once.isStarted());
    EXPECT_TRUE(once.isCalled());

    CTimer periodic("periodic");
    ASSERT_TRUE(periodic.start(recorder.callback(), 100000, 1000, 6, 0));
    EXPECT_TRUE(periodic.stop(true));  // periodic: only stops
    EXPECT_FALSE(periodic.isStarted());
    sleepMs(50);
    EXPECT_EQ(recorder.runs, 1);
    EXPECT_FALSE(periodic.stop(true));
}

TEST(Timer, EmptyCallableIsRefused) {
    CTimer timer("empty");
    EXPECT_FALSE(timer.start(Callback(), 0, 0, 0, 0));
    EXPECT_FALSE(timer.start(Callback(), 10, 10, 0, 0));
    EXPECT_FALSE(timer.isStarted());
    EXPECT_FALSE(timer.isCalled());
}

TEST(Timer, ImmediateStartIsDroppedWhileThePreviousCallbackRuns) {
    Gates gates;
    CTimer timer("busy");
    ASSERT_TRUE(timer.start(gates.callback(), 0, 0, 0, 0));
    ASSERT_TRUE(waitUntil([&] { return gates.entered[0].load(); }));
    EXPECT_TRUE(timer.isRunning());
    EXPECT_FALSE(timer.start(gates.callback(), 0, 0, 1, 0));
    EXPECT_TRUE(timer.isCalled());
    gates.openAll();
    ASSERT_TRUE(waitUntil([&] { return !timer.isRunning(); }));
    EXPECT_EQ(gates.finished, 1);
    EXPECT_FALSE(gates.entered[1]);
}

TEST(Timer, DestroyingATimerWaitsForItsRunningCallback) {
    struct Slow {
        std::atomic<bool> entered{false};
        std::atomic<bool> finished{false};
        void run(unsigned long) {
            entered = true;
            sleepMs(150);
            finished = true;
        }
    } slow;
    auto timer = std::make_unique<CTimer>("slow");
    ASSERT_TRUE(timer->start(Callback(&slow, &Slow::run), 0, 20, 0, 0));
    ASSERT_TRUE(waitUntil([&] { return slow.entered.load(); }));
    std::thread other([&] { timer.reset(); });
    other.join();
    EXPECT_TRUE(slow.finished);
}

namespace {

// A callback that manages its own timer, chosen by the argument.
struct SelfManaging {
    CTimer* timer = nullptr;
    std::atomic<int> runs{0};
    std::atomic<bool> stopAndWaitReturned{false};
    std::atomic<bool> deleted{false};

    void stopSelf(unsigned long) {
        ++runs;
        timer->stop(false);
    }
    void restartSelf(unsigned long round) {
        if (++runs < 3) {
            timer->start(Callback(this, &SelfManaging::restartSelf), 5, 0, round + 1, 0);
        }
    }
    void waitForSelf(unsigned long) {
        ++runs;
        stopAndWaitReturned = timer->stopAndWait();  // must not wait for itself
    }
    void rePeriodSelf(unsigned long) {
        if (++runs == 1) {
            timer->setPeriodTime(100000);
        }
    }
    void deleteSelf(unsigned long) {
        ++runs;
        delete timer;  // the worker must not touch the timer afterwards
        deleted = true;
    }
    void restartImmediately(unsigned long) {
        ++runs;
        timer->start(Callback(this, &SelfManaging::restartImmediately), 0, 0, 0, 0);
    }
};

}  // namespace

TEST(Timer, CallbackMayStopRestartRePeriodWaitForAndDeleteItsOwnTimer) {
    {
        SelfManaging self;
        CTimer timer("stopSelf");
        self.timer = &timer;
        ASSERT_TRUE(timer.start(Callback(&self, &SelfManaging::stopSelf), 1, 5, 0, 0));
        ASSERT_TRUE(waitUntil([&] { return self.runs.load() == 1; }));
        sleepMs(60);
        EXPECT_EQ(self.runs, 1);
        EXPECT_FALSE(timer.isStarted());
    }
    {
        SelfManaging self;
        CTimer timer("restartSelf");
        self.timer = &timer;
        ASSERT_TRUE(timer.start(Callback(&self, &SelfManaging::restartSelf), 1, 0, 0, 0));
        ASSERT_TRUE(waitUntil([&] { return self.runs.load() == 3; }));
    }
    {
        SelfManaging self;
        CTimer timer("waitSelf");
        self.timer = &timer;
        ASSERT_TRUE(timer.start(Callback(&self, &SelfManaging::waitForSelf), 1, 5, 0, 0));
        ASSERT_TRUE(waitUntil([&] { return self.stopAndWaitReturned.load(); }));
        EXPECT_FALSE(timer.isStarted());
    }
    {
        SelfManaging self;
        CTimer timer("rePeriodSelf");
        self.timer = &timer;
        ASSERT_TRUE(timer.start(Callback(&self, &SelfManaging::rePeriodSelf), 1, 5, 0, 0));
        ASSERT_TRUE(waitUntil([&] { return self.runs.load() == 1; }));
        sleepMs(60);
        EXPECT_EQ(self.runs, 1);
        EXPECT_TRUE(timer.isStarted());
    }
    {
        SelfManaging self;
        self.timer = new CTimer("deleteSelf");
        ASSERT_TRUE(self.timer->start(Callback(&self, &SelfManaging::deleteSelf), 1, 5, 0, 0));
        ASSERT_TRUE(waitUntil([&] { return self.deleted.load(); }));
        sleepMs(30);
        EXPECT_EQ(self.runs, 1);
    }
    {
        // Restarting with delay 0 from the callback is dropped (it still runs), not recursive.
        SelfManaging self;
        CTimer timer("restartNow");
        self.timer = &timer;
        ASSERT_TRUE(timer.start(Callback(&self, &SelfManaging::restartImmediately), 0, 0, 0, 0));
        ASSERT_TRUE(waitUntil([&] { return self.runs.load() == 1; }));
        sleepMs(30);
        EXPECT_EQ(self.runs, 1);
    }
}

TEST(Timer, DestructionRacesWithACallbackThatRestartsItsTimer) {
    struct Restarter {
        CTimer* timer = nullptr;
        std::atomic<int> runs{0};
        void run(unsigned long) {
            ++runs;
            sleepMs(20);
            timer->start(Callback(this, &Restarter::run), 1, 0, 0, 0);
        }
    };
    for (int round = 0; round < 5; ++round) {
        Restarter restarter;
        auto timer = std::make_unique<CTimer>("restarter");
        restarter.timer = timer.get();
        ASSERT_TRUE(timer->start(Callback(&restarter, &Restarter::run), 0, 0, 0, 0));
        ASSERT_TRUE(waitUntil([&] { return restarter.runs.load() >= 1; }));
        timer.reset();  // waits; the restart from the running callback must not outlive it
        const int runs = restarter.runs;
        sleepMs(30);
        EXPECT_EQ(restarter.runs, runs);
    }
}

TEST(Timer, SetPeriodTimeShiftsThePhaseByTheDifference) {
    Recorder recorder;
    CTimer timer("shift");
    // The millisecond clock counts from the library's load, so in a fresh process it may still
    // read 0 here: the due time is checked against readings taken around start().
    const long long clockBeforeStart = static_cast<long long>(CTime::getCurrentMilliSecond());
    ASSERT_TRUE(timer.start(recorder.callback(), 50000, 40000, 0, 0));
    const long long clockAfterStart = static_cast<long long>(CTime::getCurrentMilliSecond());
    LogCapture log;
    auto nextTime = [&] {
        log.clear();
        CTimerManager::instance()->dumpTimers();
        const TimerRow row = findTimerRow(log.lines(), "shift");
        EXPECT_EQ(row.text, row.rendered);
        return static_cast<long long>(row.next);
    };
    const long long before = nextTime();
    ASSERT_GE(before, clockBeforeStart + 50000);
    ASSERT_LE(before, clockAfterStart + 50000);
    timer.setPeriodTime(30000);
    EXPECT_EQ(nextTime(), before - 10000);
    // A shift past the clock's origin makes the timer due now instead of wrapping around.
    timer.setPeriodTime(0);
    EXPECT_EQ(nextTime(), before - 40000);
    timer.setPeriodTime(0);
    timer.stop(false);
    ASSERT_TRUE(timer.start(recorder.callback(), 10, 4000000000u, 0, 0));
    const long long clockBeforeShift = static_cast<long long>(CTime::getCurrentMilliSecond());
    timer.setPeriodTime(1);  // 10 - 4000000000 + 1 would lie before the origin
    const long long shifted = nextTime();
    EXPECT_GE(shifted, clockBeforeShift);
    EXPECT_LE(shifted, static_cast<long long>(CTime::getCurrentMilliSecond()));
    timer.stopAndWait();
}

TEST(Timer, StatisticsAccumulateOnlyWhenEnabled) {
    Recorder recorder;
    recorder.holdMs = 30;
    CTimer timer("stats");
    // The accumulated milliseconds, read from the table while the timer waits far ahead.
    auto usedTime = [&] {
        timer.stopAndWait();
        EXPECT_TRUE(timer.start(recorder.callback(), 100000, 60, 0, 0));
        LogCapture log;
        CTimerManager::instance()->dumpTimers();
        timer.stop(false);
        const TimerRow row = findTimerRow(log.lines(), "stats");
        EXPECT_EQ(row.text, row.rendered);
        EXPECT_EQ(row.period, 60u);
        EXPECT_EQ(row.state, "Idle");
        return row.text.empty() ? -1LL : static_cast<long long>(row.used);
    };
    ASSERT_TRUE(timer.start(recorder.callback(), 1, 60, 0, 0));
    timer.enableStat(true);
    ASSERT_TRUE(waitUntil([&] { return recorder.runs.load() >= 3; }));
    const long long used = usedTime();
    EXPECT_GE(used, 3 * 30);  // at least three runs of at least 30 ms each
    // start() switched statistics off: further runs add nothing, and nothing is reset.
    ASSERT_TRUE(timer.start(recorder.callback(), 1, 60, 0, 0));
    const int runs = recorder.runs;
    ASSERT_TRUE(waitUntil([&] { return recorder.runs.load() >= runs + 2; }));
    EXPECT_EQ(usedTime(), used);
}

TEST(Timer, TimerTableIsExact) {
    LogCapture log;
    // Nothing started yet by this test: title, header, rule, the timers other tests left
    // running (none), and the closing empty line.
    CTimerManager::instance()->dumpTimers();
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 4u);
    const std::vector<std::string> title = fields(lines[0]);
    ASSERT_EQ(title.size(), 6u) << lines[0];
    EXPECT_EQ(lines[0],
              "Timers: ( " + std::to_string(std::stoull(title[2])) + " Milli-Seconds Elapsed )\n");
    EXPECT_EQ(lines[1],
              "            Name            NextTime RunningTime Period   Used/Timeout State\n");
    EXPECT_EQ(lines[2], std::string(76, '_') + "\n");
    EXPECT_EQ(lines[3], "\n");

    // Two timers due at the same time (the newer one is listed first), one due earlier, one
    // running a callback. Due times are known exactly when the clock reading does not change
    // around the start calls.
    Recorder recorder;
    Gates gates;
    CTimer first("first"), second("second"), early("early"), busy("busy");
    std::uint64_t now = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        now = CTime::getCurrentMilliSecond();
        first.start(recorder.callback(), 500000, 0, 0, 0);
        second.start(recorder.callback(), 500000, 1000, 0, 250);
        early.start(recorder.callback(), 400000, 0, 0, 0);
        if (CTime::getCurrentMilliSecond() == now) {
            break;
        }
    }
    ASSERT_TRUE(busy.start(gates.callback(), 0, 600000, 0, 77));
    ASSERT_TRUE(waitUntil([&] { return gates.entered[0].load(); }));
    log.clear();
    CTimerManager::instance()->dumpTimers();
    lines = log.lines();
    gates.openAll();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[3], timerRow("early", now + 400000, 0, 0, 0, 0, "Idle"));
    EXPECT_EQ(lines[4], timerRow("second", now + 500000, 0, 1000, 0, 250, "Idle"));
    EXPECT_EQ(lines[5], timerRow("first", now + 500000, 0, 0, 0, 0, "Idle"));
    const TimerRow busyRow = findTimerRow({lines[6]}, "busy");
    EXPECT_EQ(lines[6], busyRow.rendered);
    EXPECT_EQ(busyRow.used, 0u);
    EXPECT_EQ(busyRow.period, 600000u);
    EXPECT_EQ(busyRow.timeout, 77u);
    EXPECT_EQ(busyRow.state, "Running");
    EXPECT_GT(busyRow.next, now + 500000);
    EXPECT_EQ(lines[7], "\n");
}

TEST(Timer, TimedOutCallbackIsReportedUnderTheTimersName) {
    Gates gates;
    CTimer timer("overrun");
    ASSERT_TRUE(timer.start(gates.callback(), 0, 0, 0, 30));
    ASSERT_TRUE(waitUntil([&] { return gates.entered[0].load(); }));
    const int worker = gates.threadId[0];
    const std::string entry = "overrun(" + std::to_string(worker) + ")";
    flex_string names;
    EXPECT_TRUE(waitUntil([&] {
        CThreadManager::instance()->getTimeOutThreads(names);
        return std::string(names.c_str()).find(entry) != std::string::npos;
    }));
    {
        LogCapture log;
        // The first timer starts the manager thread without waiting for it.
        EXPECT_TRUE(waitUntil([&] {
            log.clear();
            CThreadManager::instance()->dumpThreads();
            return log.contains("            TimerManager");
        }));
        EXPECT_TRUE(log.contains(threadRow("overrun", worker, 64, "Timeout")));
    }
    gates.openAll();
    ASSERT_TRUE(waitUntil([&] { return !timer.isRunning(); }));
    // Back in the pool: renamed, deadline cleared.
    flex_string name;
    EXPECT_TRUE(waitUntil([&] {
        return CThreadManager::instance()->getThreadNameByID(worker, name) && name == "[Pooled]";
    }));
    CThreadManager::instance()->getTimeOutThreads(names);
    EXPECT_EQ(std::string(names.c_str()).find(entry), std::string::npos);
}

TEST(Timer, ThreadTableListsTheManagerAndItsWorkers) {
    Recorder recorder;
    CTimer timer("listed");
    ASSERT_TRUE(timer.start(recorder.callback(), 0, 0, 0, 0));
    ASSERT_TRUE(waitUntil([&] { return recorder.runs.load() == 1 && !timer.isRunning(); }));
    LogCapture log;
    bool sawManager = false, sawWorker = false;
    // The first timer starts the manager thread without waiting for it.
    waitUntil([&] {
        log.clear();
        CThreadManager::instance()->dumpThreads();
        for (const std::string& line : log.lines()) {
            const std::vector<std::string> f = fields(line);
            if (f.size() != 4 || f[1].find_first_not_of("-0123456789") != std::string::npos) {
                continue;
            }
            sawManager =
                sawManager || (line == threadRow("TimerManager", std::stoi(f[1]), 1, "Normal"));
            sawWorker = sawWorker || (line == threadRow("[Pooled]", std::stoi(f[1]), 64, "Normal"));
        }
        return sawManager && sawWorker;
    });
    EXPECT_TRUE(sawManager);
    EXPECT_TRUE(sawWorker);
}

TEST(Timer, WorkersAreReused) {
    constexpr int kTimers = 100;
    constexpr int kFirings = 3000;
    CTimerManager::instance()->limitIdlePooled(0);
    const Detail::TimerPoolStatistics before = pool();
    Recorder recorder;
    std::vector<std::unique_ptr<CTimer>> timers;
    for (int i = 0; i < kTimers; ++i) {
        timers.push_back(std::make_unique<CTimer>("reuse"));
        ASSERT_TRUE(timers.back()->start(recorder.callback(), 1 + i % 10, 10, 0, 0));
    }
    ASSERT_TRUE(waitUntil([&] { return recorder.runs.load() >= kFirings; }));
    timers.clear();
    const Detail::TimerPoolStatistics after = pool();
    // A worker is started only when every existing one is out of the pool.
    EXPECT_LE(after.workersCreated - before.workersCreated,
              static_cast<std::uint64_t>(after.peakBusyWorkers));
    EXPECT_LT(after.workersCreated - before.workersCreated,
              static_cast<std::uint64_t>(recorder.runs.load()) / 10);
}

TEST(Timer, LimitIdlePooledEndsTheLongestIdleWorkers) {
    CTimerManager::instance()->limitIdlePooled(0);
    Gates gates;
    std::vector<std::unique_ptr<CTimer>> timers;
    for (int i = 0; i < 5; ++i) {
        timers.push_back(std::make_unique<CTimer>("gated"));
        ASSERT_TRUE(timers.back()->start(gates.callback(), 0, 0, static_cast<unsigned long>(i), 0));
    }
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(waitUntil([&] { return gates.entered[i].load(); })) << i;
    }
    // Release A..D one after the other: D is then the most recently idle.
    for (int i = 0; i < 4; ++i) {
        const int idleBefore = pool().idleWorkers;
        gates.open[i] = true;
        ASSERT_TRUE(waitUntil([&] { return pool().idleWorkers == idleBefore + 1; })) << i;
    }
    const std::uint64_t endedBefore = pool().workersEnded;
    const int idleBefore = pool().idleWorkers;  // A..D and whatever other tests left idle
    EXPECT_TRUE(CTimerManager::instance()->limitIdlePooled(2));
    gates.open[4] = true;
    ASSERT_TRUE(waitUntil([&] { return !timers[4]->isRunning(); }));
    ASSERT_TRUE(waitUntil([&] { return pool().idleWorkers == 2; }));
    EXPECT_EQ(pool().workersEnded - endedBefore, static_cast<std::uint64_t>(idleBefore + 1 - 2));
    // A, B and C have ended; D and E remain.
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(waitUntil([&] {
            return !CThreadManager::instance()->hasThread(gates.threadId[i]);
        })) << i;
    }
    EXPECT_TRUE(CThreadManager::instance()->hasThread(gates.threadId[3]));
    EXPECT_TRUE(CThreadManager::instance()->hasThread(gates.threadId[4]));
    EXPECT_TRUE(CTimerManager::instance()->limitIdlePooled(0));
}

namespace {

// Thread starts fail while `failing` is above 0, as on a system out of threads.
struct StartFailures {
    static std::atomic<int> failing;
    static Detail::ThreadStarter real;
    static std::atomic<int> reports;  // failure lines logged
    static std::atomic<int> blocked;  // of them, logged while the manager mutex was held

    static Tovix::Platform::ThreadHandle* starter(Tovix::Platform::ThreadEntry entry,
                                                  void* argument, std::size_t stackSize,
                                                  int priority, int* error) {
        int left = failing.load();
        while (left > 0 && !failing.compare_exchange_weak(left, left - 1)) {
        }
        if (left > 0) {
            *error = EAGAIN;
            return nullptr;
        }
        return real(entry, argument, stackSize, priority, error);
    }

    // Probes from another thread whether the manager mutex is free while a failure is logged.
    static bool sink(const char* line) {
        if (std::strstr(line, "create thread failed") == nullptr &&
            std::strstr(line, "firing dropped") == nullptr) {
            return true;
        }
        ++reports;
        auto took = std::make_shared<std::atomic<bool>>(false);
        std::thread([took] {
            Detail::timerPoolStatistics();
            *took = true;
        }).detach();
        if (!waitUntil([&] { return took->load(); }, std::chrono::seconds(5))) {
            ++blocked;
        }
        return true;
    }
};

std::atomic<int> StartFailures::failing{0};
Detail::ThreadStarter StartFailures::real = nullptr;
std::atomic<int> StartFailures::reports{0};
std::atomic<int> StartFailures::blocked{0};

}  // namespace

TEST(Timer, AWorkerThatCannotStartIsReportedWithoutTheManagerMutex) {
    // Keep every idle worker busy, so that the next dispatch has to start one.
    Gates gates;
    std::vector<std::unique_ptr<CTimer>> holders;
    while (pool().idleWorkers > 0) {
        holders.push_back(std::make_unique<CTimer>("holder"));
        ASSERT_TRUE(holders.back()->start(gates.callback(), 0, 0, 0, 0));
    }
    LogCapture log;
    const TFunction1<bool, const char*> sink(&StartFailures::sink);
    ASSERT_TRUE(attachPrint(sink));
    StartFailures::real = Detail::replaceThreadStarter(&StartFailures::starter);
    StartFailures::failing = 1;
    Recorder recorder;
    CTimer timer("unstarted");
    EXPECT_FALSE(timer.start(recorder.callback(), 0, 0, 0, 0));  // the firing is dropped
    Detail::replaceThreadStarter(StartFailures::real);
    detachPrint(sink);
    gates.openAll();
    EXPECT_EQ(StartFailures::reports, 2);
    EXPECT_EQ(StartFailures::blocked, 0);
    EXPECT_EQ(recorder.runs, 0);
}

TEST(Timer, StressStartStopRePeriodFromSeveralThreadsWhileFiring) {
    constexpr int kTimers = 24;
    constexpr int kThreads = 4;
    Recorder recorder;
    LogCapture log;
    std::vector<std::unique_ptr<CTimer>> timers;
    for (int i = 0; i < kTimers; ++i) {
        timers.push_back(std::make_unique<CTimer>("stress"));
        timers.back()->start(recorder.callback(), 1, 1 + i % 5, 0, 0);
    }
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t));
            while (!stop) {
                CTimer& timer = *timers[random() % kTimers];
                switch (random() % 8) {
                    case 0:
                        timer.start(recorder.callback(), random() % 3, random() % 4, 0, 5);
                        break;
                    case 1:
                        timer.stop(random() % 2 == 0);
                        break;
                    case 2:
                        timer.setPeriodTime(1 + random() % 6);
                        break;
                    case 3:
                        timer.enableStat(random() % 2 == 0);
                        break;
                    case 4:
                        timer.isRunning();
                        timer.isStarted();
                        timer.isCalled();
                        break;
                    case 5:
                        timer.setName(random() % 2 ? "stress-a" : "stress-b");
                        break;
                    case 6:
                        if (t == 0) {
                            CTimerManager::instance()->dumpTimers();
                            CThreadManager::instance()->dumpThreads();
                            log.clear();
                        }
                        break;
                    default:
                        if (random() % 16 == 0) {
                            timer.stopAndWait();
                        }
                        break;
                }
            }
        });
    }
    sleepMs(1500);
    stop = true;
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_GT(recorder.runs.load(), 0);
    timers.clear();
    const int runs = recorder.runs;
    sleepMs(30);
    EXPECT_EQ(recorder.runs, runs);  // nothing fires after the timers are gone
}

TEST(TimerExit, ReturningFromMainWithLiveTimersAndThreadsIsClean) {
    for (int round = 0; round < 3; ++round) {
        EXPECT_TRUE(runsCleanly(std::string("\"") + INFRA_TIMER_EXIT_HELPER + "\" > /dev/null"))
            << round;
    }
}
