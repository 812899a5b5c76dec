// The per-thread prefix cache: a caller's buffers that change text, a text that became shorter
// next to unreadable memory, and lines logged while a thread ends.
#include <cstring>
#include <functional>
#include <thread>
#if !defined(_WIN32)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "LogTestSupport.h"

using namespace LogTests;

namespace {

class LogPrefixCache : public LogFixture {};

void logFrom(const char* module, const char* file, const char* function, int line) {
    logFilter(3, module, file, function, line, "1.0", "x\n");
}

// Writable program data next to the read-only literals: compared, never taken for a literal.
char g_module[16] = "first";

TEST_F(LogPrefixCache, ReusedBuffersShowTheirCurrentText) {
    char file[64] = "/src/one/first.cpp";
    char function[32] = "run";
    const std::vector<std::pair<std::function<void()>, const char*>> changes = {
        {[] {}, "[first] [ver:1.0] warn first.cpp run 7 x\n"},
        {[] { std::strcpy(g_module, "later"); }, "[later] [ver:1.0] warn first.cpp run 7 x\n"},
        {[&] { std::strcpy(file, "/src/two\\other.cpp"); },
         "[later] [ver:1.0] warn other.cpp run 7 x\n"},
        {[&] { std::strcpy(function, "go"); }, "[later] [ver:1.0] warn other.cpp go 7 x\n"},
        {[] { g_module[0] = '\0'; }, "[] [ver:1.0] warn other.cpp go 7 x\n"}};
    for (const auto& [change, line] : changes) {
        change();
        logFrom(g_module, file, function, 7);
        EXPECT_EQ(rec.last(), line);
    }
}

#if !defined(_WIN32)
// A module name that ran into a second page, shortened to end in the first page while the second
// became unreadable: the cache's check must not read beyond the first page.
TEST_F(LogPrefixCache, AShortenedTextIsNotReadBeyondItsPage) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* const mapped =
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    char* const base = static_cast<char*>(mapped);
    for (std::size_t before = 1; before <= 40; ++before) {
        char* const at = base + page - before;
        std::memset(at, 'k', before + 30);
        at[before + 30] = '\0';
        logFrom(at, "f.cpp", "fn", 3);
        at[before - 1] = '\0';  // its NUL is now the last byte of the first page
        ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
        logFrom(at, "f.cpp", "fn", 3);
        EXPECT_EQ(rec.last(),
                  "[" + std::string(before - 1, 'k') + "] [ver:1.0] warn f.cpp fn 3 x\n");
        ASSERT_EQ(mprotect(base + page, page, PROT_READ | PROT_WRITE), 0);
    }
    munmap(mapped, 2 * page);
}
#endif

// Logs one line when the thread's thread-local objects are destroyed.
struct LogsAtThreadEnd {
    int line = 0;
    ~LogsAtThreadEnd() {
        if (line > 0) {
            logFrom("ending", "/src/end.cpp", "atEnd", line);
        }
    }
};

thread_local LogsAtThreadEnd t_logsAtEnd;

TEST_F(LogPrefixCache, ThreadsLogUntilTheirVeryEnd) {
    // Each thread's caches are made by its first line and freed when it ends; lines from its
    // thread-local destructors still come out whole, and nothing is lost or leaked.
    for (int round = 0; round < 20; ++round) {
        std::thread([round] {
            t_logsAtEnd.line = 100 + round;
            logFrom("running", "/src/run.cpp", "body", 7);
        }).join();
    }
    int running = 0, ending = 0;
    for (const std::string& line : rec.lines()) {
        running += line == "[running] [ver:1.0] warn run.cpp body 7 x\n";
        ending += line.rfind("[ending] [ver:1.0] warn end.cpp atEnd 1", 0) == 0;
    }
    EXPECT_EQ(running, 20);
#if !defined(_WIN32)
    // (The Windows runtime runs thread-local destructors on objects made afresh at thread end.)
    EXPECT_EQ(ending, 20);
#endif
}

}  // namespace
