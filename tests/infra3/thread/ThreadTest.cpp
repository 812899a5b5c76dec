// Threads and their registry: priority mapping, the start handshake, stop requests, restarts,
// names, deadlines, termination, the thread table and time-out report; the process calls.
#include "infra/Thread.h"

#include <gtest/gtest.h>
#if defined(_WIN32)
#include <process.h>
#endif

#include <atomic>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "infra/Semaphore.h"
#include "infra/ThreadManager.h"
#include "infra/Time.h"
#include "infra3/thread/ThreadInternal.h"
#include "infra3/thread/ThreadTestSupport.h"
#include "support/TempDir.h"

using namespace Tovix::Infra;
using namespace ThreadTestSupport;

namespace {

// A body that records what it saw, loops on looping() until stopped (or, with `stopSelf`, stops
// itself at once) and lingers after the stop, so that a waiter that returns early is caught.
struct Probe {
    std::atomic<int> runs{0}, seenId{-1}, lingerMs{0};
    std::atomic<bool> registered{false}, stopped{false}, finished{false}, stopSelf{false};
    void body(CThreadLite& self) {
        seenId = CThread::getCurrentThreadID();
        registered = CThreadManager::instance()->hasThread(seenId);
        ++runs;
        if (stopSelf) {
            EXPECT_TRUE(self.destroyThread());  // returns at once
        }
        while (self.looping()) {
            CThread::sleep(1);
        }
        stopped = true;
        CThread::sleep(lingerMs);
        finished = true;
    }
    TFunction1<void, CThreadLite&> callable() {
        return TFunction1<void, CThreadLite&>(this, &Probe::body);
    }
    std::unique_ptr<CThreadLite> start(const char* name, int priority = 64) {
        auto thread = std::make_unique<CThreadLite>(callable(), name, priority);
        const int before = runs;
        EXPECT_TRUE(thread->createThread());
        EXPECT_TRUE(waitUntil([&] { return runs > before; }));
        return thread;
    }
};

std::string osThreadName(int tid) {
    std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace

TEST(ThreadManager, TableAndTimeOutReportListRunningThreadsNewestFirst) {
    LogCapture log;
    CThreadManager::instance()->dumpThreads();  // nothing runs; the main thread is unregistered
    const std::vector<std::string> empty = {
        "Threads:\n", "               Name            TID  Prior State\n",
        std::string(55, '_') + "\n", threadLine("Main", -1, 64, "Normal"), "\n"};
    EXPECT_EQ(log.lines(), empty);
    flex_string names("untouched");
    EXPECT_FALSE(CThreadManager::instance()->getTimeOutThreads(names));
    EXPECT_TRUE(names.empty());
    CThreadManager::instance()->registerMainThread();
    Probe disk, net, calm;
    auto diskThread = disk.start("Disk", 10);
    auto netThread = net.start("Net", 127);
    auto calmThread = calm.start("Calm");
    EXPECT_FALSE(CThreadManager::instance()->getTimeOutThreads(names));  // fresh: unsupervised
    netThread->setTimeout(-1);                                           // passed
    diskThread->setTimeout(-1);                                          // passed
    calmThread->setTimeout(1000000);                                     // far ahead
    log.clear();
    CThreadManager::instance()->dumpThreads();
    const std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[3], threadLine("Main", CThread::getCurrentThreadID(), 64, "Normal"));
    EXPECT_EQ(lines[4], threadLine("Calm", calmThread->getThreadID(), 64, "Normal"));
    EXPECT_EQ(lines[5], threadLine("Net", netThread->getThreadID(), 127, "Timeout"));
    EXPECT_EQ(lines[6], threadLine("Disk", diskThread->getThreadID(), 10, "Timeout"));
    EXPECT_TRUE(CThreadManager::instance()->getTimeOutThreads(names));
    EXPECT_EQ(std::string(names.c_str()), "Net(" + std::to_string(netThread->getThreadID()) +
                                              ")Disk(" + std::to_string(diskThread->getThreadID()) +
                                              ")");
    const int id = netThread->getThreadID();  // lookups see running bodies only
    flex_string name;
    EXPECT_TRUE(CThreadManager::instance()->getThreadNameByID(id, name) && name == "Net");
    netThread->destroyThread();
    EXPECT_FALSE(CThreadManager::instance()->hasThread(id) ||
                 CThreadManager::instance()->getThreadNameByID(id, name));
    EXPECT_EQ(name, "Net");  // untouched
}

TEST(ThreadPriority, MapsPriorityBandsAndTheRealTimePolicy) {
    const int upTo[] = {5, 59, 63, 68, 72, 126, INT_MAX}, level[] = {15, 2, 1, 0, -1, -2, -15};
    for (int priority = -300, band = 0; priority <= 300; ++priority) {
        band += priority > upTo[band] ? 1 : 0;
        ASSERT_EQ(Detail::windowsPriority(priority, 0), level[band]) << priority;
        ASSERT_EQ(Detail::windowsPriority(priority, 1), 15) << priority;  // the real-time policy
    }
}

TEST(Thread, LifecycleOfStartsRestartsAndStopRequests) {
    Probe probe;
    // A one-byte stack: the thread still gets room for the library's own frames, its debug-level
    // entry line included.
    CThreadLite thread(probe.callable(), "life", 64, 0, 1);
    LogCapture log(6);
    EXPECT_TRUE(thread.getThreadID() == -1 && thread.isThreadOver());
    // Stop requests on an idle thread only report.
    EXPECT_FALSE(thread.destroyThread() || thread.cancelThread() || thread.terminateThread());
    EXPECT_TRUE(log.contains("CThread::DestroyThread() thread 'life' has exited!\n"));
    EXPECT_TRUE(log.contains("CThread::cancelThread() thread 'life' not exist!\n"));
    EXPECT_TRUE(log.contains("handle is null, can't be terminated\n"));

    ASSERT_TRUE(thread.createThread());
    ASSERT_TRUE(waitUntil([&] { return probe.runs == 1; }));
    EXPECT_TRUE(probe.registered && thread.getThreadID() == probe.seenId &&
                probe.seenId != CThread::getCurrentThreadID());  // under the new thread's id
    EXPECT_TRUE(thread.looping() && !thread.isThreadOver());
    EXPECT_TRUE(log.contains("ThreadBody Enter name = life, id = " + std::to_string(probe.seenId) +
                             ", prior = N64, stack = "));
    EXPECT_FALSE(thread.createThread());
    EXPECT_TRUE(log.contains("CThread::CreateThread() thread 'life' is still running!\n"));
    EXPECT_TRUE(thread.destroyThread());
    EXPECT_TRUE(probe.finished && thread.isThreadOver());  // destroyThread waited for the body
    EXPECT_FALSE(CThreadManager::instance()->hasThread(probe.seenId));
    EXPECT_FALSE(thread.destroyThread());
    EXPECT_TRUE(log.contains("CThread::DestroyThread() thread 'life' has been destroyed!\n"));

    ASSERT_TRUE(thread.createThread());  // a restart
    ASSERT_TRUE(waitUntil([&] { return probe.runs == 2; }));
    EXPECT_TRUE(thread.destroyThread());
    // A cancel ends the body without waiting; the next createThread waits for it to finish.
    ASSERT_TRUE(thread.createThread());
    ASSERT_TRUE(waitUntil([&] { return probe.runs == 3; }));
    EXPECT_TRUE(thread.cancelThread());
    EXPECT_TRUE(thread.createThread());
    ASSERT_TRUE(waitUntil([&] { return probe.runs == 4; }));
}

TEST(Thread, StopsWaitForTheBodyUnlessCalledFromIt) {
    for (int round = 0; round < 5; ++round) {  // also when the body has not started yet
        Probe probe;
        probe.lingerMs = 30;
        CThreadLite thread(probe.callable(), "linger");
        ASSERT_TRUE(thread.createThread());
        EXPECT_TRUE(thread.destroyThread());
        EXPECT_TRUE(probe.finished) << round;
    }

    Probe self;
    self.stopSelf = true;
    self.lingerMs = 150;
    auto thread = self.start("selfstop");
    ASSERT_TRUE(waitUntil([&] { return self.stopped.load(); }));
    LogCapture log(6);
    thread.reset();  // the callable and the record must outlive the lingering body
    EXPECT_TRUE(self.finished);
    // A long wait is reported after every hundredth slice, not at once.
    EXPECT_FALSE(log.contains("wait for thread over, times : 1\n"));
}

TEST(Thread, NamesAreCutToThirtyOneCharactersAndReachTheOsThread) {
    Probe probe;
    CThreadLite thread(probe.callable(), std::string(40, 'n').c_str());
    EXPECT_EQ(std::string(thread.getThreadName()), std::string(31, 'n'));
    thread.setThreadName(nullptr);
    EXPECT_STREQ(thread.getThreadName(), "Nonamed");
    thread.setThreadName("worker-with-a-long-name");
    ASSERT_TRUE(thread.createThread());
    ASSERT_TRUE(waitUntil([&] { return probe.runs == 1; }));
    const int tid = thread.getThreadID();
    const bool osNames = !osThreadName(tid).empty();
    EXPECT_TRUE(!osNames || osThreadName(tid) == "worker-with-a-l");  // the first 15 bytes
    thread.setThreadName("renamed");                                  // from another thread
    EXPECT_TRUE(!osNames || osThreadName(tid) == "renamed");
}

TEST(Thread, DeadlinesFollowSetTimeoutAndSetCurrentTimeout) {
    Probe probe;
    CThreadLite thread(probe.callable(), "deadline");
    EXPECT_FALSE(thread.isTimeout());
    thread.setTimeout(-1);
    EXPECT_TRUE(waitUntil([&] { return thread.isTimeout(); }));
    ASSERT_TRUE(thread.createThread());  // a new run starts unsupervised
    EXPECT_FALSE(thread.isTimeout());
    thread.setTimeout(-5, 5);  // back to the clock's origin: still a deadline, long passed
    EXPECT_TRUE(thread.isTimeout());
    thread.setTimeout(0);
    EXPECT_FALSE(thread.isTimeout());
    thread.setTimeout(20);
    EXPECT_TRUE(waitUntil([&] { return thread.isTimeout(); }));  // passes after >= 20 ms

    EXPECT_FALSE(CThread::setCurrentTimeout(100));  // not a CThread body
    static std::atomic<int> results{0};
    CThreadLite current(TFunction1<void, CThreadLite&>(+[](CThreadLite& self) {
                            results += CThread::setCurrentTimeout(-1) ? 1 : 0;
                            results += waitUntil([&] { return self.isTimeout(); }) ? 1 : 0;
                            results += CThread::setCurrentTimeout(0) ? 1 : 0;
                            results += self.isTimeout() ? 0 : 101;
                        }),
                        "current");
    ASSERT_TRUE(current.createThread());
    EXPECT_TRUE(waitUntil([&] { return results == 104; }));
}

namespace {

struct Terminated {
    struct Witness {
        std::atomic<int>* counter;
        ~Witness() { ++*counter; }
    };
    std::atomic<int> unwound{0};
    std::atomic<bool> entered{false}, pastBlock{false}, terminateResult{false};
    CSemaphore never{0};
    void sleeping(CThreadLite& self) {
        Witness witness{&unwound};
        terminateResult = self.terminateThread();
        CThread::sleep(10000);  // the pending cancel takes effect here
        pastBlock = true;
    }
    void pending(CThreadLite&) {
        Witness witness{&unwound};
        entered = true;
        never.pend();
        pastBlock = true;
    }
};

}  // namespace

TEST(Thread, TerminateEndsABodyAtItsNextSleepOrSemaphoreWaitAndUnwindsIt) {
    Terminated sleeping, pending;
    CThreadLite thread(TFunction1<void, CThreadLite&>(&sleeping, &Terminated::sleeping), "ended");
    ASSERT_TRUE(thread.createThread());
    ASSERT_TRUE(waitUntil([&] { return thread.isThreadOver(); }));
    EXPECT_TRUE(sleeping.terminateResult);
    EXPECT_FALSE(CThreadManager::instance()->hasThread(thread.getThreadID()));

    CThreadLite blocked(TFunction1<void, CThreadLite&>(&pending, &Terminated::pending), "blocked");
    ASSERT_TRUE(blocked.createThread());
    ASSERT_TRUE(waitUntil([&] { return pending.entered.load(); }));
    // One thread waits in destroyThread for the body, then a watchdog terminates it.
    std::thread destroyer([&] { blocked.destroyThread(); });
    ThreadInternal* record = Detail::ThreadAccess::record(blocked);
    ASSERT_TRUE(waitUntil([&] { return record->destroying.load(); }));
    EXPECT_TRUE(blocked.terminateThread());
    const bool over = waitUntil([&] { return blocked.isThreadOver(); });
    if (!over) {
        pending.never.post();  // let the body go, so that the test can end
    }
    destroyer.join();
    EXPECT_TRUE(over);
    for (Terminated* probe : {&sleeping, &pending}) {
        EXPECT_EQ(probe->unwound, 1);  // destructors ran
        EXPECT_FALSE(probe->pastBlock);
    }
}

TEST(ThreadDeathTest, DestroyingAThreadFromItsOwnBodyEndsTheProcessWithAReport) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            (new CThreadLite(
                 TFunction1<void, CThreadLite&>(+[](CThreadLite& self) { delete &self; }),
                 "selfdelete"))
                ->createThread();
            CThread::sleep(60000);
        },
        "a CThread cannot be destroyed by its own thread");
}

TEST(Thread, LoadAcceptsOneToHundred) {
    LogCapture log(2);
    for (int percent : {0, 1, 50, 100, 101}) {
        CThread::load(percent);
    }
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"thread load percent 0 is invalid!\n",
                                                     "thread load percent 101 is invalid!\n"}));
}

TEST(CommandLine, SplitsAtBlanksAndGroupsQuotes) {
    using Words = std::vector<std::string>;
    EXPECT_EQ(Detail::splitCommandLine("  a\tb \"c d\"e \"\" "), (Words{"a", "b", "c de", ""}));
}

TEST(SystemCall, RunsTheProgramAndWaitsForItButRefusesLinesOf260Characters) {
    TestSupport::TempDir dir;
    const std::string file = dir / "out.txt";
#if defined(_WIN32)
    EXPECT_EQ(systemCall(("cmd.exe /c echo ran>" + file).c_str()), 0);
    EXPECT_EQ(systemCall("cmd.exe /c exit 1"), 0);  // the exit status is not examined
    EXPECT_EQ(getCurrectProcessID(), static_cast<unsigned long long>(_getpid()));
    std::string command = "cmd.exe /c rem ";
#else
    EXPECT_EQ(systemCall(("sh -c \"sleep 0.2; echo ran > '" + file + "'\"").c_str()), 0);
    EXPECT_EQ(systemCall("false"), 0);  // the exit status is not examined
    EXPECT_EQ(std::to_string(getCurrectProcessID()),
              std::filesystem::read_symlink("/proc/self").string());
    std::string command = "true ";
#endif
    EXPECT_EQ(TestSupport::readFile(file).substr(0, 3), "ran");  // written before the return
    LogCapture log(6);
    command += std::string(259 - command.size(), 'x');
    EXPECT_EQ(systemCall(command.c_str()), 0);
    EXPECT_EQ(systemCall((command + "x").c_str()), -1);
    EXPECT_TRUE(log.contains("systemCall's input parameter is too long, command : " + command));
    EXPECT_EQ(systemCall(nullptr), 1);
    EXPECT_EQ(systemCall("infra-no-such-program-on-the-path"), -1);
    EXPECT_TRUE(log.contains(
        "systemCall CreateProcessA cmd : infra-no-such-program-on-the-path failed, line :  "));
}
