// Asynchronous sinks: order and completeness under several logging threads, exact drop counts,
// flush, delivery at destruction, lines logged by the wrapped sink itself.
#include "infra/AsyncSink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "infra/PrintLog.h"
#include "infra3/service/AsyncSinkTestSupport.h"
#include "support/LogCapture.h"

using namespace Tovix::Infra;

TEST(AsyncSink, KeepsEachThreadsOrderAndLosesNothingWhenBlocking) {
    Recorder recorder;
    recorder.delay = std::chrono::microseconds(50);
    constexpr int kThreads = 4, kLines = 200;
    std::vector<int> loggers;
    {
        CAsyncSink async(recorder.sink(), 8);  // small: the loggers wait for room
        std::vector<std::thread> threads;
        std::mutex idsMutex;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                {
                    std::lock_guard<std::mutex> guard(idsMutex);
                    loggers.push_back(CThread::getCurrentThreadID());
                }
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
        EXPECT_EQ(std::count(loggers.begin(), loggers.end(), id), 0);
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
