// Per-thread last error and reuse tag, the error-message table and the assertion report.
#include "infra/Error.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "infra/PrintLog.h"

using namespace Tovix::Infra;

TEST(LastError, AndTheReuseTagBelongToTheThreadAndStartAtZero) {
    setLastError(-7);
    Detail::setCurrentFunctionReuse(0xFFFFFFFEu);
    int otherError = -1;
    unsigned int otherTag = 1;
    std::thread([&] { otherError = getLastError(), otherTag = getCurrentFunctionReuse(); }).join();
    EXPECT_EQ(0, otherError);
    EXPECT_EQ(0u, otherTag);
    EXPECT_EQ(-7, getLastError());
    EXPECT_EQ(0xFFFFFFFEu, getCurrentFunctionReuse());
    setLastError(0);
    Detail::setCurrentFunctionReuse(0);
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
    EXPECT_DEATH(Detail::assertionFailed("m_internal", "void f()", "src/x.cpp", 12),
                 "^\\*\\*\\*\\*\\* Internal Program Error - assertion \\(m_internal\\) failed in "
                 "void f\\(\\): src/x\\.cpp\\(12\\)\n$");
    EXPECT_DEATH(
        Detail::assertionFailedMsg("pThread", "the thread is gone", "int g(int)", "a.cpp", 12),
        "^\\*\\*\\*\\*\\* Internal Program Error - assertion \\(pThread\\) failed in "
        "int g\\(int\\): a\\.cpp\\(12\\): the thread is gone\n$");
    EXPECT_DEATH(Detail::assertionFailedMsg(nullptr, nullptr, nullptr, nullptr, 1),
                 "assertion \\(\\(null\\)\\) failed in \\(null\\): \\(null\\)\\(1\\): \\(null\\)");
    int* pointer = nullptr;
    EXPECT_DEATH(INFRA_ASSERT(pointer != nullptr),
                 "assertion \\(pointer != nullptr\\) failed in .*ErrorTest\\.cpp\\(");
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
    EXPECT_NE(std::string::npos, text.str().find("the reason for the failed check"));
    EXPECT_NE(std::string::npos, text.str().find("custom_abort, line : "));
}
