// The log API and the print core: prefixes against a printf model, filters,
// partial lines, the plain entry points, printer and sinks, statistics, hex
// dump and library diagnostics.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <regex>
#include <thread>

#include "LogTestSupport.h"
#include "infra3/core/Diagnostics.h"

using namespace LogTests;

class LogApi : public LogFixture {};
class LogSinks : public LogFixture {};

namespace {

TEST(LogStart, WarningsShowInfoHidesAndNothingIsCounted) {
    Recorder rec;
    setLogPrinter(rec.printer());
    PrintOptions o = optionsOf(0x1FFF), none{};
    ASSERT_EQ(getPrintOptions(&o), 0);
    EXPECT_EQ(std::memcmp(&o, &none, sizeof o), 0);
    EXPECT_EQ(getPrintLogLevel(), 3);
    EXPECT_GT(logWarn("shown\n"), 0);
    EXPECT_EQ(logInfo("hidden\n"), 0);
    EXPECT_GT(logFilter(3, "LogStart", "f", "g", 1, "v", "x\n"), 0);
    EXPECT_EQ(getLogStatistics().count("LogStart"), 0u);
    setLogPrinter(TFunction1<void, const char*>());
    EXPECT_EQ(rec.lines().size(), 2u);
}

// Flags 0 and 2..11 in every combination (colour and log file do not change the
// text), every level, lines with and without place; into a caller's buffer
// (large, bounded, cut) and as shown lines, which repeat so as to come from the
// per-thread cache; then texts longer than a buffer.
TEST_F(LogApi, EveryOptionCombinationComposesThePrefixAsPrintfWould) {
    setPrintLogLevel(7);
    int mismatches = 0;
    auto same = [&](const std::string& got, const std::string& want, unsigned mask) {
        if (got != want && ++mismatches <= 5) {
            ADD_FAILURE() << "mask " << mask << ": got '" << got << "' expected '" << want << "'";
        }
    };
    for (unsigned bits = 0; bits < (1u << 11); ++bits) {
        const unsigned mask = (bits & 1u) | (bits >> 1) << 2 | 1u << 1 | 1u << 12;
        const int level = static_cast<int>(bits % 8);
        PrintOptions o = optionsOf(mask), back{};
        setPrintOptions(o);
        getPrintOptions(&back);
        same(std::to_string(std::memcmp(&back, &o, sizeof o)), "0", mask);
        for (int line : {0, 7, 7, -1}) {
            for (unsigned size : {1024u, 200u, 12u}) {
                char buffer[1024];
                SystemTimeEx t{};
                const int n = Infra_logOptionControl(buffer, size, level, "mod", "file.cpp",
                                                     "Ns::fn", line, "2.1", &t);
                const std::string want =
                    modelPrefix(o, level, "mod", "file.cpp", "Ns::fn", line, "2.1", t);
                same(buffer + std::to_string(n),
                     want.substr(0, size - 1) +
                         std::to_string(std::min<std::size_t>(want.size(), size - 1)),
                     mask);
            }
        }
        o.noTime = true;  // for shown lines, through the record itself every other time
        o.withDate = false;
        if (bits % 2 == 0) {
            setPrintOptions(o);
        }
        Infra_getPrintOption()->noTime = true;
        Infra_getPrintOption()->withDate = false;
        for (int line : {0, 7, 7, -1, 9}) {
            const int n =
                logFilter(level, "mod", "dir\\sub/file.cpp", "Ns::fn", line, "2.1", "m\n");
            same(rec.last() + std::to_string(n),
                 modelPrefix(o, level, "mod", "file.cpp", "Ns::fn", line, "2.1") + "m\n" +
                     std::to_string(rec.last().size()),
                 mask);
        }
    }
    EXPECT_EQ(mismatches, 0);
    // A shown line's prefix takes at most 8190 characters, and the message the rest.
    setPrintOptions(optionsOf(kStable));
    const std::string m(3000, 'm'), t(300, 't');
    const char *const l = m.c_str(), *const s = t.c_str();
    EXPECT_EQ(logFilter(3, l, l, l, 5, l, "lost\n"), 8191);
    EXPECT_EQ(rec.last(), modelPrefix(optionsOf(kStable), 3, l, l, l, 5, l).substr(0, 8190) + "l");
    std::vector<char> buffer(16384);
    EXPECT_EQ(Infra_logOptionControl(buffer.data(), 1000, 3, s, s, s, 5, s, nullptr), 999);
    EXPECT_EQ(buffer.data(), modelPrefix(optionsOf(kStable), 3, s, s, s, 5, s).substr(0, 999));
}

TEST_F(LogApi, PlainCallsWriteTheFileNameAfterTheLastSeparatorToStandardOutput) {
    setPrintOptions(optionsOf(kBare & ~(1u << 7)));
    // Pairs: the file given, the name shown.
    const char* const names[] = {
        "/src/a.cpp", "a.cpp",   "a\\b\\s.cpp", "s.cpp", "a/b\\c/d.cpp", "d.cpp",
        "d\\f.cpp\\", "f.cpp\\", "logs/",       "logs/", "\\",           "\\",
        "",           "",        nullptr,       ""};
    for (std::size_t i = 0; i < 16; i += 2) {
        logFilter(3, "m", names[i], "fn", 4, "v", "x\n");
        testing::internal::CaptureStdout();
        EXPECT_EQ(Infra_logFilter(3, "m", names[i], "fn", 4, "v", "x%d\n", 1),
                  int(std::strlen(names[i + 1])) + 4);
        EXPECT_EQ(rec.last() + testing::internal::GetCapturedStdout(),
                  std::string(names[i + 1]) + " x\n" + names[i + 1] + " x1\n");
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(Infra_logFilter(4, "m", "f", "g", 1, "v", "hidden\n") + Infra_print(3, nullptr), 0);
    EXPECT_GE(Infra_print(3, "direct\n"), 0);
    setLogPrinter(TFunction1<void, const char*>());  // an empty printer: the console again
    logWarn("console\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "direct\nconsole\n");
    EXPECT_EQ(rec.lines().size(), 8u);
}

TEST_F(LogApi, LevelCallsAndLibNameFillTheirFixedFields) {
    setPrintLogLevel(6);
    const int lengths = logFatal("1\n") + logError("2\n") + logWarn("3\n") + logInfo("4\n") +
                        logTrace("5\n") + logDebug("6\n") + ::logError("7\n");
    EXPECT_EQ(logLibName(0, "lib", "x\n") + logLibName(7, "lib", "x\n"), 0);
    EXPECT_EQ(logLibName(6, "lib", "y\n"), 22);
    setPrintLogLevel(3);
    EXPECT_EQ(logLibName(4, "lib", "x\n"), 0);
    std::string all;
    for (const std::string& line : rec.lines()) {
        all += line;
    }
    EXPECT_EQ(all,
              "[Unknown] [ver:] fatal  1\n[Unknown] [ver:] error  "
              "2\n[Unknown] [ver:] warn  3\n"
              "[Unknown] [ver:] info  4\n[Unknown] [ver:] trace  "
              "5\n[Unknown] [ver:] debug  6\n"
              "[Unknown] [ver:] error  7\n[lib] [ver:] debug  y\n");
    EXPECT_EQ(lengths, static_cast<int>(all.size()) - 22);
}

// Which calls show a line after each command: logFilter for modules A and B,
// logWarn, logLibName (level 2), Infra_logFilter (level 1), logInfo and logFilter at level 0.
TEST_F(LogApi, FiltersFollowLevelModuleSwitchesAndTheModuleTable) {
    // "-logmodule on" keeps the table unused; naming a module brings it into force again.
    std::istringstream steps(
        "=> 1111101; -logmodule off => 0011000; -logmodule "
        "ON => 1111101; -logmodule A off => "
        "0111100; -logmodule on => 1111101; -logmodule B On "
        "=> 0111100; -logmodule A on => "
        "1111101; -loglevel 0 => 0000001; -loglevel 1 => "
        "0000101; -loglevel 4 => 1111111; -logmodulelevel A 2 => 0111111; -logmodule A off => "
        "0111110; -logmodule A on => 0111111; -logmodulelevel A 9 => 0111111; -logmodulelevel A "
        "x => 0111111; -logmodulelevel A 0 => 0111111; -logmodulelevel A 6 => 1111111; "
        "-loglevel 2 => 0001101; -logmodulelevel B 3 => 0001101;");
    for (std::string step; std::getline(steps, step, ';');) {
        command(step.substr(0, step.find("=>")));
        testing::internal::CaptureStdout();
        const int shown[] = {logFilter(3, "A", "f", "g", 1, "v", "a\n"),
                             logFilter(3, "B", "f", "g", 1, "v", "b\n"),
                             logWarn("w\n"),
                             logLibName(2, "A", "l\n"),
                             Infra_logFilter(1, "A", "f", "g", 1, "v", "p\n"),
                             logInfo("i\n"),
                             logFilter(0, "A", "f", "g", 1, "v", "z\n")};
        testing::internal::GetCapturedStdout();
        std::string got;
        for (int length : shown) {
            got += length > 0 ? '1' : '0';
        }
        EXPECT_EQ(got, step.substr(step.find("=>") + 3)) << step;
    }
}
TEST_F(LogApi, AModuleLevelNeedsAModuleAndALevelFromZeroToSix) {
    testing::internal::CaptureStdout();
    EXPECT_FALSE(setLogModuleLevel(nullptr, 3) || setLogModuleLevel("A", -1) ||
                 setLogModuleLevel("A", 7));
    command("-logmodulelevel A 7");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "logfilter -logmodulelevel: 7 is not a level from 0 to 6; the setting is kept\n");
    EXPECT_GT(logFilter(3, "A", "f", "g", 1, "v", "a\n"), 0);  // the table is still unused
    EXPECT_TRUE(setLogModuleLevel("A", 2));
    EXPECT_EQ(logFilter(3, "A", "f", "g", 1, "v", "a\n"), 0);
    setLogModuleLevel("A", 6);
}

TEST_F(LogApi, APartialLineGetsOnePrefixWhicheverCallEndsIt) {
    logWarn("first ");
    logError("second ");
    char buffer[64] = "untouched";
    SystemTimeEx t{};
    EXPECT_EQ(Infra_logOptionControl(buffer, sizeof buffer, 3, "m", "f", "g", 1, "v", &t), 0);
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_TRUE(t.year > 1970 && t.month >= 1 && t.month <= 12 && t.day >= 1) << t.year;
    logFilter(2, "m", "f", "g", 1, "v", "third\n");
    EXPECT_EQ(logWarn("%s", std::string(10000, 'x').c_str()),
              8191);  // cut: complete
    logFilter(3, nullptr, nullptr, nullptr, 3, nullptr, "n\n");
    EXPECT_EQ(logFilter(3, "m", "f", "g", 1, "v", nullptr), 23);
    logWarn("\n");
    const std::string prefix = "[Unknown] [ver:] warn  ";
    EXPECT_EQ(rec.lines(), (Lines{prefix + "first ", "second ", "third\n",
                                  (prefix + std::string(8191, 'x')).substr(0, 8191),
                                  "[] [ver:] warn   3 n\n", "[m] [ver:v] warn f g 1 ", "\n"}));
}

TEST_F(LogApi, StatisticsCountTheBytesOfEachNamedModuleWhileOn) {
    logFilter(3, "statsA", "f", "g", 1, "v", "before\n");
    command("-logmodulestatistics on");
    const int a = logFilter(3, "statsA", "f", "g", 1, "v", "12345\n") +
                  logFilter(3, "statsA", "f", "g", 1, "v", "x\n");
    const int b = logLibName(3, "statsB", "y\n");
    logFilter(3, "", "f", "g", 1, "v", "empty names are not counted\n");
    logFilter(3, nullptr, "f", "g", 1, "v", "nor missing ones\n");
    logFilter(4, "statsA", "f", "g", 1, "v", "hidden lines are not counted\n");
    command("-logmodulestatistics off");
    logFilter(3, "statsA", "f", "g", 1, "v", "switched off\n");
    const auto s = getLogStatistics();
    EXPECT_EQ(s.at("statsA").bytes, static_cast<std::uint64_t>(a));
    EXPECT_EQ(s.at("statsB").bytes, static_cast<std::uint64_t>(b));
    EXPECT_EQ(s.count(""), 0u);
}

TEST_F(LogApi, HexDumpShowsSixteenBytesALineAndAnEmptyLineEvery512) {
    setPrintLogLevel(5);
    std::vector<unsigned char> data(1024, 'a');
    for (int i = 0; i < 20; ++i) {
        data[i] = static_cast<unsigned char>(i == 3 ? '{' : i < 16 ? 'A' + i : 120 + i);
    }
    dumpHex(data.data(), 20);
    char at[2][32];
    for (int i = 0; i < 2; ++i) {
        std::snprintf(at[i], 32, "%p: ", static_cast<void*>(data.data() + 16 * i));
    }
    const std::string p = "[Unknown] [ver:] trace  ";
    EXPECT_EQ(rec.lines(), (Lines{p + at[0] +
                                      "41 42 43 7b 45 46 47 48 49 4a 4b 4c 4d 4e "
                                      "4f 50   ABC.EFGHIJKLMNOP\n",
                                  p + at[1] + "88 89 8a 8b " + std::string(36, ' ') + "  ....\n"}));
    rec.clear();
    dumpHex(data.data(), 1024);
    dumpHex(data.data(),
            31 * 16 + 4);  // a short 32nd line is not a full 512 bytes
    setPrintLogLevel(4);
    dumpHex(data.data(), 1024);
    const Lines lines = rec.lines();
    ASSERT_EQ(lines.size(), 66u + 32u);
    EXPECT_EQ(lines[32] + lines[65], p + "\n" + p + "\n");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), p + "\n"), 2);
}

TEST_F(LogSinks, AttachedOnceCalledOncePerLineAndEmptyOnesRefused) {
    std::vector<Recorder> sinks(20);
    EXPECT_TRUE(attachPrint(sinks[0].asSink()));
    EXPECT_FALSE(attachPrint(sinks[0].asSink()));
    Recorder* volatile hidden = nullptr;  // no compiler sees a constant null object
    EXPECT_FALSE(attachPrint(TFunction1<bool, const char*>(hidden, &Recorder::sink)));
    EXPECT_FALSE(attachPrint(TFunction1<bool, const char*>()));
    logWarn("one\n");
    std::thread([] { logWarn("two\n"); }).join();
    EXPECT_EQ(sinks[0].lines(), rec.lines());
    EXPECT_EQ(rec.lines().size(), 2u);
    EXPECT_TRUE(detachPrint(sinks[0].asSink()));
    EXPECT_FALSE(detachPrint(sinks[0].asSink()) || detachPrint(TFunction1<bool, const char*>()));
    for (std::size_t count : {4, 5, 17, 0}) {  // a few are copied per thread, many under a lock
        for (std::size_t i = 0; i < sinks.size(); ++i) {
            detachPrint(sinks[i].asSink());
            sinks[i].clear();
            if (i < count) {
                attachPrint(sinks[i].asSink());
            }
        }
        logWarn("line for %zu sinks\n", count);
        for (std::size_t i = 0; i < sinks.size(); ++i) {
            EXPECT_EQ(sinks[i].lines().size(), i < count ? 1u : 0u) << i << " of " << count;
        }
    }
}

// Sinks with levels of their own, few (copied per thread) and many (copied under a lock): each
// receives the shown lines at or below its level, and nothing the print level hides.
TEST_F(LogSinks, ASinksLevelNarrowsWhatItReceives) {
    std::vector<Recorder> sinks(18);
    for (std::size_t count : {std::size_t(3), sinks.size()}) {
        for (std::size_t i = 0; i < count; ++i) {
            sinks[i].clear();
            EXPECT_TRUE(attachPrint(sinks[i].asSink(), static_cast<int>(i % 8)));
        }
        EXPECT_FALSE(attachPrint(sinks[0].asSink(), 6));  // attached: keeps its level
        for (int print : {6, 3}) {
            setPrintLogLevel(print);
            for (int level = 1; level <= 6; ++level) {
                logLibName(level, "L", "%d\n", level);
            }
        }
        for (std::size_t i = 0; i < count; ++i) {
            std::string got;
            for (const std::string& line : sinks[i].lines()) {
                got += line.substr(line.size() - 2, 1);
            }
            const int own = static_cast<int>(i % 8);
            const std::string want = std::string("123456").substr(0, std::min(own, 6)) +
                                     std::string("123").substr(0, std::min(own, 3));
            EXPECT_EQ(got, want) << i << " of " << count;
            detachPrint(sinks[i].asSink());
        }
    }
}

// Detaches itself and attaches `next` at its first call, and logs a line of its own meanwhile.
struct ReentrantSink {
    Recorder seen;
    Recorder* next = nullptr;
    bool call(const char* line) {
        seen.print(line);
        if (seen.lines().size() == 1) {
            logWarn("from inside a sink\n");
            detachPrint(TFunction1<bool, const char*>(this, &ReentrantSink::call));
            attachPrint(next->asSink());
        }
        return true;
    }
};

TEST_F(LogSinks, MayLogAttachAndDetachWhileCalledAndChangesReachOtherThreads) {
    Recorder second, next, other;
    ReentrantSink first;
    first.next = &next;
    attachPrint(TFunction1<bool, const char*>(&first, &ReentrantSink::call));
    attachPrint(second.asSink());
    logWarn("outer\n");
    logWarn("after\n");
    std::thread([&] {
        detachPrint(second.asSink());
        attachPrint(other.asSink());
        setLogPrinter(TFunction1<void, const char*>(&ignoreLine));
    }).join();
    logWarn("last\n");
    detachPrint(next.asSink());
    detachPrint(other.asSink());
    // The nested line reaches every sink while the first one handles the outer line.
    const std::string p = "[Unknown] [ver:] warn  ";
    EXPECT_EQ(first.seen.lines(), (Lines{p + "outer\n", p + "from inside a sink\n"}));
    EXPECT_EQ(second.lines(), (Lines{p + "from inside a sink\n", p + "outer\n", p + "after\n"}));
    EXPECT_EQ(next.lines(), (Lines{p + "after\n", p + "last\n"}));
    EXPECT_EQ(other.lines(), Lines{p + "last\n"});
    EXPECT_EQ(rec.lines().size(), 3u);
}

}  // namespace

namespace Outer {
namespace Inner {

template <class T>
struct Reporter {
    void report(T value) const {
        INFRA_DIAG_THIS(Tovix::Infra::Detail::kLevelWarn, "value %d\n", static_cast<int>(value));
    }
    // The compiler spells it "int (* Outer::Inner::Reporter<T>::find(int))(int) ...".
    static int (*find(int))(int) {
        INFRA_DIAG_PLAIN(Tovix::Infra::Detail::kLevelError, "find\n");
        return nullptr;
    }
};

}  // namespace Inner
}  // namespace Outer

TEST_F(LogApi, LibraryDiagnosticsNameTheQualifiedFunction) {
    setPrintOptions(optionsOf(kStable | 1u << 8));
    Outer::Inner::Reporter<long>().report(5);
    Outer::Inner::Reporter<long>::find(1);
    INFRA_DIAG(Tovix::Infra::Detail::kLevelInfo, "hidden at the start level\n");
    ASSERT_EQ(rec.lines().size(), 2u);
    EXPECT_TRUE(std::regex_match(
        rec.lines()[0], std::regex("\\[Unknown\\] \\[ver:Unknown\\] warn PrintLogTest\\.cpp "
                                   "Outer::Inner::"
                                   "Reporter<T>::report \\[.*PrintLogTest\\.cpp:\\d+\\] "
                                   "this:(0x)?[0-9a-f]+ "
                                   "tid:\\d+, value 5\n")))
        << rec.lines()[0];
    EXPECT_EQ(rec.last(),
              "[Unknown] [ver:Unknown] error PrintLogTest.cpp "
              "Outer::Inner::Reporter<T>::find find\n");
}

#if !defined(_WIN32)  // Windows has no fork: a new process always starts a new thread.
TEST_F(LogApi, ForkedChildShowsItsOwnThreadId) {
    // The thread id is cached per thread; a forked child runs the same thread under a new id.
    setPrintOptions(optionsOf(kStable & ~(1u << 4)));
    logWarn("parent\n");
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        char buffer[256];
        Infra_logOptionControl(buffer, sizeof buffer, 3, "m", "f", "g", 1, "v", nullptr);
        const char* t = std::strstr(buffer, "tid:");
        _exit(t != nullptr && std::atol(t + 4) == static_cast<long>(::syscall(SYS_gettid)) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
#endif
