// Console colours on a terminal: each level's colour before its line, the restore after the call
// that completes a line, and colours switched off. Whether standard output is a terminal is
// asked once, at the first line: this program's one test puts it on a pseudo-terminal first.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "LogTestSupport.h"

namespace {

using namespace LogTests;

// Puts standard output on a pseudo-terminal while it exists; take() reads what reached it, with
// escape characters shown as '~'.
class Terminal {
public:
    Terminal() {
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&m_master, &m_slave, nullptr, &raw, nullptr) == 0) {
            std::fflush(stdout);
            m_saved = dup(STDOUT_FILENO);
            dup2(m_slave, STDOUT_FILENO);
        }
    }
    ~Terminal() {
        std::fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        for (int fd : {m_saved, m_slave, m_master}) {
            close(fd);
        }
    }
    bool valid() const { return m_saved >= 0; }
    std::string take() {
        std::fputs("<end>", stdout);
        std::fflush(stdout);
        std::string text;
        pollfd wait{m_master, POLLIN, 0};
        char chunk[256];
        while (text.size() < 5 || text.compare(text.size() - 5, 5, "<end>") != 0) {
            const ssize_t n = poll(&wait, 1, 10000) == 1 ? read(m_master, chunk, sizeof chunk) : -1;
            if (n <= 0) {
                return text + "<nothing more>";
            }
            text.append(chunk, static_cast<std::size_t>(n));
        }
        text.resize(text.size() - 5);
        std::replace(text.begin(), text.end(), '\033', '~');
        return text;
    }

private:
    int m_master = -1, m_slave = -1, m_saved = -1;
};

TEST(LogConsole, ColourFollowsTheLevelAndIsRestoredOncePerCompleteLine) {
    Terminal terminal;
    ASSERT_TRUE(terminal.valid());
    setPrintLogLevel(6);
    const PrintOptions coloured = optionsOf(kBare & ~(1u << 1));
    setPrintOptions(coloured);
    const int codes[] = {39, 35, 31, 33, 32, 37, 36};
    for (int level = 0; level <= 6; ++level) {
        logFilter(level, "m", "f", "g", 1, "v", "L\n");
        EXPECT_EQ(terminal.take(), "~[" + std::to_string(codes[level]) + "mL\n~[0m");
    }
    logError("part ");
    EXPECT_EQ(terminal.take(), "~[31mpart ");
    logWarn("rest\n");
    EXPECT_EQ(terminal.take(), "rest\n~[0m");
    Infra_logFilter(2, "m", "f", "g", 1, "v", "plain\n");
    EXPECT_EQ(terminal.take(), "~[31mplain\n~[0m");
    Infra_resetcolor();
    Infra_resetcolor();
    EXPECT_EQ(terminal.take(), "~[0m~[0m");
    // Colours switched off: the console is restored once, at the end of the line under way.
    logWarn("a ");
    setPrintOptions(optionsOf(kBare));
    logWarn("b\n");
    logWarn("c\n");
    Infra_resetcolor();
    EXPECT_EQ(terminal.take(), "~[33ma b\n~[0mc\n");
    setPrintOptions(PrintOptions{});
    setPrintLogLevel(3);
}

}  // namespace
#endif
