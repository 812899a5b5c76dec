// Line prefix cache and message fast path: reused buffers, option changes, number boundaries.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "infra/PrintCore.h"
#include "infra/PrintLog.h"

using namespace Tovix::Infra;

namespace {

struct Capture {
    std::mutex mutex;
    std::vector<std::string> lines;
    void print(const char*) {}
    bool sink(const char* line) {
        std::lock_guard<std::mutex> lock(mutex);
        lines.emplace_back(line);
        return true;
    }
};

class LogPrefixCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        setPrintLogLevel(6);
        PrintOptions o{};
        o.noColor = true;
        o.noLogFile = true;
        setPrintOptions(o);
        setLogPrinter(TFunction1<void, const char*>(&capture, &Capture::print));
        attachPrint(TFunction1<bool, const char*>(&capture, &Capture::sink));
    }
    void TearDown() override {
        detachPrint(TFunction1<bool, const char*>(&capture, &Capture::sink));
        setLogPrinter(TFunction1<void, const char*>());
        setPrintOptions(PrintOptions{});
        setPrintLogLevel(3);
    }
    std::string last() {
        std::lock_guard<std::mutex> lock(capture.mutex);
        return capture.lines.empty() ? std::string() : capture.lines.back();
    }
    Capture capture;
};

// The prefix after the clock: "hh:mm:ss|" is 9 characters.
std::string afterClock(const std::string& line) {
    return line.size() > 9 ? line.substr(9) : line;
}

void logFrom(char* module, char* file, char* function, int line, char* version) {
    logFilter(3, module, file, function, line, version, "x\n");
}

TEST_F(LogPrefixCacheTest, ReusedBuffersShowTheirCurrentText) {
    char module[32] = "alpha";
    char file[64] = "/src/one/first.cpp";
    char function[32] = "run";
    char version[16] = "1.0";
    for (int round = 0; round < 2; ++round) {
        logFrom(module, file, function, 7, version);
        const std::string first = afterClock(last());
        EXPECT_EQ(first.find("[alpha] [ver:1.0] warn first.cpp run 7 tid:"), 0u) << first;
    }
    // Same addresses, same lengths, different text.
    std::strcpy(module, "omega");
    logFrom(module, file, function, 7, version);
    EXPECT_EQ(afterClock(last()).find("[omega] [ver:1.0] warn first.cpp run 7 "), 0u) << last();
    std::strcpy(file, "/src/two\\other.cpp");
    logFrom(module, file, function, 7, version);
    EXPECT_EQ(afterClock(last()).find("[omega] [ver:1.0] warn other.cpp run 7 "), 0u) << last();
    std::strcpy(file, "/src/two/second.cpp");
    logFrom(module, file, function, 7, version);
    EXPECT_EQ(afterClock(last()).find("[omega] [ver:1.0] warn second.cpp run 7 "), 0u) << last();
    std::strcpy(function, "go");
    std::strcpy(version, "2.5");
    logFrom(module, file, function, 7, version);
    EXPECT_EQ(afterClock(last()).find("[omega] [ver:2.5] warn second.cpp go 7 "), 0u) << last();
    // Shorter and longer texts in the same buffers.
    std::strcpy(module, "m");
    std::strcpy(function, "a_much_longer_function_name");
    logFrom(module, file, function, 8, version);
    EXPECT_EQ(
        afterClock(last()).find("[m] [ver:2.5] warn second.cpp a_much_longer_function_name 8 "), 0u)
        << last();
    module[0] = '\0';
    logFrom(module, file, function, 8, version);
    EXPECT_EQ(
        afterClock(last()).find("[] [ver:2.5] warn second.cpp a_much_longer_function_name 8 "), 0u)
        << last();
}

// Writable texts of the program itself, next to its read-only literals: the cache must compare
// them, never take them for literals.
char g_module[16] = "first";
char g_function[48] = "a_function_name_of_some_length";
const char* const kLiteralFile = "/src/literal/unchanged.cpp";

TEST_F(LogPrefixCacheTest, ProgramDataBuffersShowTheirCurrentText) {
    for (int round = 0; round < 3; ++round) {
        logFilter(3, g_module, kLiteralFile, g_function, 11, "1.0", "x\n");
        EXPECT_EQ(afterClock(last()).find(
                      "[first] [ver:1.0] warn unchanged.cpp a_function_name_of_some_length 11 "),
                  0u)
            << last();
    }
    std::strcpy(g_module, "later");
    g_function[29] = 'E';
    logFilter(3, g_module, kLiteralFile, g_function, 11, "1.0", "x\n");
    EXPECT_EQ(afterClock(last()).find(
                  "[later] [ver:1.0] warn unchanged.cpp a_function_name_of_some_lengtE 11 "),
              0u)
        << last();
    std::strcpy(g_module, "first");
    g_function[29] = 'h';
}

// Logs one line when the thread's thread-local objects are destroyed.
struct LogsAtThreadEnd {
    int line = 0;
    ~LogsAtThreadEnd() {
        if (line > 0) {
            logFilter(3, "ending", "/src/end.cpp", "atEnd", line, "1.0", "x\n");
        }
    }
};

thread_local LogsAtThreadEnd t_logsAtEnd;

TEST_F(LogPrefixCacheTest, ThreadsLogUntilTheirVeryEnd) {
    // Each thread's caches are made by its first line and freed when it ends; lines from its
    // thread-local destructors still come out whole, and nothing is lost or leaked.
    for (int round = 0; round < 20; ++round) {
        std::thread([round] {
            t_logsAtEnd.line = 100 + round;
            logFilter(3, "running", "/src/run.cpp", "body", 7, "1.0", "x\n");
        }).join();
    }
    std::lock_guard<std::mutex> lock(capture.mutex);
    int running = 0;
    int ending = 0;
    for (const std::string& line : capture.lines) {
        const std::string tail = afterClock(line);
        if (tail.find("[running] [ver:1.0] warn run.cpp body 7 tid:") == 0) {
            ++running;
        } else if (tail.find("[ending] [ver:1.0] warn end.cpp atEnd 1") == 0) {
            ++ending;
        }
    }
    EXPECT_EQ(running, 20);
#if !defined(_WIN32)
    // (The Windows runtime runs thread-local destructors on objects made afresh at thread end.)
    EXPECT_EQ(ending, 20);
#endif
}

TEST_F(LogPrefixCacheTest, OptionsWrittenDirectlyTakeEffectOnTheNextLine) {
    logFilter(3, "mod", "/a/f.cpp", "fn", 3, "v", "x\n");
    EXPECT_NE(last().find("[mod] "), std::string::npos);
    Infra_getPrintOption()->noModule = true;
    logFilter(3, "mod", "/a/f.cpp", "fn", 3, "v", "x\n");
    EXPECT_EQ(last().find("[mod] "), std::string::npos) << last();
    Infra_getPrintOption()->taggedFormat = true;
    logFilter(3, "mod", "/a/f.cpp", "fn", 3, "v", "x\n");
    EXPECT_EQ(last().find("|T:"), 0u) << last();
    EXPECT_NE(last().find("V:v|L:warn |F:f.cpp|f:fn|l:3|t:"), std::string::npos) << last();
    Infra_getPrintOption()->noLogFile = true;  // the last flag of the record is read too
    Infra_getPrintOption()->taggedFormat = false;
    Infra_getPrintOption()->noModule = false;
    logFilter(2, "mod", "/a/f.cpp", "fn", 3, "v", "x\n");
    EXPECT_NE(last().find("[mod] [ver:v] error f.cpp fn 3 "), std::string::npos) << last();
}

TEST_F(LogPrefixCacheTest, LevelAndLineAreNotTakenFromAnEarlierLine) {
    for (int line = 1; line <= 3; ++line) {
        for (int level = 1; level <= 4; ++level) {
            logFilter(level, "m", "f.cpp", "fn", line, "v", "x\n");
            static const char* const words[] = {"", "fatal ", "error ", "warn ", "info "};
            const std::string expected = std::string("[m] [ver:v] ") + words[level] + "f.cpp fn " +
                                         std::to_string(line) + " ";
            EXPECT_EQ(afterClock(last()).find(expected), 0u) << last();
        }
    }
}

TEST_F(LogPrefixCacheTest, ThreadsKeepTheirOwnPrefixes) {
    std::vector<std::thread> threads;
    char names[4][8] = {"t0", "t1", "t2", "t3"};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &names] {
            for (int i = 0; i < 500; ++i) {
                logFilter(3, names[t], "f.cpp", names[t], 10 + t, "v", "%s %d\n", names[t], i);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    int seen = 0;
    for (const std::string& line : capture.lines) {
        const std::string body = afterClock(line);
        if (body.size() < 3 || body[0] != '[' || body[1] != 't')
            continue;
        const char t = body[2];
        const std::string name = std::string("t") + t;
        EXPECT_EQ(body.find("[" + name + "] [ver:v] warn f.cpp " + name + " 1" + t + " tid:"), 0u)
            << body;
        EXPECT_NE(body.find(name + " "), std::string::npos);
        ++seen;
    }
    EXPECT_EQ(seen, 2000);
}

TEST_F(LogPrefixCacheTest, NumbersMatchSnprintfAtEveryDigitBoundary) {
    Infra_getPrintOption()->noTime = true;
    PrintOptions o{};
    o.noTime = o.noColor = o.noModule = o.noLevel = o.noThread = o.noVersion = o.noFunction =
        o.noFile = o.noLine = o.noLogFile = true;
    setPrintOptions(o);
    std::vector<long long> values = {0, INT_MIN, INT_MAX, -1, UINT_MAX};
    for (long long p = 1; p <= 1000000000LL; p *= 10) {
        values.push_back(p - 1);
        values.push_back(p);
        values.push_back(-p);
        values.push_back(-(p - 1));
    }
    for (long long v : values) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "d=%d u=%u.\n", static_cast<int>(v),
                      static_cast<unsigned int>(v));
        logFilter(3, "m", "f", "fn", 1, "v", "d=%d u=%u.\n", static_cast<int>(v),
                  static_cast<unsigned int>(v));
        EXPECT_EQ(last(), expected);
    }
}

}  // namespace
