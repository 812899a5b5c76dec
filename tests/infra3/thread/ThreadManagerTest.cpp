// The thread registry: the exact thread table, time-out reports and lookups. No timer exists in
// this executable, so the registry holds only the threads the tests start.
#include "infra/ThreadManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "infra/Thread.h"
#include "infra3/thread/ThreadTestSupport.h"

using namespace Tovix::Infra;
using ThreadTestSupport::LogCapture;
using ThreadTestSupport::waitUntil;

namespace {

// A body that waits for its stop request.
struct Idle {
    std::atomic<bool> started{false};
    void body(CThreadLite& self) {
        started = true;
        while (self.looping()) {
            CThread::sleep(1);
        }
    }
};

std::unique_ptr<CThreadLite> startIdle(Idle* idle, const char* name, int priority = 64) {
    auto thread = std::make_unique<CThreadLite>(TFunction1<void, CThreadLite&>(idle, &Idle::body),
                                                name, priority);
    EXPECT_TRUE(thread->createThread());
    EXPECT_TRUE(waitUntil([&] { return idle->started.load(); }));
    return thread;
}

std::string row(const char* name, int id, int priority, const char* state) {
    char line[128];
    std::snprintf(line, sizeof line, "%24s   %8d  %3d  %s\n", name, id, priority, state);
    return line;
}

const char* const kTitle = "Threads:\n";
const char* const kHeader = "               Name            TID  Prior State\n";
const char* const kRule = "_______________________________________________________\n";

}  // namespace

// Runs first: the main thread is not registered yet in this process.
TEST(ThreadManager, EmptyTableShowsOnlyMainWithoutId) {
    LogCapture log;
    CThreadManager::instance()->dumpThreads();
    const std::vector<std::string> expected = {kTitle, kHeader, kRule,
                                               row("Main", -1, 64, "Normal"), "\n"};
    EXPECT_EQ(log.lines(), expected);
    flex_string names("untouched");
    EXPECT_FALSE(CThreadManager::instance()->getTimeOutThreads(names));
    EXPECT_TRUE(names.empty());
}

TEST(ThreadManager, TableListsRunningThreadsNewestFirst) {
    CThreadManager::instance()->registerMainThread();
    Idle disk, net;
    auto diskThread = startIdle(&disk, "Disk", 10);
    auto netThread = startIdle(&net, "Net", 127);
    netThread->setTimeout(-1);        // passed
    diskThread->setTimeout(1000000);  // far ahead
    LogCapture log;
    CThreadManager::instance()->dumpThreads();
    const std::vector<std::string> expected = {
        kTitle,
        kHeader,
        kRule,
        row("Main", CThread::getCurrentThreadID(), 64, "Normal"),
        row("Net", netThread->getThreadID(), 127, "Timeout"),
        row("Disk", diskThread->getThreadID(), 10, "Normal"),
        "\n"};
    EXPECT_EQ(log.lines(), expected);
    EXPECT_EQ(kHeader, std::string(15, ' ') + "Name" + std::string(12, ' ') + "TID  Prior State\n");
    EXPECT_EQ(kRule, std::string(55, '_') + "\n");
}

TEST(ThreadManager, TimeOutReportNamesEveryLateThreadWithItsId) {
    Idle disk, net, calm;
    auto diskThread = startIdle(&disk, "Disk");
    auto netThread = startIdle(&net, "Net");
    auto calmThread = startIdle(&calm, "Calm");
    flex_string names;
    EXPECT_FALSE(CThreadManager::instance()->getTimeOutThreads(names));

    diskThread->setTimeout(-1);
    netThread->setTimeout(-1);
    calmThread->setTimeout(0);  // never supervised
    EXPECT_TRUE(CThreadManager::instance()->getTimeOutThreads(names));
    const std::string expected = "Net(" + std::to_string(netThread->getThreadID()) + ")Disk(" +
                                 std::to_string(diskThread->getThreadID()) + ")";
    EXPECT_EQ(std::string(names.c_str()), expected);

    netThread->setTimeout(0);
    EXPECT_TRUE(CThreadManager::instance()->getTimeOutThreads(names));
    EXPECT_EQ(std::string(names.c_str()),
              "Disk(" + std::to_string(diskThread->getThreadID()) + ")");
}

TEST(ThreadManager, LookupsSeeOnlyRunningBodies) {
    Idle idle;
    auto thread = startIdle(&idle, "Lookup");
    const int id = thread->getThreadID();
    flex_string name("unchanged");
    EXPECT_TRUE(CThreadManager::instance()->hasThread(id));
    EXPECT_TRUE(CThreadManager::instance()->getThreadNameByID(id, name));
    EXPECT_EQ(name, "Lookup");
    EXPECT_FALSE(CThreadManager::instance()->hasThread(CThread::getCurrentThreadID()));

    thread->destroyThread();
    // The object still exists, its body does not.
    EXPECT_FALSE(CThreadManager::instance()->hasThread(id));
    name = "unchanged";
    EXPECT_FALSE(CThreadManager::instance()->getThreadNameByID(id, name));
    EXPECT_EQ(name, "unchanged");
    EXPECT_FALSE(CThreadManager::instance()->getThreadNameByID(-1, name));
}

TEST(ThreadManager, ReportsStaySoundWhileThreadsComeAndGo) {
    constexpr int kThreads = 6;
    std::vector<std::unique_ptr<Idle>> idles;
    std::vector<std::unique_ptr<CThreadLite>> threads;
    for (int i = 0; i < kThreads; ++i) {
        idles.push_back(std::make_unique<Idle>());
        threads.push_back(std::make_unique<CThreadLite>(
            TFunction1<void, CThreadLite&>(idles.back().get(), &Idle::body), "churn"));
    }
    std::atomic<bool> stop{false};
    LogCapture log;
    std::thread reporter([&] {
        flex_string text;
        while (!stop) {
            CThreadManager::instance()->dumpThreads();
            CThreadManager::instance()->getTimeOutThreads(text);
            log.clear();
        }
    });
    for (int round = 0; round < 15; ++round) {
        for (auto& thread : threads) {
            ASSERT_TRUE(thread->createThread());
            thread->setTimeout(-1);
        }
        for (auto& thread : threads) {
            thread->setThreadName(round % 2 ? "churn-odd" : "churn-even");
            EXPECT_TRUE(thread->destroyThread());
        }
    }
    stop = true;
    reporter.join();
    flex_string names;
    EXPECT_FALSE(CThreadManager::instance()->getTimeOutThreads(names));
}
