// Asynchronous sinks: order and completeness under several logging threads, exact drop counts,
// flush, delivery at destruction, lines logged by the wrapped sink itself, the shutdown's stop
// (which affects only the adaptors alive at the time) and delivery at exit.
#include "infra/AsyncSink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "infra/PrintLog.h"
#include "infra/Shutdown.h"
#include "infra/Thread.h"
#include "infra/Timer.h"
#include "infra3/service/ServiceInternal.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using namespace Tovix::Infra;

namespace {

// Records its lines and the thread that delivered each; can be held shut or slowed down.
struct Recorder {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::vector<int> threads;
    std::atomic<bool> open{true};
    std::chrono::microseconds delay{0};

    bool take(const char* line) {
        while (!open) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(delay);
        std::lock_guard<std::mutex> guard(mutex);
        lines.emplace_back(line);
        threads.push_back(CThread::getCurrentThreadID());
        return true;
    }
    TFunction1<bool, const char*> sink() { return {this, &Recorder::take}; }
    std::size_t count() {
        std::lock_guard<std::mutex> guard(mutex);
        return lines.size();
    }
};

}  // namespace

TEST(AsyncSink, KeepsEachThreadsOrderAndLosesNothingWhenBlocking) {
    Recorder recorder;
    recorder.delay = std::chrono::microseconds(50);
    constexpr int kThreads = 4, kLines = 200;
    std::atomic<int> loggers[kThreads] = {};
    {
        CAsyncSink async(recorder.sink(), 8);  // small: the loggers wait for room
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                loggers[t] = CThread::getCurrentThreadID();
                for (int i = 0; i < kLines; ++i) {
                    const std::string line = std::to_string(t) + " " + std::to_string(i);
                    EXPECT_TRUE(async.sink()(line.c_str()));
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        EXPECT_TRUE(async.flush(60000));
        EXPECT_EQ(recorder.count(), static_cast<std::size_t>(kThreads * kLines));
    }
    int next[kThreads] = {};
    for (const std::string& line : recorder.lines) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "%d %d", &t, &i), 2);
        EXPECT_EQ(i, next[t]++) << "thread " << t;
    }
    for (int id : recorder.threads) {  // one background thread, none of the loggers
        EXPECT_EQ(id, recorder.threads.front());
        for (const std::atomic<int>& logger : loggers) {
            EXPECT_NE(id, logger);
        }
    }
}

TEST(AsyncSink, DroppingCountsExactlyWhatItDropped) {
    Recorder recorder;
    recorder.open = false;  // the thread holds at most one line, the queue four
    CAsyncSink async(recorder.sink(), 4, CAsyncSink::WhenFull::drop);
    int refused = 0;
    for (int i = 0; i < 100; ++i) {
        refused += async.sink()("line") ? 0 : 1;
    }
    recorder.open = true;
    ASSERT_TRUE(async.flush(60000));
    EXPECT_EQ(async.dropped(), static_cast<std::uint64_t>(refused));
    EXPECT_GE(async.dropped(), 95u);
    EXPECT_EQ(recorder.count() + async.dropped(), 100u);
}

TEST(AsyncSink, FlushWaitsForDeliveryAndDestructionDeliversTheRest) {
    Recorder recorder;
    recorder.open = false;
    auto async = std::make_unique<CAsyncSink>(recorder.sink(), 100);
    for (int i = 0; i < 3; ++i) {
        async->sink()("early");
    }
    EXPECT_FALSE(async->flush(20));  // the sink is held shut: nothing can have been delivered
    std::thread opener([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        recorder.open = true;
    });
    EXPECT_TRUE(async->flush(60000));
    EXPECT_EQ(recorder.count(), 3u);
    opener.join();
    recorder.delay = std::chrono::microseconds(1000);
    for (int i = 0; i < 50; ++i) {
        async->sink()("late");
    }
    async.reset();
    EXPECT_EQ(recorder.count(), 53u);
}

namespace {

// A sink that logs for each line it is given: with a queue of one line, the logging thread waits
// for room that only the sink's own thread can make.
Recorder g_inner;
bool loggingSink(const char* line) {
    g_inner.take(line);
    if (std::string(line).find("outer") != std::string::npos) {
        logWarn("inner\n");
    }
    return true;
}

}  // namespace

TEST(AsyncSink, LineLoggedByTheWrappedSinkDoesNotDeadlock) {
    TestSupport::LogCapture quiet;
    CAsyncSink async(TFunction1<bool, const char*>(&loggingSink), 1);
    ASSERT_TRUE(async.attach());
    EXPECT_FALSE(async.attach());
    for (int i = 0; i < 5; ++i) {
        logWarn("outer %d\n", i);
    }
    EXPECT_TRUE(async.flush(60000));
    EXPECT_TRUE(async.detach());
    EXPECT_EQ(g_inner.count(), 10u);
}

void lastCallback(unsigned long) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    logWarn("from the last callback\n");
}
void noPrinter(const char*) {}

// The orderly shutdown waits for the running callback, whose line is queued behind the others,
// delivers every queued line before it returns, and later lines go straight to the sink.
TEST(AsyncSinkStop, ShutdownDeliversWhatCallbacksAndCallersQueuedThenLogsOnTheCallersThread) {
    setLogPrinter(TFunction1<void, const char*>(&noPrinter));
    Recorder recorder;
    recorder.delay = std::chrono::microseconds(1000);
    CAsyncSink async(recorder.sink(), 100);
    ASSERT_TRUE(async.attach());
    CTimer last("last");
    ASSERT_TRUE(last.start(TFunction1<void, unsigned long>(&lastCallback), 0, 0, 0, 0));
    for (int i = 0; i < 20; ++i) {
        logWarn("queued %d\n", i);
    }
    EXPECT_TRUE(shutdown(10000));
    ASSERT_EQ(recorder.count(), 21u);
    EXPECT_NE(recorder.lines.back().find("from the last callback"), std::string::npos);
    EXPECT_FALSE(last.start(TFunction1<void, unsigned long>(&lastCallback), 1, 0, 0, 0));
    logWarn("direct\n");
    ASSERT_EQ(recorder.count(), 22u);
    EXPECT_EQ(recorder.threads.back(), CThread::getCurrentThreadID());
    EXPECT_NE(recorder.threads.front(), CThread::getCurrentThreadID());
    EXPECT_TRUE(shutdown(0) && Detail::flushAsyncSinks(0));
    async.detach();
    setLogPrinter(TFunction1<void, const char*>());
}

TEST(AsyncSinkStop, ExitDeliversWhatStaticAndLeakedAdaptorsQueued) {
    TestSupport::TempDir dir;
    ASSERT_TRUE(dir.valid());
    const std::string out = dir.path() + "/lines.txt";
    std::string command = std::string("\"") + INFRA_ASYNCSINK_EXIT_HELPER + "\" \"" + out + "\"";
#if defined(_WIN32)
    command = "\"" + command + "\"";  // the command interpreter takes off the outermost quotes
#endif
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string text = TestSupport::readFile(out);
#if defined(_WIN32)
    // The system ends the thread before the library's exit work, maybe in the middle of a line.
    EXPECT_GE(std::count(text.begin(), text.end(), '\n'), 59) << text;
#else
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 60) << text;
#endif
}
