// The log file writer: path preparation, mode none, rotation by size and by
// day, rotated names, pruning, concurrent writers and failures. Each test
// leaves the writer as a fresh process has it (the first write after start is once per process).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "infra/PrintLog.h"
#include "infra3/logfile/LogFile.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using namespace Tovix::Infra;
using namespace TestSupport;
using Names = std::vector<std::string>;

namespace {

SystemTime date(int year, int month, int day, int second = 0) {
    return SystemTime{year, month, day, 0, 12, 0, second, -1};
}

int writeLine(const std::string& line, const SystemTime& when = date(2013, 5, 7)) {
    return Detail::logFileWrite(line.c_str(), static_cast<int>(line.size()), when);
}

Names listing(const std::string& dir) {
    Names names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

#if !defined(_WIN32)
int openDescriptors() {
    int count = 0;
    std::error_code error;
    for (fs::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error)) {
        ++count;
    }
    return error ? -1 : count;
}
#endif

void ignoreLine(const char*) {}
bool ignoreSink(const char*) {
    return true;
}

const std::string kBig(1100, 'r');  // over a limit of 1 KB

class LogFile : public ::testing::Test {
protected:
    void TearDown() override {
        Detail::logFileRestart();
        TestSupport::logFilter({"-logsavesetting", "byday", "off", "0"});
        TestSupport::logFilter({"-logsavesetting", "none"});
        TestSupport::logFilter({"-logsize", "0"});
        TestSupport::logFilter({"-logpath", ""});
        setPrintOptions(PrintOptions{});
        setLogPrinter(TFunction1<void, const char*>());
    }
    TempDir dir;
};

}  // namespace

TEST_F(LogFile, PathEndingInASeparatorIsRefusedAndABareNameIsInTheCurrentDirectory) {
    for (const char* refused : {"/tmp/somewhere/", "C:\\logs\\"}) {
        testing::internal::CaptureStdout();
        TestSupport::logFilter({"-logpath", refused});
        EXPECT_NE(testing::internal::GetCapturedStdout().find("]logDir is invalid\n"),
                  std::string::npos);
        EXPECT_STREQ(Detail::logFileGetPath(), "");
        EXPECT_EQ(writeLine("x\n"), -1);
    }
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    TestSupport::logFilter({"-logpath", "app.log"});
    EXPECT_STREQ(Detail::logFileGetPath(), "./app.log");
    TestSupport::logFilter({"-logsavesetting", "bysize", "1", "0"});
    // 512 + 512 = 1024 bytes reach the limit exactly: the third line begins a new file.
    const std::string block(511, 'b');
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(writeLine(block + char('0' + i)), 0);
    }
    logCleanup();
    fs::current_path(previous);
    EXPECT_EQ(listing(dir.path()), (Names{"app.log", "app.log_2013-05-07_0", "app.log_2013-05-07_1",
                                          "app.log_2013-05-07_2"}));
    EXPECT_EQ(readFile(dir / "app.log_2013-05-07_0"), block + "0" + block + "1");
    EXPECT_EQ(readFile(dir / "app.log_2013-05-07_2"), block + "4" + block + "5");
    EXPECT_EQ(readFile(dir / "app.log"), block + "6");
}

// Mode none counts the bytes of the file (from zero at start and after a
// restart, from its size when it existed), empties it at the limit, keeps every
// line with no limit, never rotates.
TEST_F(LogFile, ModeNoneCountsTheFileEmptiesItAtTheLimitAndNeverRotates) {
    const std::string block(1023, 'z');
    for (const char* name : {"fresh.log", "restarted.log", "existing.log"}) {
        if (name[0] == 'e') {
            writeFile(dir / name, block.substr(0, 1000));
            TestSupport::logFilter({"-logsavesetting", "byday", "on", "0"});
            TestSupport::logFilter({"-logsavesetting", "none"});  // the by-day switch stays on
        }
        TestSupport::logFilter({"-logpath", dir / name});
        TestSupport::logFilter({"-logsize", "1"});
        EXPECT_EQ(writeLine(name[0] == 'e' ? std::string(23, 'z') : block, date(2020, 1, 1)), 0);
        EXPECT_EQ(writeLine("b\n", date(2020, 1, 2)),
                  0);  // 1023 bytes before it: kept
        EXPECT_EQ(readFile(dir / name), block + "b\n");
        EXPECT_EQ(writeLine("c\n", date(2020, 1, 3)),
                  0);  // 1025 bytes: emptied first
        EXPECT_EQ(readFile(dir / name), "c\n");
        Detail::logFileRestart();
    }
    TestSupport::logFilter({"-logsize", "0"});
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(writeLine(std::string(300, 'k') + "\n"), 0);
    }
    EXPECT_EQ(readFile(dir / "existing.log").size(), 2u + 5 * 301);
    EXPECT_EQ(listing(dir.path()), (Names{"existing.log", "fresh.log", "restarted.log"}));
}

TEST_F(LogFile, ByDayRenamesWithTheFilesDateAtTheFirstLineOfANewDay) {
    const std::string path = dir / "day.log";
    TestSupport::logFilter({"-logpath", path});
    TestSupport::logFilter({"-logsavesetting", "byday", "off", "0"});
    EXPECT_EQ(writeLine("sunday\n", date(2013, 5, 5)), 0);
    EXPECT_EQ(writeLine("monday 1\n", date(2013, 5, 6)),
              0);  // by day off: one file
    EXPECT_EQ(listing(dir.path()), Names{"day.log"});
    TestSupport::logFilter({"-logsavesetting", "byday", "on", "0"});
    EXPECT_EQ(writeLine("monday 2\n", date(2013, 5, 6)), 0);
    EXPECT_EQ(writeLine("monday 3\n", date(2013, 5, 6)), 0);
    EXPECT_EQ(writeLine("tuesday\n", SystemTime{2013, 5, 7, 2, 0, 0, 0, -1}),
              0);  // midnight
    EXPECT_EQ(writeLine("wednesday\n", date(2013, 5, 8)), 0);
    logCleanup();
    EXPECT_EQ(readFile(path + "_2013-05-05_0"), "sunday\nmonday 1\n");
    EXPECT_EQ(readFile(path + "_2013-05-06_0"), "monday 2\nmonday 3\n");
    EXPECT_EQ(readFile(path + "_2013-05-07_0"), "tuesday\n");
    EXPECT_EQ(readFile(path), "wednesday\n");
}

TEST_F(LogFile, AFileReopenedByALineIsNotRotatedByThatLine) {
    TestSupport::logFilter({"-logpath", dir / "reopen.log"});
    TestSupport::logFilter({"-logsavesetting", "bysize", "1", "0"});
    EXPECT_EQ(writeLine(kBig), 0);
    logCleanup();
    EXPECT_EQ(writeLine("x\n") + writeLine("y\n"), 0);
    EXPECT_EQ(readFile(dir / "reopen.log_2013-05-07_0"), kBig + "x\n");
    EXPECT_EQ(readFile(dir / "reopen.log"), "y\n");
    EXPECT_EQ(listing(dir.path()).size(), 2u);
}

// A file found at start takes the next number of the first line's date. Pruning
// counts and removes only the log's own copies, the oldest by date and then by
// sequence number (copies rotated within one second share their time), whatever the file times say.
TEST_F(LogFile, PruningRemovesOnlyItsOwnCopiesOldestDateThenSequenceFirst) {
    const std::string path = dir / "odd%s%n%d.log";  // the path is never a format
    const auto now = fs::file_time_type::clock::now();
    const std::map<std::string, int> hoursAgo = {{"", 1},
                                                 {".db", 99},
                                                 {"_2013-04-01_0.bak", 99},
                                                 {"_2013-4-01_0", 99},
                                                 {"_20130-05-07_0", 99},
                                                 {"_2013-05-07_x", 99},
                                                 {"_2013-05-01_10", 2},
                                                 {"_2013-05-01_9", 2},
                                                 {"_2013-05-07_5", 99}};
    for (const auto& [suffix, hours] : hoursAgo) {
        writeFile(path + suffix, "old " + suffix);
        fs::last_write_time(path + suffix, now - std::chrono::hours(hours));
    }
    TestSupport::logFilter({"-logpath", path});
    TestSupport::logFilter({"-logsavesetting", "bysize", "1", "4"});
    EXPECT_EQ(writeLine("new\n"), 0);  // four copies are not too many
    EXPECT_EQ(readFile(path + "_2013-05-07_6"), "old ");
    EXPECT_EQ(listing(dir.path()).size(), 10u);
    EXPECT_EQ(writeLine(kBig), 0);
    EXPECT_EQ(writeLine("rotates\n"), 0);  // five are
    EXPECT_EQ(listing(dir.path()).size(), 10u);
    EXPECT_FALSE(fs::exists(path + "_2013-05-01_9"));
    EXPECT_EQ(readFile(path + "_2013-05-07_7"), "new\n" + kBig);
}

// Eight threads log through the log API into a 1 KB rotating file while sinks
// come and go: every line appears exactly once, whole, in the active file or a
// rotated one; none with the option off.
TEST_F(LogFile, RotationUnderConcurrentLinesNeverLosesOrSplitsALine) {
    setLogPrinter(TFunction1<void, const char*>(&ignoreLine));
    TestSupport::logFilter({"-logpath", dir / "busy.log"});
    TestSupport::logFilter({"-logsavesetting", "bysize", "1", "0"});
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t] {
            const TFunction1<bool, const char*> sink(&ignoreSink);
            for (int i = 0; i < 400; ++i) {
                i % 2 ? detachPrint(sink) : attachPrint(sink);
                logWarn("<line %d-%d payload payload payload>\n", t, i);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    PrintOptions options{};
    options.noLogFile = true;
    setPrintOptions(options);
    logWarn("<not in the file>\n");
    logCleanup();
    std::map<std::string, int> seen;
    const Names files = listing(dir.path());
    for (const std::string& name : files) {
        std::istringstream text(readFile(dir / name));
        for (std::string line; std::getline(text, line);) {
            const auto open = line.find("<line ");
            ASSERT_NE(open, std::string::npos) << name << ": " << line;
            ASSERT_EQ(line.compare(line.size() - 25, 25, " payload payload payload>"), 0) << line;
            ++seen[line.substr(open, line.find(' ', open + 6) - open)];
        }
    }
    EXPECT_GT(files.size(), 10u);
    EXPECT_EQ(seen.size(), 3200u);
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(), [](auto& s) { return s.second != 1; }), 0);
}

#if !defined(_WIN32)
// (Windows refuses to remove a file the writer holds open, so the directory cannot go.)
TEST_F(LogFile, ADirectoryThatDisappearsFailsLinesUntilItIsBack) {
    const std::string logDir = dir / "logs", path = logDir + "/gone.log";
    fs::create_directories(logDir);
    TestSupport::logFilter({"-logpath", path});
    const int descriptorsBefore = openDescriptors();
    EXPECT_EQ(writeLine("kept 1\n", date(2013, 5, 7, 1)), 0);
    EXPECT_EQ(writeLine("kept 2\n", date(2013, 5, 7, 1)), 0);
    fs::remove_all(logDir);
    testing::internal::CaptureStdout();
    // The removal is noticed at the first line of the next second.
    EXPECT_EQ(writeLine("lost 1\n", date(2013, 5, 7, 2)), -1);
    EXPECT_EQ(writeLine("lost 2\n", date(2013, 5, 7, 2)), -1);
    fs::create_directories(logDir);
    EXPECT_EQ(writeLine("back\n", date(2013, 5, 7, 2)), 0);
    EXPECT_EQ(readFile(path), "back\n");
    // A rotation due while the directory is gone: the rename fails, and so does the new file.
    TestSupport::logFilter({"-logsavesetting", "bysize", "1", "0"});
    EXPECT_EQ(writeLine(kBig, date(2013, 5, 7, 2)), 0);
    fs::remove_all(logDir);
    EXPECT_EQ(writeLine("lost 3\n", date(2013, 5, 7, 2)), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("]rename faild,errno:"), std::string::npos) << out;
    EXPECT_NE(out.find("]fopen faild,errno:"), std::string::npos) << out;
    fs::create_directories(logDir);
    EXPECT_EQ(writeLine("back 2\n", date(2013, 5, 7, 2)), 0);
    EXPECT_EQ(readFile(path), "back 2\n");
    logCleanup();
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
}
#endif
