// Asynchronous sinks once the library's shutdown has stopped them, and at process exit.
#include "infra/AsyncSink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "infra3/service/AsyncSinkTestSupport.h"
#include "infra3/service/ServiceInternal.h"
#include "support/TempDir.h"

using namespace Tovix::Infra;

TEST(AsyncSinkStop, DeliversTheQueueThenEveryLineOnTheCallersThread) {
    Recorder recorder;
    recorder.delay = std::chrono::microseconds(1000);
    CAsyncSink async(recorder.sink(), 100);
    for (int i = 0; i < 20; ++i) {
        async.sink()("queued");
    }
    Detail::stopAsyncSinks();
    EXPECT_EQ(recorder.count(), 20u);
    EXPECT_TRUE(async.sink()("direct"));
    ASSERT_EQ(recorder.count(), 21u);
    EXPECT_EQ(recorder.threads.back(), CThread::getCurrentThreadID());
    EXPECT_NE(recorder.threads.front(), CThread::getCurrentThreadID());
    EXPECT_TRUE(Detail::flushAsyncSinks(0));
}

TEST(AsyncSinkStop, ExitDeliversWhatStaticAndLeakedAdaptorsQueued) {
    TestSupport::TempDir dir;
    ASSERT_TRUE(dir.valid());
    const std::string out = dir.path() + "/lines.txt";
    const std::string command =
        std::string("\"") + INFRA_ASYNCSINK_EXIT_HELPER + "\" \"" + out + "\"";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string text = TestSupport::readFile(out);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 60) << text;
}
