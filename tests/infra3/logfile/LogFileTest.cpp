// The log file writer: path preparation, mode none, rotation by size and by day, rotated names,
// pruning, concurrent writers and a directory that disappears. Each test runs in a process of
// its own (the first write after start is once per process).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "infra/PrintLog.h"
#include "infra3/logfile/LogFile.h"

namespace fs = std::filesystem;
using Tovix::Infra::SystemTime;
using Tovix::Infra::Detail::logFileGetPath;
using Tovix::Infra::Detail::logFileWrite;

namespace {

class TempDir {
public:
    TempDir() {
        std::random_device random;
        m_path = fs::temp_directory_path() /
                 ("infra-logfile-" + std::to_string(random()) + "-" + std::to_string(random()));
        fs::create_directories(m_path);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    // With '/' separators on every system: the log path names its directory up to the last '/'.
    std::string file(const std::string& name) const { return (m_path / name).generic_string(); }
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

void filter(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& w : words) {
        argv.push_back(w.data());
    }
    Tovix::Infra::setLogFilter(static_cast<int>(argv.size()), argv.data());
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

SystemTime date(int year, int month, int day) {
    return SystemTime{year, month, day, 0, 12, 0, 0, -1};
}

int writeLine(const std::string& line, const SystemTime& when) {
    return logFileWrite(line.c_str(), static_cast<int>(line.size()), when);
}

// Names in the directory, sorted.
std::vector<std::string> listing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Silences the console while lines are logged through the log API.
class QuietConsole {
public:
    QuietConsole() {
        Tovix::Infra::setLogPrinter(
            Tovix::Infra::TFunction1<void, const char*>(this, &QuietConsole::print));
    }
    ~QuietConsole() { Tovix::Infra::setLogPrinter(Tovix::Infra::TFunction1<void, const char*>()); }
    void print(const char*) {}
};

// Every scenario starts as a fresh process would, also when the tests share one process.
struct Restart : testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override {
        Tovix::Infra::Detail::logFileRestart();
        filter({"-logsavesetting", "byday", "off", "0"});
        filter({"-logsavesetting", "none"});
        filter({"-logsize", "0"});
        filter({"-logpath", ""});
    }
};

const bool g_restartRegistered = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new Restart);
    return true;
}();

int openDescriptors() {
#if defined(_WIN32)
    // Under Wine the path shows the emulator's own descriptors, which come and go by themselves.
    return -1;
#else
    std::error_code error;
    int count = 0;
    for (fs::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
         it.increment(error)) {
        ++count;
    }
    return error ? -1 : count;
#endif
}

}  // namespace

TEST(LogFilePath, EndingInSeparatorIsRefused) {
    testing::internal::CaptureStdout();
    filter({"-logpath", "/tmp/somewhere/"});
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("]logDir is invalid\n"), std::string::npos) << out;
    EXPECT_STREQ(logFileGetPath(), "");
    EXPECT_EQ(writeLine("x\n", date(2013, 5, 7)), -1);

    filter({"-logpath", "C:\\logs\\"});
    EXPECT_STREQ(logFileGetPath(), "");
}

TEST(LogFilePath, BareNameIsInTheCurrentDirectoryAndRotatesThere) {
    TempDir dir;
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    filter({"-logpath", "app.log"});
    EXPECT_STREQ(logFileGetPath(), "./app.log");
    filter({"-logsavesetting", "bysize", "1", "0"});
    const std::string line(600, 'a');
    EXPECT_EQ(writeLine(line + "\n", date(2013, 5, 7)), 0);
    EXPECT_EQ(writeLine(line + "\n", date(2013, 5, 7)), 0);
    EXPECT_EQ(writeLine("third\n", date(2013, 5, 7)), 0);  // 1202 bytes found: rotate first
    Tovix::Infra::logCleanup();
    fs::current_path(previous);
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"app.log", "app.log_2013-05-07_0"}));
    EXPECT_EQ(readFile(dir.file("app.log")), "third\n");
    EXPECT_EQ(readFile(dir.file("app.log_2013-05-07_0")).size(), 2 * (line.size() + 1));
}

TEST(LogFileModeNone, CountsTheExistingFileAndEmptiesItAtTheLimit) {
    TempDir dir;
    const std::string path = dir.file("none.log");
    writeFile(path, std::string(1000, 'x'));
    filter({"-logpath", path});
    filter({"-logsize", "1"});
    EXPECT_EQ(writeLine("first\n", date(2020, 1, 1)), 0);  // 1000 < 1024: appended
    EXPECT_EQ(readFile(path), std::string(1000, 'x') + "first\n");
    EXPECT_EQ(writeLine(std::string(20, 'y') + "\n", date(2020, 1, 1)), 0);  // 1006: appended
    EXPECT_EQ(writeLine("after\n", date(2020, 1, 1)), 0);  // 1027 >= 1024: emptied first
    EXPECT_EQ(readFile(path), "after\n");
    EXPECT_EQ(listing(dir.path()), std::vector<std::string>{"none.log"});
}

TEST(LogFileModeNone, ZeroLimitKeepsEveryLine) {
    TempDir dir;
    const std::string path = dir.file("all.log");
    filter({"-logpath", path});
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(writeLine("line " + std::to_string(i) + "\n", date(2020, 1, 1)), 0);
    }
    EXPECT_EQ(readFile(path), "line 0\nline 1\nline 2\nline 3\nline 4\n");
}

TEST(LogFileRotation, BySizeRenamesAtTheLimitAndNumbersInSequence) {
    TempDir dir;
    const std::string path = dir.file("size.log");
    filter({"-logpath", path});
    filter({"-logsavesetting", "bysize", "1", "0"});
    const std::string block(511, 'b');
    const SystemTime day = date(2013, 5, 7);
    // 512 + 512 = 1024 bytes reach the limit exactly: the third line begins a new file.
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(writeLine(block + char('0' + i), day), 0);
    }
    Tovix::Infra::logCleanup();
    EXPECT_EQ(listing(dir.path()),
              (std::vector<std::string>{"size.log", "size.log_2013-05-07_0",
                                        "size.log_2013-05-07_1", "size.log_2013-05-07_2"}));
    EXPECT_EQ(readFile(path + "_2013-05-07_0"), block + "0" + block + "1");
    EXPECT_EQ(readFile(path + "_2013-05-07_2"), block + "4" + block + "5");
    EXPECT_EQ(readFile(path), block + "6");
}

TEST(LogFileRotation, SequenceContinuesAfterTheLargestNumberOfThatDate) {
    TempDir dir;
    const std::string path = dir.file("seq.log");
    writeFile(path + "_2013-05-07_0", "old\n");
    writeFile(path + "_2013-05-07_5", "old\n");
    writeFile(path + "_2013-05-08_9", "other day\n");
    writeFile(path + "_2013-05-07_x", "not a number\n");
    writeFile(path, "existing\n");
    filter({"-logpath", path});
    filter({"-logsavesetting", "bysize", "1", "0"});
    // The first write renames the existing file with the line's date.
    EXPECT_EQ(writeLine("new\n", date(2013, 5, 7)), 0);
    EXPECT_EQ(readFile(path + "_2013-05-07_6"), "existing\n");
    EXPECT_EQ(readFile(path), "new\n");
}

TEST(LogFileRotation, PathWithPercentSignsIsNotAFormat) {
    TempDir dir;
    const std::string path = dir.file("odd%s%n%d.log");
    writeFile(path + "_2013-05-07_3", "old\n");
    writeFile(path, "existing\n");
    filter({"-logpath", path});
    filter({"-logsavesetting", "bysize", "1", "0"});
    EXPECT_EQ(writeLine("new\n", date(2013, 5, 7)), 0);
    EXPECT_EQ(readFile(path + "_2013-05-07_4"), "existing\n");
}

TEST(LogFileRotation, ByDayRenamesWithThePreviousDateAtTheFirstLineOfTheNewDay) {
    TempDir dir;
    const std::string path = dir.file("day.log");
    filter({"-logpath", path});
    filter({"-logsavesetting", "byday", "on", "0"});
    EXPECT_EQ(writeLine("monday 1\n", date(2013, 5, 6)), 0);
    EXPECT_EQ(writeLine("monday 2\n", date(2013, 5, 6)), 0);
    EXPECT_EQ(listing(dir.path()), std::vector<std::string>{"day.log"});
    SystemTime midnight{2013, 5, 7, 0, 0, 0, 0, -1};
    EXPECT_EQ(writeLine("tuesday\n", midnight), 0);
    EXPECT_EQ(writeLine("wednesday\n", date(2013, 5, 8)), 0);
    Tovix::Infra::logCleanup();
    EXPECT_EQ(readFile(path + "_2013-05-06_0"), "monday 1\nmonday 2\n");
    EXPECT_EQ(readFile(path + "_2013-05-07_0"), "tuesday\n");
    EXPECT_EQ(readFile(path), "wednesday\n");
}

TEST(LogFileRotation, ByDayOffKeepsOneFileAcrossDays) {
    TempDir dir;
    const std::string path = dir.file("nodays.log");
    filter({"-logpath", path});
    filter({"-logsavesetting", "byday", "off", "0"});
    EXPECT_EQ(writeLine("a\n", date(2013, 5, 6)), 0);
    EXPECT_EQ(writeLine("b\n", date(2013, 5, 7)), 0);
    EXPECT_EQ(listing(dir.path()), std::vector<std::string>{"nodays.log"});
    EXPECT_EQ(readFile(path), "a\nb\n");
}

TEST(LogFileRotation, ModeNoneAppendsToAnExistingFileAtStart) {
    TempDir dir;
    const std::string path = dir.file("keep.log");
    writeFile(path, "before\n");
    filter({"-logpath", path});
    EXPECT_EQ(writeLine("after\n", date(2013, 5, 7)), 0);
    EXPECT_EQ(readFile(path), "before\nafter\n");
}

TEST(LogFilePruning, RemovesOnlyItsOwnCopiesOldestDateThenSequenceFirst) {
    TempDir dir;
    const std::string path = dir.file("prune.log");
    const auto now = fs::file_time_type::clock::now();
    // Files that merely start with the log path are the user's, however old they are.
    for (const char* suffix : {".db", ".conf", "_2013-04-01_0.bak", "_2013-4-01_0"}) {
        writeFile(path + suffix, "user\n");
        fs::last_write_time(path + suffix, now - std::chrono::hours(100));
    }
    // Copies rotated within one second share their time: the sequence number orders them, as a
    // number (9 before 10), and the date before it whatever the file times say.
    const std::vector<std::pair<std::string, int>> rotated = {
        {"_2013-05-01_10", 2}, {"_2013-05-01_9", 2}, {"_2013-05-02_0", 30}};
    for (const auto& [suffix, hoursAgo] : rotated) {
        writeFile(path + suffix, suffix + "\n");
        fs::last_write_time(path + suffix, now - std::chrono::hours(hoursAgo));
    }
    filter({"-logpath", path});
    filter({"-logsavesetting", "bysize", "1", "3"});
    const std::string block(1023, 'p');
    const SystemTime day = date(2013, 5, 7);
    for (int rotation = 0; rotation < 2; ++rotation) {
        EXPECT_EQ(writeLine(block + "\n", day), 0);
        EXPECT_EQ(writeLine("rotates\n", day), 0);  // four rotated files: one too many
    }
    EXPECT_EQ(listing(dir.path()),
              (std::vector<std::string>{"prune.log", "prune.log.conf", "prune.log.db",
                                        "prune.log_2013-04-01_0.bak", "prune.log_2013-05-02_0",
                                        "prune.log_2013-05-07_0", "prune.log_2013-05-07_1",
                                        "prune.log_2013-4-01_0"}));
}

TEST(LogFilePruning, ZeroMaximumNeverDeletes) {
    TempDir dir;
    const std::string path = dir.file("many.log");
    filter({"-logpath", path});
    filter({"-logsavesetting", "bysize", "1", "0"});
    const std::string block(1023, 'm');
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(writeLine(block + "\n", date(2013, 5, 7)), 0);
    }
    EXPECT_EQ(listing(dir.path()).size(), 12u);
}

// Eight threads log through the log API into a 1 KB rotating file: every line appears exactly
// once, whole, in the active file or in one of the rotated ones.
TEST(LogFileConcurrency, RotationNeverLosesOrSplitsALine) {
    TempDir dir;
    const std::string path = dir.file("busy.log");
    QuietConsole quiet;
    filter({"-logpath", path});
    filter({"-logsavesetting", "bysize", "1", "0"});
    constexpr int kThreads = 8;
    constexpr int kLines = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                Tovix::Infra::logWarn("<line %d-%d %s>\n", t, i, "payload payload payload");
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    Tovix::Infra::logCleanup();

    std::map<std::string, int> seen;
    int files = 0;
    for (const std::string& name : listing(dir.path())) {
        ++files;
        std::istringstream text(readFile(dir.file(name)));
        std::string line;
        while (std::getline(text, line)) {
            const auto open = line.find('<');
            const auto close = line.find('>');
            ASSERT_NE(open, std::string::npos) << name << ": " << line;
            ASSERT_NE(close, std::string::npos) << name << ": " << line;
            EXPECT_EQ(line.compare(close - 23, 23, "payload payload payload"), 0) << line;
            ++seen[line.substr(open + 1, line.find(' ', open + 6) - open - 1)];
        }
    }
    EXPECT_GT(files, 10);
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
    for (const auto& [key, count] : seen) {
        EXPECT_EQ(count, 1) << key;
    }
}

#if !defined(_WIN32)
// (Windows refuses to remove a file the writer holds open, so the directory cannot go.)
TEST(LogFileFailures, ADirectoryThatDisappearsFailsLinesUntilItIsBack) {
    TempDir dir;
    const fs::path logDir = dir.path() / "logs";
    fs::create_directories(logDir);
    const std::string path = (logDir / "gone.log").string();
    filter({"-logpath", path});
    const int descriptorsBefore = openDescriptors();
    SystemTime when = date(2013, 5, 7);
    EXPECT_EQ(writeLine("kept 1\n", when), 0);
    EXPECT_EQ(writeLine("kept 2\n", when), 0);
    fs::remove_all(logDir);

    // The removal is noticed at the first line of the next second.
    when.second += 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(writeLine("lost 1\n", when), -1);
    EXPECT_EQ(writeLine("lost 2\n", when), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("]fopen faild,errno:"), std::string::npos) << out;

    fs::create_directories(logDir);
    EXPECT_EQ(writeLine("back\n", when), 0);
    EXPECT_EQ(readFile(path), "back\n");
    Tovix::Infra::logCleanup();
    if (descriptorsBefore >= 0) {
        EXPECT_EQ(openDescriptors(), descriptorsBefore);
    }
}
#endif

TEST(LogFileFailures, CleanupClosesAndTheNextLineReopens) {
    TempDir dir;
    const std::string path = dir.file("reopen.log");
    filter({"-logpath", path});
    const int descriptorsBefore = openDescriptors();
    EXPECT_EQ(writeLine("one\n", date(2013, 5, 7)), 0);
    Tovix::Infra::logCleanup();
    if (descriptorsBefore >= 0) {
        EXPECT_EQ(openDescriptors(), descriptorsBefore);
    }
    EXPECT_EQ(writeLine("two\n", date(2013, 5, 7)), 0);
    EXPECT_EQ(readFile(path), "one\ntwo\n");
}

TEST(LogFileOptions, NoLogFileOptionKeepsLinesOutOfTheFile) {
    TempDir dir;
    const std::string path = dir.file("option.log");
    QuietConsole quiet;
    filter({"-logpath", path});
    Tovix::Infra::logWarn("in the file\n");
    Tovix::Infra::PrintOptions options;
    Tovix::Infra::getPrintOptions(&options);
    options.noLogFile = true;
    Tovix::Infra::setPrintOptions(options);
    Tovix::Infra::logWarn("not in the file\n");
    const std::string text = readFile(path);
    EXPECT_NE(text.find("in the file\n"), std::string::npos);
    EXPECT_EQ(text.find("not in the file"), std::string::npos);
}
