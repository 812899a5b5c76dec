// Threads: priority mapping, the start handshake, stop requests, restarts, names, deadlines,
// termination, systemCall.
#include "infra/Thread.h"

#include <gtest/gtest.h>
#if defined(_WIN32)
#include <process.h>
#endif

#include <atomic>
#include <climits>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "infra/Semaphore.h"
#include "infra/ThreadManager.h"
#include "infra/Time.h"
#include "infra3/thread/ThreadTestSupport.h"
#include "infra3/thread/ThreadInternal.h"

using namespace Tovix::Infra;
using ThreadTestSupport::LogCapture;
using ThreadTestSupport::waitUntil;

namespace {

// A body driven by the test: records what it saw, then loops on looping() until stopped.
struct Probe {
    std::atomic<int> runs{0};
    std::atomic<int> seenId{-1};
    std::atomic<bool> registered{false};
    std::atomic<bool> finished{false};
    std::atomic<int> loops{0};

    void body(CThreadLite& self) {
        seenId = CThread::getCurrentThreadID();
        registered = CThreadManager::instance()->hasThread(seenId);
        ++runs;
        while (self.looping()) {
            ++loops;
            CThread::sleep(1);
        }
        finished = true;
    }
};

TFunction1<void, CThreadLite&> probeBody(Probe* probe) {
    return TFunction1<void, CThreadLite&>(probe, &Probe::body);
}

// The Windows level of an abstract priority, by the documented bands.
int bandOf(int priority) {
    if (priority <= 5) {
        return 15;
    }
    if (priority <= 59) {
        return 2;
    }
    if (priority <= 63) {
        return 1;
    }
    if (priority <= 68) {
        return 0;
    }
    if (priority <= 72) {
        return -1;
    }
    if (priority <= 126) {
        return -2;
    }
    return -15;
}

std::string osThreadName(int tid) {
    std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace

TEST(ThreadPriority, MapsPriorityBandsAndTheRealTimePolicy) {
    for (int priority = -1000; priority <= 1000; ++priority) {
        ASSERT_EQ(Detail::windowsPriority(priority, 0), bandOf(priority)) << priority;
        ASSERT_EQ(Detail::windowsPriority(priority, 1), 15) << priority;
    }
    EXPECT_EQ(Detail::windowsPriority(64, 0), 0);
    EXPECT_EQ(Detail::windowsPriority(64, 2), 0);  // only 1 is the real-time policy
    EXPECT_EQ(Detail::windowsPriority(INT_MAX, 0), -15);
    EXPECT_EQ(Detail::windowsPriority(INT_MIN, 0), 15);
}

TEST(Thread, BodyRunsOnceRegisteredUnderTheKernelId) {
    Probe probe;
    CThreadLite thread(probeBody(&probe), "probe");
    EXPECT_EQ(thread.getThreadID(), -1);
    EXPECT_TRUE(thread.isThreadOver());
    ASSERT_TRUE(thread.createThread());
    ASSERT_TRUE(waitUntil([&] { return probe.runs.load() == 1; }));
    EXPECT_TRUE(probe.registered);
    EXPECT_EQ(thread.getThreadID(), probe.seenId.load());
    EXPECT_NE(thread.getThreadID(), CThread::getCurrentThreadID());
    EXPECT_TRUE(thread.looping());
    EXPECT_FALSE(thread.isThreadOver());

    EXPECT_TRUE(thread.destroyThread());
    // destroyThread waited for the body.
    EXPECT_TRUE(probe.finished);
    EXPECT_TRUE(thread.isThreadOver());
    EXPECT_FALSE(CThreadManager::instance()->hasThread(probe.seenId));
    EXPECT_EQ(probe.runs, 1);
}

TEST(Thread, SecondCreateWhileRunningFailsAndSaysSo) {
    Probe probe;
    CThreadLite thread(probeBody(&probe), "twice");
    ASSERT_TRUE(thread.createThread());
    {
        LogCapture log(3);
        EXPECT_FALSE(thread.createThread());
        EXPECT_TRUE(log.contains("CThread::CreateThread() thread 'twice' is still running!\n"));
    }
    EXPECT_TRUE(thread.destroyThread());
    EXPECT_EQ(probe.runs, 1);
}

TEST(Thread, RestartsAfterTheBodyEnded) {
    Probe probe;
    CThreadLite thread(probeBody(&probe), "again");
    for (int run = 1; run <= 3; ++run) {
        ASSERT_TRUE(thread.createThread()) << run;
        ASSERT_TRUE(waitUntil([&] { return probe.runs.load() == run; }));
        EXPECT_TRUE(thread.destroyThread());
    }
    // A cancel ends the body without waiting; the next createThread waits for it to finish.
    ASSERT_TRUE(thread.createThread());
    ASSERT_TRUE(waitUntil([&] { return probe.runs.load() == 4; }));
    EXPECT_TRUE(thread.cancelThread());
    EXPECT_TRUE(thread.createThread());
    ASSERT_TRUE(waitUntil([&] { return probe.runs.load() == 5; }));
    EXPECT_TRUE(thread.destroyThread());
}

TEST(Thread, StopRequestsOnIdleThreadsOnlyReport) {
    Probe probe;
    CThreadLite thread(probeBody(&probe), "idle");
    LogCapture log(3);
    EXPECT_FALSE(thread.destroyThread());
    EXPECT_TRUE(log.contains("CThread::DestroyThread() thread 'idle' has exited!\n"));
    EXPECT_FALSE(thread.cancelThread());
    EXPECT_TRUE(log.contains("CThread::cancelThread() thread 'idle' not exist!\n"));
    EXPECT_FALSE(thread.terminateThread());
    EXPECT_TRUE(log.contains("handle is null, can't be terminated\n"));

    ASSERT_TRUE(thread.createThread());
    EXPECT_TRUE(thread.destroyThread());
    log.clear();
    EXPECT_FALSE(thread.destroyThread());
    EXPECT_TRUE(log.contains("CThread::DestroyThread() thread 'idle' has been destroyed!\n"));
    // The prefix names the calling thread.
    EXPECT_TRUE(log.contains(" tid:" + std::to_string(CThread::getCurrentThreadID()) + ", "));
}

namespace {

struct SelfStopper {
    std::atomic<bool> destroyResult{false};
    std::atomic<bool> loopAfter{true};
    std::atomic<bool> done{false};
    void body(CThreadLite& self) {
        destroyResult = self.destroyThread();
        loopAfter = self.looping();
        done = true;
    }
};

}  // namespace

TEST(Thread, DestroyFromInsideReturnsAtOnce) {
    SelfStopper stopper;
    CThreadLite thread(TFunction1<void, CThreadLite&>(&stopper, &SelfStopper::body), "self");
    ASSERT_TRUE(thread.createThread());
    ASSERT_TRUE(waitUntil([&] { return stopper.done.load(); }));
    EXPECT_TRUE(stopper.destroyResult);
    EXPECT_FALSE(stopper.loopAfter);
    EXPECT_TRUE(waitUntil([&] { return thread.isThreadOver(); }));
}

namespace {

// Lingers after the stop request, so that a waiter that returns early is caught.
struct Lingerer {
    std::atomic<bool> stopSeen{false};
    std::atomic<bool> finished{false};
    std::atomic<int> touches{0};
    void body(CThreadLite& self) {
        while (self.looping()) {
            CThread::sleep(1);
        }
        stopSeen = true;
        CThread::sleep(100);
        ++touches;
        finished = true;
    }
    void selfStopping(CThreadLite& self) {
        self.destroyThread();  // returns at once; the destructor below must still wait
        stopSeen = true;
        CThread::sleep(100);
        ++touches;
        finished = true;
    }
};

}  // namespace

TEST(Thread, DestroyWaitsForTheBodyToReturn) {
    Lingerer lingerer;
    CThreadLite thread(TFunction1<void, CThreadLite&>(&lingerer, &Lingerer::body), "linger");
    ASSERT_TRUE(thread.createThread());
    EXPECT_TRUE(thread.destroyThread());
    EXPECT_TRUE(lingerer.finished);
}

TEST(Thread, DestructorWaitsEvenWhenTheBodyStoppedItself) {
    Lingerer lingerer;
    auto thread = std::make_unique<CThreadLite>(
        TFunction1<void, CThreadLite&>(&lingerer, &Lingerer::selfStopping), "selfstop");
    ASSERT_TRUE(thread->createThread());
    ASSERT_TRUE(waitUntil([&] { return lingerer.stopSeen.load(); }));
    thread.reset();  // the callable and the record must outlive the lingering body
    EXPECT_TRUE(lingerer.finished);
    EXPECT_EQ(lingerer.touches, 1);
}

TEST(Thread, DestructorStopsARunningThread) {
    Probe probe;
    {
        CThreadLite thread(probeBody(&probe), "scoped");
        ASSERT_TRUE(thread.createThread());
        ASSERT_TRUE(waitUntil([&] { return probe.runs.load() == 1; }));
    }
    EXPECT_TRUE(probe.finished);
}

TEST(Thread, NamesAreCutToThirtyOneCharactersAndReachTheOsThread) {
    Probe probe;
    const std::string longName(40, 'n');
    CThreadLite thread(probeBody(&probe), longName.c_str());
    EXPECT_EQ(std::string(thread.getThreadName()), std::string(31, 'n'));
    thread.setThreadName(nullptr);
    EXPECT_STREQ(thread.getThreadName(), "Nonamed");
    CThreadLite unnamed(probeBody(&probe), nullptr);
    EXPECT_STREQ(unnamed.getThreadName(), "Nonamed");

    thread.setThreadName("worker-with-a-long-name");
    ASSERT_TRUE(thread.createThread());
    ASSERT_TRUE(waitUntil([&] { return probe.runs.load() == 1; }));
    const int tid = thread.getThreadID();
    if (osThreadName(tid).empty()) {
        thread.destroyThread();
        GTEST_SKIP() << "no /proc thread names here";
    }
    EXPECT_EQ(osThreadName(tid), "worker-with-a-l");  // the first 15 bytes
    thread.setThreadName("renamed");                  // from another thread
    EXPECT_EQ(osThreadName(tid), "renamed");
    flex_string name;
    EXPECT_TRUE(CThreadManager::instance()->getThreadNameByID(tid, name));
    EXPECT_EQ(name, "renamed");
    thread.destroyThread();
}

TEST(Thread, DeadlinesFollowSetTimeout) {
    Probe probe;
    CThreadLite thread(probeBody(&probe), "deadline");
    EXPECT_FALSE(thread.isTimeout());
    thread.setTimeout(-1);
    EXPECT_TRUE(waitUntil([&] { return thread.isTimeout(); }));
    thread.setTimeout(0);
    EXPECT_FALSE(thread.isTimeout());
    thread.setTimeout(1000000);
    EXPECT_FALSE(thread.isTimeout());
    const unsigned long long now = CTime::getCurrentMilliSecond();
    thread.setTimeout(5, now > 100 ? now - 100 : 0);
    EXPECT_TRUE(waitUntil([&] { return thread.isTimeout(); }));
    thread.setTimeout(20);
    EXPECT_TRUE(waitUntil([&] { return thread.isTimeout(); }));  // passes after >= 20 ms
}

namespace {

struct CurrentTimeout {
    std::atomic<bool> setResult{false};
    std::atomic<bool> timedOut{false};
    std::atomic<bool> clearedResult{false};
    std::atomic<bool> timedOutAfterClear{true};
    std::atomic<bool> done{false};
    CThreadLite* thread = nullptr;
    void body(CThreadLite& self) {
        setResult = CThread::setCurrentTimeout(-1);
        timedOut = waitUntil([&] { return self.isTimeout(); });
        clearedResult = CThread::setCurrentTimeout(0);
        timedOutAfterClear = self.isTimeout();
        done = true;
    }
};

}  // namespace

TEST(Thread, SetCurrentTimeoutNeedsACThreadBody) {
    EXPECT_FALSE(CThread::setCurrentTimeout(100));
    CurrentTimeout probe;
    CThreadLite thread(TFunction1<void, CThreadLite&>(&probe, &CurrentTimeout::body), "current");
    ASSERT_TRUE(thread.createThread());
    ASSERT_TRUE(waitUntil([&] { return probe.done.load(); }));
    EXPECT_TRUE(probe.setResult);
    EXPECT_TRUE(probe.timedOut);
    EXPECT_TRUE(probe.clearedResult);
    EXPECT_FALSE(probe.timedOutAfterClear);
}

namespace {

struct Terminated {
    std::atomic<int> unwound{0};
    std::atomic<bool> pastSleep{false};
    std::atomic<bool> terminateResult{false};
    struct Witness {
        std::atomic<int>* counter;
        ~Witness() { ++*counter; }
    };
    void body(CThreadLite& self) {
        Witness witness{&unwound};
        terminateResult = self.terminateThread();
        CThread::sleep(10000);  // the pending cancel takes effect here
        pastSleep = true;
    }
};

}  // namespace

TEST(Thread, TerminateCancelsAtSleepAndUnwindsTheBody) {
    Terminated probe;
    CThreadLite thread(TFunction1<void, CThreadLite&>(&probe, &Terminated::body), "terminated");
    ASSERT_TRUE(thread.createThread());
    ASSERT_TRUE(waitUntil([&] { return thread.isThreadOver(); }));
    EXPECT_TRUE(probe.terminateResult);
    EXPECT_EQ(probe.unwound, 1);  // destructors ran
    EXPECT_FALSE(probe.pastSleep);
    EXPECT_FALSE(CThreadManager::instance()->hasThread(thread.getThreadID()));
    // The object stays usable.
    Probe again;
    CThreadLite next(probeBody(&again), "next");
    ASSERT_TRUE(next.createThread());
    EXPECT_TRUE(next.terminateThread());  // stops cooperatively first; the ended thread counts
    EXPECT_TRUE(again.finished);
}

namespace {

struct BlockedInPend {
    CSemaphore never{0};
    std::atomic<bool> entered{false};
    std::atomic<bool> pastPend{false};
    std::atomic<int> unwound{0};
    void body(CThreadLite&) {
        Terminated::Witness witness{&unwound};
        entered = true;
        never.pend();
        pastPend = true;
    }
};

}  // namespace

TEST(Thread, TerminateEndsABodyBlockedInASemaphoreWhileAnotherStopWaits) {
    BlockedInPend probe;
    CThreadLite thread(TFunction1<void, CThreadLite&>(&probe, &BlockedInPend::body), "blocked");
    ASSERT_TRUE(thread.createThread());
    ASSERT_TRUE(waitUntil([&] { return probe.entered.load(); }));
    // One thread waits in destroyThread for the body, then a watchdog terminates it.
    std::thread destroyer([&] { thread.destroyThread(); });
    ThreadInternal* record = Detail::ThreadAccess::record(thread);
    ASSERT_TRUE(waitUntil([&] { return record->destroying.load(); }));
    const bool terminated = thread.terminateThread();
    const bool over = waitUntil([&] { return thread.isThreadOver(); });
    if (!over) {
        probe.never.post();  // let the body go, so that the test can end
    }
    destroyer.join();
    EXPECT_TRUE(terminated);
    EXPECT_TRUE(over);
    EXPECT_FALSE(probe.pastPend);
    EXPECT_EQ(probe.unwound, 1);
}

namespace {

void destroyOwnObject(CThreadLite& self) {
    delete &self;
}

}  // namespace

TEST(ThreadDeathTest, DestroyingAThreadFromItsOwnBodyEndsTheProcessWithAReport) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            CThreadLite* thread =
                new CThreadLite(TFunction1<void, CThreadLite&>(&destroyOwnObject), "selfdelete");
            thread->createThread();
            CThread::sleep(60000);
        },
        "a CThread cannot be destroyed by its own thread");
}

TEST(Thread, StackSizesAreRoundedToWhatTheSystemAccepts) {
    for (int size : {1, 4096, 1 << 20}) {
        Probe probe;
        CThreadLite thread(probeBody(&probe), "stack", 64, 0, size);
        thread.enableStackSize();
        ASSERT_TRUE(thread.createThread()) << size;
        ASSERT_TRUE(waitUntil([&] { return probe.runs.load() == 1; }));
        EXPECT_TRUE(thread.destroyThread());
    }
}

TEST(Thread, ExtremePrioritiesNeverPreventStart) {
    for (int priority : {1, 64, 127, INT_MAX}) {
        for (int policy : {0, 1}) {
            Probe probe;
            CThreadLite thread(probeBody(&probe), "prio", priority, policy);
            ASSERT_TRUE(thread.createThread()) << priority << "/" << policy;
            ASSERT_TRUE(waitUntil([&] { return probe.runs.load() == 1; }));
            EXPECT_TRUE(thread.destroyThread());
        }
    }
}

TEST(Thread, LoadAcceptsOneToHundred) {
    LogCapture log(2);
    CThread::load(1);
    CThread::load(100);
    EXPECT_TRUE(log.lines().empty());
    CThread::load(0);
    CThread::load(101);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "thread load percent 0 is invalid!\n");
    EXPECT_EQ(lines[1], "thread load percent 101 is invalid!\n");
    Probe probe;
    CThreadLite thread(probeBody(&probe), "socket");
    EXPECT_EQ(thread.shareSocket(17), 17);
}

TEST(Thread, ManyThreadsStartAndStopWhileTheRegistryIsRead) {
    constexpr int kThreads = 8;
    std::vector<std::unique_ptr<Probe>> probes;
    std::vector<std::unique_ptr<CThreadLite>> threads;
    for (int i = 0; i < kThreads; ++i) {
        probes.push_back(std::make_unique<Probe>());
        threads.push_back(std::make_unique<CThreadLite>(probeBody(probes.back().get()), "many"));
    }
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        flex_string names;
        while (!stop) {
            CThreadManager::instance()->getTimeOutThreads(names);
            for (auto& thread : threads) {
                CThreadManager::instance()->hasThread(thread->getThreadID());
                thread->setThreadName("many");
            }
        }
    });
    for (int round = 0; round < 20; ++round) {
        for (auto& thread : threads) {
            ASSERT_TRUE(thread->createThread());
        }
        for (auto& thread : threads) {
            thread->setTimeout(round % 2 == 0 ? -1 : 0);
            EXPECT_TRUE(thread->destroyThread());
        }
    }
    stop = true;
    reader.join();
    for (auto& probe : probes) {
        EXPECT_EQ(probe->runs, 20);
    }
}

TEST(CommandLine, SplitsAtBlanksAndGroupsQuotes) {
    using Words = std::vector<std::string>;
    EXPECT_EQ(Detail::splitCommandLine("  a\tb   c "), (Words{"a", "b", "c"}));
    EXPECT_EQ(Detail::splitCommandLine("sh -c \"echo a b\""), (Words{"sh", "-c", "echo a b"}));
    EXPECT_EQ(Detail::splitCommandLine("x\"y z\"w"), (Words{"xy zw"}));
    EXPECT_EQ(Detail::splitCommandLine("a \"\" b"), (Words{"a", "", "b"}));
    EXPECT_EQ(Detail::splitCommandLine("   "), Words{});
    EXPECT_EQ(Detail::splitCommandLine(nullptr), Words{});
}

namespace {

class TempDir {
public:
    TempDir() {
        m_path = std::filesystem::temp_directory_path() /
                 ("infra-thread-test-" + std::to_string(getCurrectProcessID()));
        std::filesystem::create_directories(m_path);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

}  // namespace

#if defined(_WIN32)
// Windows programs: the command interpreter stands in for the POSIX shell and utilities.
constexpr const char* kFailingCommand = "cmd.exe /c exit 1";
constexpr const char* kIdleCommandPrefix = "cmd.exe /c rem ";
#else
constexpr const char* kFailingCommand = "false";
constexpr const char* kIdleCommandPrefix = "true ";
#endif

TEST(SystemCall, RunsTheProgramAndWaitsForIt) {
    TempDir dir;
    const std::filesystem::path file = dir.path() / "out.txt";
#if defined(_WIN32)
    const std::string command = "cmd.exe /c echo ran>" + file.string();
#else
    const std::string command = "sh -c \"sleep 0.2; echo ran > '" + file.string() + "'\"";
#endif
    EXPECT_EQ(systemCall(command.c_str()), 0);
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "ran");                     // written before systemCall returned
    EXPECT_EQ(systemCall(kFailingCommand), 0);  // the exit status is not examined
}

TEST(SystemCall, ReportsWhatCannotBeStarted) {
    LogCapture log(6);
    EXPECT_EQ(systemCall(nullptr), 1);
    EXPECT_EQ(systemCall("/nonexistent/infra-no-such-program arg"), -1);
    EXPECT_EQ(systemCall("infra-no-such-program-on-the-path"), -1);
    EXPECT_EQ(systemCall(""), -1);
    EXPECT_TRUE(log.contains("systemcall command:infra-no-such-program-on-the-path\n"));
    EXPECT_TRUE(
        log.contains("systemCall CreateProcessA cmd : infra-no-such-program-on-the-path "
                     "failed, line :  "));
}

TEST(SystemCall, LinesOf260CharactersAreRefused) {
    LogCapture log(2);
    std::string command = kIdleCommandPrefix;
    command += std::string(259 - command.size(), 'x');
    ASSERT_EQ(command.size(), 259u);
    EXPECT_EQ(systemCall(command.c_str()), 0);
    command += 'x';
    EXPECT_EQ(systemCall(command.c_str()), -1);
    EXPECT_TRUE(log.contains("systemCall's input parameter is too long, command : " + command));
}

TEST(SystemCall, ProcessIdIsThisProcess) {
#if defined(_WIN32)
    EXPECT_EQ(getCurrectProcessID(), static_cast<unsigned long long>(_getpid()));
#else
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self");
    EXPECT_EQ(std::to_string(getCurrectProcessID()), self.string());
#endif
}
