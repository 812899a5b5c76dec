// The typed log-file call and flushing: setLogFile checks the path's directory without creating
// the file, refuses with one line and a last error, sets the same state as the command language,
// and moves the lines to a new path at once; error lines reach a redirected standard output
// without a flush, lower levels with flushLog().
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "infra/Error.h"
#include "infra/PrintLog.h"
#include "infra3/logfile/LogFile.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#if defined(_WIN32)
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define close _close
#else
#include <unistd.h>
#endif

using namespace Tovix::Infra;
using Detail::logFileGetPath;
using Detail::logFileGetSettings;
using TestSupport::readFile;
using TestSupport::TempDir;

namespace {

bool operator==(const Detail::LogFileSettings& a, const Detail::LogFileSettings& b) {
    return a.sizeLimit == b.sizeLimit && a.rotating == b.rotating && a.byDay == b.byDay &&
           a.maxCount == b.maxCount;
}

// Standard output, fully buffered, sent to a file while the object lives. The buffer is never
// freed: the C library may keep using the buffer it was last given.
class RedirectedStdout {
public:
    explicit RedirectedStdout(const std::string& path) {
        static char buffer[1 << 16];
        std::fflush(stdout);
        m_saved = dup(1);
        std::FILE* target = std::fopen(path.c_str(), "wb");
        dup2(fileno(target), 1);
        std::fclose(target);
        std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
        // The first output after a change of buffer may go straight out: make it this one.
        std::fputs("redirected\n", stdout);
        std::fflush(stdout);
    }
    ~RedirectedStdout() {
        std::fflush(stdout);
        dup2(m_saved, 1);
        close(m_saved);
    }

private:
    int m_saved = -1;
};

}  // namespace

TEST(LogFileCall, BadPathsAreRefusedWithOneLineALastErrorAndNothingChanged) {
    TempDir dir;
    const std::string root = std::filesystem::path(dir.path()).generic_string();
    std::filesystem::create_directory(root + "/sub");
    std::FILE* plain = std::fopen((root + "/plain").c_str(), "wb");
    std::fclose(plain);
    TestSupport::logFilter({"-logpath", root + "/kept.log"});
    TestSupport::logFilter({"-logsavesetting", "bysize", "7", "2"});
    const std::string pathBefore = logFileGetPath();
    const Detail::LogFileSettings before = logFileGetSettings();

    struct Case {
        std::string path;
        int error;
        std::string reason;
    };
    std::vector<Case> cases = {
        {root + "/missing/app.log", ENOENT,
         "the directory \"" + root + "/missing\" does not exist"},
        {root + "/sub/", EISDIR, "the path names a directory"},
        {root + "/sub", EISDIR, "the path is a directory"},
        {root + "/plain/app.log", ENOTDIR, ""},
    };
#if defined(__linux__)
    // No process, privileged or not, creates files in /proc: the directory is probed, not judged
    // by its permission bits.
    cases.push_back({"/proc/infra-test.log", ENOENT, "the directory \"/proc\" is not writable"});
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        setLastError(0);
        testing::internal::CaptureStdout();
        EXPECT_FALSE(setLogFile(c.path.c_str(), LogFileOptions::daily(3)));
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(getLastError(), c.error);
        EXPECT_EQ(printed.rfind("setLogFile \"" + c.path + "\": " + c.reason, 0), 0u) << printed;
        EXPECT_EQ(printed.find('\n'), printed.size() - 1) << printed;
        EXPECT_NE(printed.find("; the log file settings are kept\n"), std::string::npos);
        EXPECT_EQ(logFileGetPath(), pathBefore);
        EXPECT_TRUE(logFileGetSettings() == before);
    }
    EXPECT_FALSE(std::filesystem::exists(root + "/missing"));
}

TEST(LogFileCall, SetsTheSameStateAsTheCommandsWithoutCreatingTheFile) {
    TempDir dir;
    const std::string path = std::filesystem::path(dir.path()).generic_string() + "/app.log";
    struct Case {
        LogFileOptions options;
        std::vector<std::vector<std::string>> commands;
    };
    std::vector<Case> cases = {
        {LogFileOptions::single(5),
         {{"-logsavesetting", "byday", "off", "0"},
          {"-logsize", "5"},
          {"-logsavesetting", "none"}}},
        {LogFileOptions::daily(7), {{"-logsize", "0"}, {"-logsavesetting", "byday", "on", "7"}}},
        {LogFileOptions::bySize(2, 0),
         {{"-logsavesetting", "byday", "off", "1"}, {"-logsavesetting", "bysize", "2", "0"}}},
    };
    for (const Case& c : cases) {
        TestSupport::logFilter({"-logpath", path});
        for (const std::vector<std::string>& command : c.commands) {
            TestSupport::logFilter(command);
        }
        const Detail::LogFileSettings byCommands = logFileGetSettings();
        TestSupport::logFilter({"-logsavesetting", "bysize", "99", "9"});
        ASSERT_TRUE(setLogFile(path.c_str(), c.options));
        EXPECT_TRUE(logFileGetSettings() == byCommands);
        EXPECT_STREQ(logFileGetPath(), path.c_str());
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    ASSERT_TRUE(setLogFile(nullptr));
    EXPECT_STREQ(logFileGetPath(), "");
}

TEST(LogFileCall, LinesGoToTheNewPathFromTheNextLineOnAndRotateAsSet) {
    TempDir dir;
    const std::string root = std::filesystem::path(dir.path()).generic_string();
    TestSupport::LogCapture quiet;
    ASSERT_TRUE(setLogFile((root + "/first.log").c_str()));
    logWarn("to the first file\n");
    ASSERT_TRUE(setLogFile((root + "/second.log").c_str(), LogFileOptions::bySize(1, 3)));
    for (int i = 0; i < 40; ++i) {
        logWarn("to the second file, line %d of a few that fill a kilobyte\n", i);
    }
    flushLog();
    const std::string first = readFile(root + "/first.log");
    EXPECT_NE(first.find("to the first file"), std::string::npos);
    EXPECT_EQ(first.find("second"), std::string::npos);
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(root)) {
        files += entry.path().filename().string().rfind("second.log", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(files, 4);  // three renamed copies kept beside the active file
    EXPECT_NE(readFile(root + "/second.log").find("line 39"), std::string::npos);
    setLogFile(nullptr);
}

TEST(LogFileCall, ErrorLinesReachARedirectedStdoutUnflushedAndFlushLogSendsTheRest) {
    TempDir dir;
    const std::string out = std::filesystem::path(dir.path()).generic_string() + "/stdout.txt";
    EXPECT_EQ(getLogFlushLevel(), 2);
    setPrintLogLevel(6);
    // What the file holds after each step; checked once standard output is back (a failure
    // reported meanwhile would go to the file).
    std::vector<std::string> seen;
    {
        RedirectedStdout redirected(out);
        logInfo("an info line stays in the buffer\n");
        logWarn("a warning stays in the buffer\n");
        seen.push_back(readFile(out));
        logError("an error line is flushed\n");
        seen.push_back(readFile(out));
        setLogFlushLevel(0);
        logFatal("not even fatal lines with level 0\n");
        seen.push_back(readFile(out));
        setLogFlushLevel(4);
        logDebug("debug is above 4\n");
        seen.push_back(readFile(out));
        logInfo("info is at 4\n");
        seen.push_back(readFile(out));
        logDebug("only flushLog sends this\n");
        flushLog();
        seen.push_back(readFile(out));
    }
    setLogFlushLevel(2);
    const auto has = [&](std::size_t step, const char* text) {
        return seen[step].find(text) != std::string::npos;
    };
    EXPECT_FALSE(has(0, "buffer")) << seen[0];
    EXPECT_TRUE(has(1, "an error line is flushed")) << seen[1];
    EXPECT_TRUE(has(1, "an info line")) << seen[1];  // written before it
    EXPECT_FALSE(has(2, "not even fatal")) << seen[2];
    EXPECT_FALSE(has(3, "debug is above")) << seen[3];
    EXPECT_TRUE(has(4, "info is at 4")) << seen[4];
    EXPECT_FALSE(has(4, "only flushLog")) << seen[4];
    EXPECT_TRUE(has(5, "only flushLog sends this")) << seen[5];
}
