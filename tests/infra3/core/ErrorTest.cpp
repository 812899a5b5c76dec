// Per-thread last error, the error-message table and the assertion report.
#include "infra/Error.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "infra/PrintLog.h"

using namespace Tovix::Infra;

TEST(LastError, IsPerThreadAndStartsAtZero) {
    setLastError(5);
    int seenByOther = -1;
    std::thread([&] { seenByOther = getLastError(); }).join();
    EXPECT_EQ(seenByOther, 0);
    EXPECT_EQ(getLastError(), 5);
    setLastError(-7);
    EXPECT_EQ(getLastError(), -7);
    setLastError(0x10030005);
    EXPECT_EQ(getLastError(), 0x10030005);
    setLastError(0);
}

TEST(LastError, ThreadsDoNotDisturbEachOther) {
    std::vector<std::thread> threads;
    std::vector<int> mismatches(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &mismatches] {
            for (int i = 0; i < 10000; ++i) {
                setLastError(t * 100000 + i);
                if (getLastError() != t * 100000 + i) {
                    ++mismatches[t];
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    for (int m : mismatches) {
        EXPECT_EQ(m, 0);
    }
}

TEST(FunctionReuse, StartsAtZeroOnEveryThread) {
    Detail::setCurrentFunctionReuse(0x1234);
    unsigned int other = 1;
    std::thread([&] { other = getCurrentFunctionReuse(); }).join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(getCurrentFunctionReuse(), 0x1234u);
    Detail::setCurrentFunctionReuse(0xFFFFFFFEu);
    EXPECT_EQ(getCurrentFunctionReuse(), 0xFFFFFFFEu);
    Detail::setCurrentFunctionReuse(0);
}

TEST(ErrorMessages, UnknownCodeGivesEmptyText) {
    EXPECT_STREQ(getErrMsg(0x7eadbeef), "");
    EXPECT_TRUE(getErrorMessage(0x7eadbeef).empty());
}

TEST(ErrorMessages, NullMessageStoresEmptyText) {
    setErrMsg(7, "seven");
    setErrMsg(7, nullptr);
    EXPECT_STREQ(getErrMsg(7), "");
}

TEST(ErrorMessages, SetAgainReplacesTheText) {
    setErrorMessage(8, flex_string("first text"));
    EXPECT_STREQ(getErrMsg(8), "first text");
    EXPECT_EQ(getErrorMessage(8), flex_string("first text"));
    setErrorMessage(8, flex_string("a second, much longer text that lives on the heap"));
    EXPECT_STREQ(getErrMsg(8), "a second, much longer text that lives on the heap");
    setErrMsg(-3, "negative codes are codes too");
    EXPECT_STREQ(getErrMsg(-3), "negative codes are codes too");
}

TEST(ErrorMessages, ConcurrentRegistrationKeepsEveryText) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                const int code = 1000 + t * 1000 + i;
                setErrMsg(code, std::to_string(code).c_str());
                getErrMsg(code - 1);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 200; ++i) {
            const int code = 1000 + t * 1000 + i;
            EXPECT_EQ(std::string(getErrMsg(code)), std::to_string(code));
        }
    }
}

using AssertionDeathTest = ::testing::Test;

TEST(AssertionDeathTest, ReportNamesExpressionFunctionFileAndLine) {
    EXPECT_DEATH(Detail::assertionFailed("m_internal", "void f()", "src/x.cpp", 12),
                 "^\\*\\*\\*\\*\\* Internal Program Error - assertion \\(m_internal\\) failed in "
                 "void f\\(\\): src/x\\.cpp\\(12\\)\n$");
}

TEST(AssertionDeathTest, MessageComesLast) {
    EXPECT_DEATH(
        Detail::assertionFailedMsg("pThread", "the thread is gone", "int g(int)", "a.cpp", 12),
        "^\\*\\*\\*\\*\\* Internal Program Error - assertion \\(pThread\\) failed in "
        "int g\\(int\\): a\\.cpp\\(12\\): the thread is gone\n$");
}

TEST(AssertionDeathTest, NullTextsDoNotCrashTheReporter) {
    EXPECT_DEATH(Detail::assertionFailedMsg(nullptr, nullptr, nullptr, nullptr, 1),
                 "assertion \\(\\(null\\)\\) failed in \\(null\\): \\(null\\)\\(1\\): \\(null\\)");
}

TEST(AssertionDeathTest, MacroReportsTheCheckedExpression) {
    int* pointer = nullptr;
    // GoogleTest matches with POSIX extended expressions on POSIX and with its own simple
    // syntax (no bracket expressions) on Windows.
#if defined(_WIN32)
#define TEST_DIGITS "\\d+"
#else
#define TEST_DIGITS "[0-9]+"
#endif
    EXPECT_DEATH(INFRA_ASSERT(pointer != nullptr),
                 "assertion \\(pointer != nullptr\\) failed in .*ErrorTest\\.cpp\\(" TEST_DIGITS
                 "\\)");
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
        "assertion \\(m_internal\\)");
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    file.close();
    std::remove(path.c_str());
    EXPECT_NE(text.str().find("the reason for the failed check"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("custom_abort, line : "), std::string::npos) << text.str();
}
