// Console colours on a terminal: each level's colour before its line, the restore after the call
// that completes a line, and colours switched off. Whether standard output is a terminal is
// asked once, at the first line: this program's one test puts it on a pseudo-terminal first.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "LogTestSupport.h"

namespace {

using namespace LogTests;

// Puts standard output on a pseudo-terminal while it exists; take() reads what reached it.
class Terminal {
public:
    Terminal() : m_master(posix_openpt(O_RDWR | O_NOCTTY)) {
        const int slave = m_master >= 0 && grantpt(m_master) == 0 && unlockpt(m_master) == 0
                              ? open(ptsname(m_master), O_RDWR | O_NOCTTY)
                              : -1;
        termios raw{};
        if (slave >= 0 && tcgetattr(slave, &raw) == 0) {
            cfmakeraw(&raw);
            tcsetattr(slave, TCSANOW, &raw);
            std::fflush(stdout);
            m_saved = dup(STDOUT_FILENO);
            dup2(slave, STDOUT_FILENO);
            close(slave);
        }
    }
    ~Terminal() {
        std::fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
        close(m_master);
    }
    bool valid() const { return m_saved >= 0; }

    // Escape characters show as '~'. A marker ends what is read.
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
    int m_master;
    int m_saved = -1;
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
