// The log API and the print core: prefixes, filters, printer and sinks, statistics, hex dump
// and the command language.
#include "infra/PrintLog.h"

#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "infra3/core/Diagnostics.h"
#include "infra3/logfile/LogFile.h"

// How "%p" text begins: "0x" with the GNU C library, bare hex digits with the Windows runtimes.
#if defined(_WIN32)
#define TEST_POINTER_PREFIX ""
#else
#define TEST_POINTER_PREFIX "0x"
#endif

using namespace Tovix::Infra;

namespace {

// Collects every line handed to it, as printer or as sink.
class Capture {
public:
    void print(const char* line) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_lines.emplace_back(line);
    }
    bool sink(const char* line) {
        print(line);
        return true;
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_lines;
    }
    std::string joined() {
        std::string all;
        for (const std::string& l : lines()) {
            all += l;
        }
        return all;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

void command(std::vector<const char*> words) {
    setLogFilter(static_cast<int>(words.size()), const_cast<char* const*>(words.data()));
}

// Every test starts from the start state and leaves it behind.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }

    static void reset() {
        // Finish any partial line so the next test starts at a line start.
        setLogPrinter(TFunction1<void, const char*>());
        setPrintLogLevel(6);
        PrintOptions quiet{};
        quiet.noColor = true;
        setPrintOptions(quiet);
        testing::internal::CaptureStdout();
        logFatal("\n");
        testing::internal::GetCapturedStdout();
        setPrintLogLevel(3);
        setPrintOptions(PrintOptions{});
        command({"-logmodule", "on"});
        command({"-logmodulestatistics", "off"});
    }

    void capture() { setLogPrinter(TFunction1<void, const char*>(&m_capture, &Capture::print)); }

    // Options that keep lines free of time and thread id, so they can be compared whole.
    static PrintOptions stableOptions() {
        PrintOptions o{};
        o.noTime = true;
        o.noThread = true;
        o.noColor = true;
        return o;
    }

    Capture m_capture;
};

}  // namespace

TEST_F(LogTest, DefaultPrefixCarriesEveryField) {
    capture();
    const int length =
        logFilter(3, "net", "/src/net/socket.cpp", "Net::open", 42, "1.2", "opened %d\n", 7);
    const auto lines = m_capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(length, static_cast<int>(lines[0].size()));
    const std::regex expected(
        "^\\d\\d:\\d\\d:\\d\\d\\|\\[net\\] \\[ver:1\\.2\\] warn socket\\.cpp Net::open 42 "
        "tid:\\d+ opened 7\n$");
    EXPECT_TRUE(std::regex_match(lines[0], expected)) << lines[0];
}

TEST_F(LogTest, LevelCallsUseModuleUnknownAndAnEmptyFunction) {
    setPrintOptions(stableOptions());
    capture();
    logWarn("w%s\n", "arn");
    ::logError("global %d\n", 2);
    const auto lines = m_capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    // No file and no line (line 0); the empty function still writes its blank.
    EXPECT_EQ(lines[0], "[Unknown] [ver:] warn  warn\n");
    EXPECT_EQ(lines[1], "[Unknown] [ver:] error  global 2\n");
}

TEST_F(LogTest, TaggedFormatWritesEveryFieldAsAnItem) {
    PrintOptions o{};
    o.taggedFormat = true;
    o.noColor = true;
    setPrintOptions(o);
    capture();
    logFilter(2, "db", "a\\b\\store.cpp", "Store::put", 9, "3", "x\n");
    const std::regex expected(
        "^\\|T:\\d\\d:\\d\\d:\\d\\d\\|M:db\\|V:3\\|L:error \\|F:store\\.cpp\\|f:Store::put\\|"
        "l:9\\|t:\\d+\\|m:x\n$");
    ASSERT_EQ(m_capture.lines().size(), 1u);
    EXPECT_TRUE(std::regex_match(m_capture.lines()[0], expected)) << m_capture.lines()[0];
}

TEST_F(LogTest, DateAndMillisecondsFollowTheirOptions) {
    PrintOptions o = stableOptions();
    o.noTime = false;
    o.withDate = true;
    o.withMillisecond = true;
    o.noModule = o.noVersion = o.noLevel = o.noFunction = true;
    setPrintOptions(o);
    capture();
    logWarn("m\n");
    const std::regex expected("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:[ \\d]{2}\\d\\|m\n$");
    ASSERT_EQ(m_capture.lines().size(), 1u);
    EXPECT_TRUE(std::regex_match(m_capture.lines()[0], expected)) << m_capture.lines()[0];
}

TEST_F(LogTest, FileAndLineNeedAPositiveLine) {
    setPrintOptions(stableOptions());
    capture();
    logFilter(3, "m", "dir/f.cpp", "", 0, "v", "a\n");
    logFilter(3, "m", "dir/f.cpp", "fn", -1, "v", "b\n");
    logFilter(3, "m", "f.cpp\\", "fn", 5, "v", "c\n");
    const auto lines = m_capture.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "[m] [ver:v] warn  a\n");
    EXPECT_EQ(lines[1], "[m] [ver:v] warn fn b\n");
    // A name that ends in a separator is used whole.
    EXPECT_EQ(lines[2], "[m] [ver:v] warn f.cpp\\ fn 5 c\n");
}

TEST_F(LogTest, NullVersionIsEmptyAndNoVersionDropsTheField) {
    setPrintOptions(stableOptions());
    capture();
    logFilter(3, "m", "f.cpp", "fn", 1, nullptr, "a\n");
    PrintOptions o = stableOptions();
    o.noVersion = true;
    setPrintOptions(o);
    logFilter(3, "m", "f.cpp", "fn", 1, "9.9", "b\n");
    const auto lines = m_capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[m] [ver:] warn f.cpp fn 1 a\n");
    EXPECT_EQ(lines[1], "[m] warn f.cpp fn 1 b\n");
}

TEST_F(LogTest, NullTextsNeverCrash) {
    setPrintOptions(stableOptions());
    capture();
    EXPECT_GT(logFilter(3, nullptr, nullptr, nullptr, 3, nullptr, "n\n"), 0);
    EXPECT_EQ(logFilter(3, "m", "f", "g", 1, "v", nullptr),
              static_cast<int>(strlen("[m] [ver:v] warn f g 1 ")));
    logWarn("\n");
    EXPECT_GT(logLibName(3, nullptr, "lib\n"), 0);
    const auto lines = m_capture.lines();
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines[0], "[] [ver:] warn   3 n\n");  // empty file and function, each with its blank
}

TEST_F(LogTest, PrintLevelFiltersBeforeFormatting) {
    capture();
    EXPECT_GT(logWarn("shown\n"), 0);
    EXPECT_EQ(logInfo("hidden %s\n", "x"), 0);
    setPrintLogLevel(0);
    EXPECT_EQ(logFatal("hidden\n"), 0);
    EXPECT_EQ(getPrintLogLevel(), 0);
    // Level 0 passes print level 0: empty level word.
    setPrintOptions(stableOptions());
    EXPECT_GT(logFilter(0, "m", "f", "g", 1, "v", "zero\n"), 0);
    const auto lines = m_capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "[m] [ver:v] f g 1 zero\n");
}

TEST_F(LogTest, PartialLineGetsOnePrefix) {
    setPrintOptions(stableOptions());
    capture();
    logWarn("first ");
    logError("second ");
    logFilter(2, "m", "f", "g", 1, "v", "third\n");
    logWarn("next\n");
    const auto lines = m_capture.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "[Unknown] [ver:] warn  first ");
    EXPECT_EQ(lines[1], "second ");
    EXPECT_EQ(lines[2], "third\n");
    EXPECT_EQ(lines[3], "[Unknown] [ver:] warn  next\n");
}

TEST_F(LogTest, LongMessagesAreCutAtTheBuffer) {
    setPrintOptions(stableOptions());
    capture();
    const std::string big(10000, 'x');
    const int length = logWarn("%s", big.c_str());
    EXPECT_EQ(length, 8191);
    ASSERT_EQ(m_capture.lines().size(), 1u);
    EXPECT_EQ(m_capture.lines()[0].size(), 8191u);
    // A full line counts as complete: the next line has its prefix.
    logWarn("after\n");
    EXPECT_EQ(m_capture.lines()[1], "[Unknown] [ver:] warn  after\n");
}

TEST_F(LogTest, ModuleSwitchOffSilencesLogFilterOnly) {
    capture();
    command({"-logmodule", "off"});
    EXPECT_EQ(logFilter(1, "m", "f", "g", 1, "v", "x\n"), 0);
    EXPECT_EQ(Infra_logFilter(1, "m", "f", "g", 1, "v", "x\n"), 0);
    EXPECT_GT(logWarn("level calls check the level only\n"), 0);
    EXPECT_GT(logLibName(2, "lib", "so does logLibName\n"), 0);
    command({"-logmodule", "ON"});
    EXPECT_GT(logFilter(1, "m", "f", "g", 1, "v", "x\n"), 0);
}

TEST_F(LogTest, ModuleTableDropsOnlyModulesSwitchedOff) {
    capture();
    command({"-logmodule", "A", "off"});
    EXPECT_EQ(logFilter(3, "A", "f", "g", 1, "v", "a\n"), 0);
    EXPECT_GT(logFilter(3, "B", "f", "g", 1, "v", "b\n"), 0);
    // The global switch keeps the table; naming a module again brings it back into force.
    command({"-logmodule", "on"});
    EXPECT_GT(logFilter(3, "A", "f", "g", 1, "v", "a\n"), 0);
    command({"-logmodule", "B", "On"});
    EXPECT_EQ(logFilter(3, "A", "f", "g", 1, "v", "a\n"), 0);
    EXPECT_GT(logFilter(3, "B", "f", "g", 1, "v", "b\n"), 0);
    command({"-logmodule", "A", "on"});
    EXPECT_GT(logFilter(3, "A", "f", "g", 1, "v", "a\n"), 0);
}

TEST_F(LogTest, LogLibNameNeedsALevelFromOneToSix) {
    capture();
    setPrintLogLevel(6);
    EXPECT_EQ(logLibName(0, "lib", "x\n"), 0);
    EXPECT_EQ(logLibName(7, "lib", "x\n"), 0);
    EXPECT_GT(logLibName(6, "lib", "x\n"), 0);
    ASSERT_EQ(m_capture.lines().size(), 1u);
    EXPECT_NE(m_capture.lines()[0].find("[lib] [ver:] debug "), std::string::npos);
}

TEST_F(LogTest, SinkIsAttachedOnceAndCalledOncePerLine) {
    capture();
    Capture sink;
    TFunction1<bool, const char*> s(&sink, &Capture::sink);
    EXPECT_TRUE(attachPrint(s));
    EXPECT_FALSE(attachPrint(s));
    logWarn("one\n");
    logWarn("two\n");
    EXPECT_EQ(sink.lines().size(), 2u);
    EXPECT_EQ(sink.lines(), m_capture.lines());
    EXPECT_TRUE(detachPrint(s));
    EXPECT_FALSE(detachPrint(s));
    logWarn("three\n");
    EXPECT_EQ(sink.lines().size(), 2u);
}

TEST_F(LogTest, EmptySinkIsRefused) {
    capture();
    // Read through a volatile so that no compiler sees a constant null object.
    Capture* volatile hidden = nullptr;
    Capture* none = hidden;
    EXPECT_FALSE(attachPrint(TFunction1<bool, const char*>(none, &Capture::sink)));
    EXPECT_FALSE(attachPrint(TFunction1<bool, const char*>()));
    // Lines from any thread still find only callable sinks.
    std::thread([] { logWarn("shown\n"); }).join();
    ASSERT_EQ(m_capture.lines().size(), 1u);
    EXPECT_FALSE(detachPrint(TFunction1<bool, const char*>()));
}

TEST_F(LogTest, SinksSeeLinesAlsoWithoutPrinter) {
    Capture sink;
    TFunction1<bool, const char*> s(&sink, &Capture::sink);
    attachPrint(s);
    testing::internal::CaptureStdout();
    logWarn("console and sink\n");
    const std::string out = testing::internal::GetCapturedStdout();
    detachPrint(s);
    ASSERT_EQ(sink.lines().size(), 1u);
    EXPECT_EQ(out, sink.lines()[0]);
}

namespace {

// A sink that detaches itself and attaches another while it is called.
struct SelfDetaching {
    Capture* next = nullptr;
    int calls = 0;
    bool call(const char*) {
        ++calls;
        detachPrint(TFunction1<bool, const char*>(this, &SelfDetaching::call));
        attachPrint(TFunction1<bool, const char*>(next, &Capture::sink));
        return true;
    }
};

}  // namespace

TEST_F(LogTest, SinkMayAttachAndDetachWhileCalled) {
    capture();
    Capture next;
    SelfDetaching first;
    first.next = &next;
    attachPrint(TFunction1<bool, const char*>(&first, &SelfDetaching::call));
    logWarn("a\n");
    logWarn("b\n");
    EXPECT_EQ(first.calls, 1);
    ASSERT_EQ(next.lines().size(), 1u);
    EXPECT_NE(next.lines()[0].find("b\n"), std::string::npos);
    detachPrint(TFunction1<bool, const char*>(&next, &Capture::sink));
}

namespace {

// A sink that logs a line of its own the first time it is called.
struct LoggingSink {
    Capture seen;
    int calls = 0;
    bool call(const char* line) {
        seen.sink(line);
        if (++calls == 1) {
            logWarn("from inside a sink\n");
        }
        return true;
    }
};

}  // namespace

TEST_F(LogTest, LinesLoggedBySinksReachEverySink) {
    capture();
    LoggingSink first;
    Capture second;
    attachPrint(TFunction1<bool, const char*>(&first, &LoggingSink::call));
    attachPrint(TFunction1<bool, const char*>(&second, &Capture::sink));
    logWarn("outer\n");
    logWarn("after\n");
    detachPrint(TFunction1<bool, const char*>(&first, &LoggingSink::call));
    detachPrint(TFunction1<bool, const char*>(&second, &Capture::sink));
    // The nested line is delivered while the first sink handles the outer one.
    const std::vector<std::string> firstLines = first.seen.lines();
    const std::vector<std::string> secondLines = second.lines();
    ASSERT_EQ(firstLines.size(), 3u);
    ASSERT_EQ(secondLines.size(), 3u);
    EXPECT_NE(firstLines[0].find("outer\n"), std::string::npos);
    EXPECT_NE(firstLines[1].find("from inside a sink\n"), std::string::npos);
    EXPECT_NE(firstLines[2].find("after\n"), std::string::npos);
    EXPECT_NE(secondLines[0].find("from inside a sink\n"), std::string::npos);
    EXPECT_NE(secondLines[1].find("outer\n"), std::string::npos);
    EXPECT_NE(secondLines[2].find("after\n"), std::string::npos);
    EXPECT_EQ(m_capture.lines().size(), 3u);
}

TEST_F(LogTest, SinksChangedOnAnotherThreadApplyToTheNextLineHere) {
    capture();
    Capture before;
    Capture after;
    attachPrint(TFunction1<bool, const char*>(&before, &Capture::sink));
    logWarn("one\n");
    logWarn("two\n");
    std::thread([&] {
        detachPrint(TFunction1<bool, const char*>(&before, &Capture::sink));
        attachPrint(TFunction1<bool, const char*>(&after, &Capture::sink));
    }).join();
    logWarn("three\n");
    std::thread([&] { setLogPrinter(TFunction1<void, const char*>()); }).join();
    testing::internal::CaptureStdout();
    logWarn("four\n");
    const std::string console = testing::internal::GetCapturedStdout();
    detachPrint(TFunction1<bool, const char*>(&after, &Capture::sink));
    EXPECT_EQ(before.lines().size(), 2u);
    ASSERT_EQ(after.lines().size(), 2u);
    EXPECT_NE(after.lines()[0].find("three\n"), std::string::npos);
    EXPECT_EQ(m_capture.lines().size(), 3u);
    EXPECT_NE(console.find("four\n"), std::string::npos);
}

TEST_F(LogTest, EverySinkOfManyIsCalledOncePerLine) {
    capture();
    constexpr int kSinks = 20;
    std::vector<Capture> sinks(kSinks);
    for (int count : {1, 3, 4, 5, 16, 17, 20, 6, 2}) {
        for (int i = 0; i < kSinks; ++i) {
            detachPrint(TFunction1<bool, const char*>(&sinks[i], &Capture::sink));
        }
        for (int i = 0; i < count; ++i) {
            attachPrint(TFunction1<bool, const char*>(&sinks[i], &Capture::sink));
        }
        std::vector<std::size_t> seen;
        for (Capture& c : sinks) {
            seen.push_back(c.lines().size());
        }
        logWarn("line for %d sinks\n", count);
        for (int i = 0; i < kSinks; ++i) {
            EXPECT_EQ(sinks[i].lines().size(), seen[i] + (i < count ? 1u : 0u))
                << "sink " << i << " of " << count;
        }
    }
    for (int i = 0; i < kSinks; ++i) {
        detachPrint(TFunction1<bool, const char*>(&sinks[i], &Capture::sink));
    }
}

TEST_F(LogTest, EmptyPrinterRestoresConsoleOutput) {
    capture();
    setLogPrinter(TFunction1<void, const char*>());
    testing::internal::CaptureStdout();
    logWarn("to the console\n");
    EXPECT_NE(testing::internal::GetCapturedStdout().find("to the console\n"), std::string::npos);
    EXPECT_TRUE(m_capture.lines().empty());
}

TEST_F(LogTest, StatisticsCountTheBytesOfEachModule) {
    setPrintOptions(stableOptions());
    capture();
    command({"-logmodulestatistics", "on"});
    const auto before = getLogStatistics();
    const std::uint64_t a0 = before.count("statsA") ? before.at("statsA").bytes : 0;
    int expectedA = logFilter(3, "statsA", "f", "g", 1, "v", "12345\n");
    expectedA += logFilter(3, "statsA", "f", "g", 1, "v", "x\n");
    const int expectedB = logLibName(3, "statsB", "y\n");
    logFilter(3, "", "f", "g", 1, "v", "empty names are not counted\n");
    logFilter(4, "statsA", "f", "g", 1, "v", "hidden lines are not counted\n");
    command({"-logmodulestatistics", "off"});
    logFilter(3, "statsA", "f", "g", 1, "v", "switched off\n");
    const auto after = getLogStatistics();
    EXPECT_EQ(after.at("statsA").bytes - a0, static_cast<std::uint64_t>(expectedA));
    EXPECT_EQ(after.at("statsB").bytes, static_cast<std::uint64_t>(expectedB));
    EXPECT_EQ(after.count(""), 0u);
}

TEST_F(LogTest, HexDumpPadsTheLastLine) {
    setPrintOptions(stableOptions());
    setPrintLogLevel(5);
    capture();
    unsigned char data[20];
    for (int i = 0; i < 20; ++i) {
        data[i] = static_cast<unsigned char>(i < 16 ? 'A' + i : 120 + i);  // 136.. are '.'
    }
    data[3] = '{';
    dumpHex(data, 20);
    const auto lines = m_capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    char address[32];
    std::snprintf(address, sizeof address, "%p: ", static_cast<void*>(data));
    EXPECT_EQ(lines[0], "[Unknown] [ver:] trace  " + std::string(address) +
                            "41 42 43 7b 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50   ABC.EFGHIJKLMNOP\n");
    std::snprintf(address, sizeof address, "%p: ", static_cast<void*>(data + 16));
    EXPECT_EQ(lines[1], "[Unknown] [ver:] trace  " + std::string(address) + "88 89 8a 8b " +
                            std::string(12 * 3, ' ') + "  ....\n");
}

TEST_F(LogTest, HexDumpAddsAnEmptyLineEvery512Bytes) {
    setPrintOptions(stableOptions());
    setPrintLogLevel(5);
    capture();
    std::vector<unsigned char> data(1024, 'a');
    dumpHex(data.data(), 1024);
    const auto lines = m_capture.lines();
    ASSERT_EQ(lines.size(), 66u);
    EXPECT_EQ(lines[32], "[Unknown] [ver:] trace  \n");
    EXPECT_EQ(lines[65], "[Unknown] [ver:] trace  \n");
    // A short 32nd line is not a full 512 bytes: no empty line after it.
    dumpHex(data.data(), 31 * 16 + 4);
    ASSERT_EQ(m_capture.lines().size(), 66u + 32u);
    EXPECT_NE(m_capture.lines().back(), "[Unknown] [ver:] trace  \n");
    setPrintLogLevel(4);
    dumpHex(data.data(), 1024);
    EXPECT_EQ(m_capture.lines().size(), 66u + 32u);
}

TEST_F(LogTest, UsageTextIsPrintedForNoArgumentsAndForHelp) {
    const std::string expected =
        "logfilter command usage:\n"
        "logfilter -loglevel [levelnum](0-no printlevel, 1-fatal, 2-error, 3-warn, 4-info, "
        "5-trace, 6-debug): set log level\n"
        "logfilter -logmodule [modulename] [on/off] #turn module's log on/off\n"
        "logfilter -logmodule [on/off] #turn ALL module's log on/off\n"
        "logfilter -logpath [logpath/] #logger module's log to logpath or cancel logger(by set "
        "path to )\n"
        "logfilter -logmodulestatistics  [on/off] #turn ALL module's logstatistics func on/off\n"
        "logfiter -logsize [logsize] #log file max size limited to logsize Kbytes\n"
        "logfiter -logsavesetting bysize [logsize] [maxnumber]#(logsize-log will save as a new "
        "file if log's size reaches to logsize),(maxnumber-total log file)\n"
        "logfiter -logsavesetting byday [on/off] [maxnumber] #(on-log will save as a new file if "
        "date changes),(maxnumber-total log file)\n"
        "logfiter -logsavesetting none #log file save in the old way\n";
    testing::internal::CaptureStdout();
    setLogFilter(0, nullptr);
    command({"-h"});
    command({"-h", "extra"});  // "-h" with an argument matches nothing
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected + expected);
}

TEST_F(LogTest, CommandsChangeLevelAndOptions) {
    command({"-loglevel", "5"});
    EXPECT_EQ(getPrintLogLevel(), 5);
    command({"-loglevel"});  // missing argument: ignored
    EXPECT_EQ(getPrintLogLevel(), 5);
    command({"-logtime", "off"});
    command({"-logthread", "OFF"});
    command({"-logversion", "no"});
    command({"-logfunction", "on"});
    command({"-logfunction"});
    PrintOptions o{};
    ASSERT_EQ(getPrintOptions(&o), 0);
    EXPECT_TRUE(o.noTime);
    EXPECT_TRUE(o.noThread);
    EXPECT_TRUE(o.noVersion);
    EXPECT_FALSE(o.noFunction);
    EXPECT_TRUE(Infra_getPrintOption()->noTime);
    EXPECT_TRUE(Infra_getPrintOption()->noVersion);
    command({"-unknown", "x"});
    command({"-LOGLEVEL", "1"});  // option names are case-sensitive
    EXPECT_EQ(getPrintLogLevel(), 5);
}

TEST_F(LogTest, LogFileSettingsFollowTheCommands) {
    command({"-logsize", "0"});
    EXPECT_EQ(Detail::logFileGetSettings().sizeLimit, 0);
    command({"-logsize", "-5"});
    EXPECT_EQ(Detail::logFileGetSettings().sizeLimit, 0);
    command({"-logsize", "4"});
    EXPECT_EQ(Detail::logFileGetSettings().sizeLimit, 4096);
    command({"-logsize", "99999999"});
    EXPECT_GT(Detail::logFileGetSettings().sizeLimit, 0);
    command({"-logsavesetting", "BYDAY", "on", "5"});
    auto s = Detail::logFileGetSettings();
    EXPECT_TRUE(s.rotating);
    EXPECT_TRUE(s.byDay);
    EXPECT_EQ(s.maxCount, 5);
    command({"-logsavesetting", "bysize", "2", "0"});
    s = Detail::logFileGetSettings();
    EXPECT_EQ(s.sizeLimit, 2048);
    EXPECT_TRUE(s.byDay);  // bysize leaves the by-day switch alone
    EXPECT_EQ(s.maxCount, 0);
    command({"-logsavesetting", "bysize", "2"});  // wrong count: nothing
    command({"-logsavesetting", "None"});
    EXPECT_FALSE(Detail::logFileGetSettings().rotating);
    command({"-logsavesetting", "other"});
}

TEST_F(LogTest, ValuesThatAreNotWholeNumbersAreRefusedWithOneLine) {
    command({"-loglevel", "4"});
    command({"-logsavesetting", "bysize", "8", "3"});
    const auto before = Detail::logFileGetSettings();
    // The command, and the value its line names.
    const std::vector<std::pair<std::vector<const char*>, const char*>> refused = {
        {{"-loglevel", "nine"}, "nine"},
        {{"-loglevel", "3x"}, "3x"},
        {{"-loglevel", ""}, ""},
        {{"-loglevel", nullptr}, "(null)"},
        {{"-logsize", "1MB"}, "1MB"},
        {{"-logsize", "+"}, "+"},
        {{"-logsavesetting", "bysize", "1MB", "5"}, "1MB"},
        {{"-logsavesetting", "bysize", "2", "five"}, "five"},
        {{"-logsavesetting", "byday", "on", "7 "}, "7 "},
    };
    for (const auto& [words, bad] : refused) {
        testing::internal::CaptureStdout();
        command(words);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, std::string("logfilter ") + words[0] + ": \"" + bad +
                           "\" is not a whole number; the setting is kept\n");
        EXPECT_EQ(getPrintLogLevel(), 4) << out;
        const auto after = Detail::logFileGetSettings();
        EXPECT_EQ(after.sizeLimit, before.sizeLimit) << out;
        EXPECT_EQ(after.maxCount, before.maxCount) << out;
        EXPECT_EQ(after.byDay, before.byDay) << out;
    }
    // Signs, numbers beyond the text's levels and beyond int's range are whole numbers.
    command({"-loglevel", "+2"});
    EXPECT_EQ(getPrintLogLevel(), 2);
    command({"-loglevel", "9"});
    EXPECT_EQ(getPrintLogLevel(), 9);
    command({"-logsize", "99999999999"});
    EXPECT_EQ(Detail::logFileGetSettings().sizeLimit, INT_MAX);
}

TEST_F(LogTest, LogPathIsPrepared) {
    testing::internal::CaptureStdout();
    command({"-logpath", "logs/"});
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("]logDir is invalid\n"), std::string::npos);
    EXPECT_STREQ(Detail::logFileGetPath(), "");
    command({"-logpath", "app.log"});
    EXPECT_STREQ(Detail::logFileGetPath(), "./app.log");
    command({"-logpath", ""});
    EXPECT_STREQ(Detail::logFileGetPath(), "");
    command({"-logpath"});
}

TEST_F(LogTest, PlainLogFilterWritesTheWholeLineToStdout) {
    PrintOptions o = stableOptions();
    setPrintOptions(o);
    testing::internal::CaptureStdout();
    const int length = Infra_logFilter(3, "m", "x\\y\\z.cpp", "fn", 3, "v", "plain %d\n", 5);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "[m] [ver:v] warn z.cpp fn 3 plain 5\n");
    EXPECT_EQ(length, static_cast<int>(out.size()));
    EXPECT_EQ(Infra_logFilter(4, "m", "f", "g", 1, "v", "hidden\n"), 0);
}

TEST_F(LogTest, OptionControlWithoutLineStartOnlyReadsTheTime) {
    setPrintOptions(stableOptions());
    capture();
    logWarn("unfinished");
    char buffer[256] = "untouched";
    SystemTimeEx now{};
    EXPECT_EQ(Infra_logOptionControl(buffer, sizeof buffer, 3, "m", "f", "g", 1, "v", &now), 0);
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_GE(now.year, 2020);
    logWarn("\n");
    EXPECT_GT(Infra_logOptionControl(buffer, sizeof buffer, 3, "m", "f", "g", 1, "v", nullptr), 0);
    EXPECT_STREQ(buffer, "[m] [ver:v] warn f g 1 ");
    // A small buffer is never overrun.
    char small[8];
    EXPECT_EQ(Infra_logOptionControl(small, sizeof small, 3, "module", "f", "g", 1, "v", nullptr),
              7);
    EXPECT_STREQ(small, "[module");
}

TEST_F(LogTest, ManyThreadsLogWhileSinksComeAndGo) {
    setPrintOptions(stableOptions());
    capture();
    Capture steady;
    TFunction1<bool, const char*> steadySink(&steady, &Capture::sink);
    attachPrint(steadySink);
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        Capture transient[4];
        while (!stop.load()) {
            for (Capture& c : transient) {
                attachPrint(TFunction1<bool, const char*>(&c, &Capture::sink));
            }
            for (Capture& c : transient) {
                detachPrint(TFunction1<bool, const char*>(&c, &Capture::sink));
            }
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < 500; ++i) {
                logWarn("thread %d line %d\n", t, i);
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    stop = true;
    churn.join();
    detachPrint(steadySink);
    EXPECT_EQ(steady.lines().size(), 2000u);
    EXPECT_EQ(m_capture.lines().size(), 2000u);
}

namespace {

// The prefix as printf composes it from the options, piece by piece: an independent model of
// the print core's fast writer.
std::string modelPrefix(const InfraPrintOption& o, int level, const char* module, const char* file,
                        const char* function, int line, const char* version, int tid,
                        const SystemTimeEx& t) {
    static const char* const words[] = {"",      "fatal ", "error ", "warn ",
                                        "info ", "trace ", "debug "};
    char piece[512];
    std::string s;
    const bool tagged = o.taggedFormat;
    if (tagged) {
        s += "|T:";
    }
    if (o.withDate) {
        std::snprintf(piece, sizeof piece, "%04d-%02d-%02d ", t.year, t.month, t.day);
        s += piece;
    }
    if (!o.noTime) {
        if (o.withMillisecond) {
            std::snprintf(piece, sizeof piece, "%02d:%02d:%02d:%3d|", t.hour, t.minute, t.second,
                          t.millisecond);
        } else {
            std::snprintf(piece, sizeof piece, "%02d:%02d:%02d|", t.hour, t.minute, t.second);
        }
        s += piece;
    }
    if (!o.noModule) {
        std::snprintf(piece, sizeof piece, tagged ? "M:%s|" : "[%s] ", module);
        s += piece;
    }
    if (!o.noVersion) {
        std::snprintf(piece, sizeof piece, tagged ? "V:%s|" : "[ver:%s] ", version);
        s += piece;
    }
    if (!o.noLevel) {
        std::snprintf(piece, sizeof piece, tagged ? "L:%s|" : "%s", words[level]);
        s += piece;
    }
    if (line > 0 && !o.noFile) {
        std::snprintf(piece, sizeof piece, tagged ? "F:%s|" : "%s ", file);
        s += piece;
    }
    if (!o.noFunction) {
        std::snprintf(piece, sizeof piece, tagged ? "f:%s|" : "%s ", function);
        s += piece;
    }
    if (line > 0 && !o.noLine) {
        std::snprintf(piece, sizeof piece, tagged ? "l:%d|" : "%d ", line);
        s += piece;
    }
    if (!o.noThread) {
        std::snprintf(piece, sizeof piece, tagged ? "t:%d|" : "tid:%d ", tid);
        s += piece;
    }
    if (tagged) {
        s += "m:";
    }
    return s;
}

int currentTid() {
    // The thread id the prefix shows, read back from a tagged prefix.
    InfraPrintOption saved = *Infra_getPrintOption();
    *Infra_getPrintOption() = InfraPrintOption{};
    Infra_getPrintOption()->taggedFormat = true;
    Infra_getPrintOption()->noColor = true;
    char buffer[512];
    Infra_logOptionControl(buffer, sizeof buffer, 3, "m", "f", "g", 1, "v", nullptr);
    *Infra_getPrintOption() = saved;
    const char* t = std::strstr(buffer, "|t:");
    return t != nullptr ? std::atoi(t + 3) : -1;
}

}  // namespace

TEST_F(LogTest, EveryOptionCombinationComposesThePrefixAsPrintfWould) {
    const int tid = currentTid();
    ASSERT_GT(tid, 0);
    // Flags 0 and 2..11 (colour does not change the text); two lines, two levels.
    const int flags[] = {0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    int mismatches = 0;
    for (unsigned mask = 0; mask < (1u << 11); ++mask) {
        InfraPrintOption o{};
        bool* fields = &o.noTime;
        for (int i = 0; i < 11; ++i) {
            fields[flags[i]] = (mask >> i) & 1u;
        }
        o.noColor = true;
        *Infra_getPrintOption() = o;
        for (int line : {0, 4711}) {
            const int level = 1 + static_cast<int>(mask % 6);
            char buffer[1024];
            SystemTimeEx t{};
            const int n = Infra_logOptionControl(buffer, sizeof buffer, level, "mod", "file.cpp",
                                                 "Ns::fn", line, "2.1", &t);
            const std::string expected =
                modelPrefix(o, level, "mod", "file.cpp", "Ns::fn", line, "2.1", tid, t);
            if (expected != std::string(buffer, static_cast<std::size_t>(n)) ||
                static_cast<std::size_t>(n) != expected.size()) {
                if (++mismatches < 5) {
                    ADD_FAILURE() << "mask " << mask << " line " << line << ": got '" << buffer
                                  << "' expected '" << expected << "'";
                }
            }
        }
    }
    *Infra_getPrintOption() = InfraPrintOption{};
    EXPECT_EQ(mismatches, 0);
}

TEST_F(LogTest, MessagesFormatAsVsnprintfWould) {
    setPrintOptions(stableOptions());
    PrintOptions o = stableOptions();
    o.noModule = o.noVersion = o.noLevel = o.noFunction = true;
    setPrintOptions(o);
    capture();
    char expected[256];
    const long long big = -9223372036854775807LL - 1;
    logWarn("%d|%5d|%-5d|%05d|%i|%u|%x|%X|%08x|%c|%s|%-6s|%6s|%%|%ld|%lld|%llu|%zu|%hhd|%hu\n", -42,
            7, 7, -7, 0, 4294967295u, 0xbeefu, 0xbeefu, 0x1fu, 'z', "str", "ab", "ab", 123456789L,
            big, 18446744073709551615ull, static_cast<std::size_t>(99), 300, 70000);
    std::snprintf(
        expected, sizeof expected,
        "%d|%5d|%-5d|%05d|%i|%u|%x|%X|%08x|%c|%s|%-6s|%6s|%%|%ld|%lld|%llu|%zu|%hhd|%hu\n", -42, 7,
        7, -7, 0, 4294967295u, 0xbeefu, 0xbeefu, 0x1fu, 'z', "str", "ab", "ab", 123456789L, big,
        18446744073709551615ull, static_cast<std::size_t>(99), 300, 70000);
    ASSERT_EQ(m_capture.lines().size(), 1u);
    EXPECT_EQ(m_capture.lines()[0], expected);
    // Conversions outside the fast path are formatted by the C library.
    const char* volatile nullText = nullptr;
    logWarn("%.3f|%p|%+d|%.2s|%*d|%s\n", 3.14159, static_cast<void*>(nullptr), 5, "abc", 4, 9,
            nullText);
    std::snprintf(expected, sizeof expected, "%.3f|%p|%+d|%.2s|%*d|%s\n", 3.14159,
                  static_cast<void*>(nullptr), 5, "abc", 4, 9, "(null)");
    ASSERT_EQ(m_capture.lines().size(), 2u);
    EXPECT_EQ(m_capture.lines()[1], expected);
    logWarn("100%% done, %s%%\n", "all");
    EXPECT_EQ(m_capture.lines()[2], "100% done, all%\n");
}

namespace Outer {
namespace Inner {

template <class T>
class Reporter {
public:
    int report(T value) const {
        INFRA_DIAG_THIS(Tovix::Infra::Detail::kLevelWarn, "value %d\n", static_cast<int>(value));
        return static_cast<int>(value);
    }
    static void plain() { INFRA_DIAG(Tovix::Infra::Detail::kLevelError, "plain\n"); }
    // The compiler spells it "int (* Outer::Inner::Reporter<T>::find(int))(int) ...".
    static int (*find(int))(int) {
        INFRA_DIAG_PLAIN(Tovix::Infra::Detail::kLevelError, "find\n");
        return nullptr;
    }
};

}  // namespace Inner
}  // namespace Outer

TEST_F(LogTest, LibraryDiagnosticsNameTheQualifiedFunction) {
    PrintOptions o = stableOptions();
    o.noLine = true;
    setPrintOptions(o);
    capture();
    Outer::Inner::Reporter<long> reporter;
    reporter.report(5);
    Outer::Inner::Reporter<long>::plain();
    Outer::Inner::Reporter<long>::find(1);
    INFRA_DIAG(Tovix::Infra::Detail::kLevelInfo, "hidden at the start level\n");
    const auto lines = m_capture.lines();
    ASSERT_EQ(lines.size(), 3u);
    const std::regex first(
        "^\\[Unknown\\] \\[ver:Unknown\\] warn PrintLogTest\\.cpp "
        "Outer::Inner::Reporter<T>::report \\[.*PrintLogTest\\.cpp:\\d+\\] "
        "this:" TEST_POINTER_PREFIX
        "[0-9a-f]+ "
        "tid:\\d+, value 5\n$");
    EXPECT_TRUE(std::regex_match(lines[0], first)) << lines[0];
    const std::regex second(
        "^\\[Unknown\\] \\[ver:Unknown\\] error PrintLogTest\\.cpp "
        "Outer::Inner::Reporter<T>::plain \\[.*PrintLogTest\\.cpp:\\d+\\] tid:\\d+, plain\n$");
    EXPECT_TRUE(std::regex_match(lines[1], second)) << lines[1];
    EXPECT_EQ(lines[2],
              "[Unknown] [ver:Unknown] error PrintLogTest.cpp "
              "Outer::Inner::Reporter<T>::find find\n");
}

#if !defined(_WIN32)  // Windows has no fork: a new process always starts a new thread.
TEST_F(LogTest, ForkedChildShowsItsOwnThreadId) {
    // The thread id is cached per thread; a forked child runs the same thread under a new id.
    char buffer[256];
    PrintOptions o = stableOptions();
    o.noThread = false;
    o.taggedFormat = true;
    setPrintOptions(o);
    Infra_logOptionControl(buffer, sizeof buffer, 3, "m", "f", "g", 1, "v", nullptr);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        Infra_logOptionControl(buffer, sizeof buffer, 3, "m", "f", "g", 1, "v", nullptr);
        const char* t = std::strstr(buffer, "|t:");
        const long shown = t != nullptr ? std::atol(t + 3) : -1;
        _exit(shown == static_cast<long>(::syscall(SYS_gettid)) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif
