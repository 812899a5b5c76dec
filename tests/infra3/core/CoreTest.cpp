// Per-thread last error and reuse tag, the error-message table, the assertion report and the
// singleton recipe.
#include "infra/Error.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "infra/PrintLog.h"
#include "infra3/core/Singleton.h"

using namespace Tovix::Infra;

TEST(LastError, AndTheReuseTagBelongToTheThreadAndStartAtZero) {
    setLastError(-7);
    Detail::setCurrentFunctionReuse(0xFFFFFFFEu);
    long long other = -1;
    std::thread([&] { other = getLastError() + getCurrentFunctionReuse(); }).join();
    EXPECT_EQ(0, other);
    EXPECT_EQ(-7, getLastError());
    EXPECT_EQ(0xFFFFFFFEu, getCurrentFunctionReuse());
}

TEST(ErrorMessages, AreReplacedAndAnUnknownOrNullTextIsEmpty) {
    EXPECT_STREQ("", getErrMsg(0x7eadbeef));
    EXPECT_TRUE(getErrorMessage(0x7eadbeef).empty());
    setErrMsg(7, "seven");
    setErrMsg(7, nullptr);
    EXPECT_STREQ("", getErrMsg(7));
    setErrorMessage(-8, flex_string("first text"));
    EXPECT_EQ(flex_string("first text"), getErrorMessage(-8));
    setErrorMessage(-8, flex_string("a second, much longer text that lives on the heap"));
    EXPECT_STREQ("a second, much longer text that lives on the heap", getErrMsg(-8));
}

TEST(AssertionDeathTest, ReportNamesExpressionFunctionFileLineAndTheMessageLast) {
    EXPECT_DEATH(
        Detail::assertionFailedMsg("pThread", "the thread is gone", "int g(int)", "a.cpp", 12),
        "^\\*\\*\\*\\*\\* Internal Program Error - assertion \\(pThread\\) failed in "
        "int g\\(int\\): a\\.cpp\\(12\\): the thread is gone\n$");
    int* pointer = nullptr;
    EXPECT_DEATH(INFRA_ASSERT(pointer != nullptr),
                 "assertion \\(pointer != nullptr\\) failed in .*CoreTest\\.cpp\\(");
}

TEST(AssertionDeathTest, StandardOutputBufferedInAFileIsWrittenBeforeTheEnd) {
    const std::string path = ::testing::TempDir() + "infra-assertion-stdout.txt";
    EXPECT_DEATH(
        {
            // A file, unlike a terminal, holds back what is written until its buffer fills.
            if (std::freopen(path.c_str(), "w", stdout) != nullptr) {
                setPrintLogLevel(4);
                logInfo("the reason for the failed check\n");
                Detail::assertionFailed("m_internal", "void f()", "src/x.cpp", 12);
            }
        },
        "^\\*\\*\\*\\*\\* Internal Program Error - assertion \\(m_internal\\) failed in "
        "void f\\(\\): src/x\\.cpp\\(12\\)\n$");
    std::stringstream text;
    text << std::ifstream(path).rdbuf();  // closed again at the end of this line
    std::remove(path.c_str());
    EXPECT_NE(std::string::npos, text.str().find("the reason for the failed check"));
    EXPECT_NE(std::string::npos, text.str().find("custom_abort, line : "));
}

namespace {

std::atomic<int> g_constructed{0};

struct Inner {};
// Slow to make, and needs another singleton from a thread it starts and waits for.
struct Outer {
    Outer() {
        ++g_constructed;
        std::thread([this] { inner = Detail::TSingleton<Inner>::instance(); }).join();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a wide window for a twin
    }
    Inner* inner = nullptr;
};
template <int N>
struct Announced {
    ~Announced() { std::fprintf(stderr, "%d destroyed\n", N); }
};

}  // namespace

TEST(Singleton, ConcurrentFirstCallsShareOneObjectAndConstructorsMayUseOthers) {
    std::vector<std::thread> threads;
    std::vector<Outer*> seen(8, nullptr);
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([i, &seen] { seen[i] = Detail::TSingleton<Outer>::instance(); });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(1, g_constructed.load());
    EXPECT_EQ(std::vector<Outer*>(8, seen[0]), seen);
    EXPECT_EQ(Detail::TSingleton<Inner>::instance(), seen[0]->inner);
}

TEST(SingletonDeathTest, ObjectsDieAtExitInReverseOrderOfCreation) {
    EXPECT_EXIT(
        {
            Detail::TSingleton<Announced<1>>::instance();
            Detail::TSingleton<Announced<2>>::instance();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "2 destroyed\n1 destroyed\n");
}
