// The print core: prefix composition, level colours and console output.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "infra/PrintCore.h"
#include "infra3/PrintState.h"
#include "platform/Platform.h"

namespace Tovix {
namespace Infra {
namespace Detail {

PrintState g_printState;

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

InfraPrintOption Tovix::Infra::Detail::g_printOption = {};

namespace Tovix {
namespace Infra {
namespace Detail {

namespace {

struct LevelStyle {
    const char* word;
    unsigned short attribute;  // red 4, green 2, blue 1
};

constexpr LevelStyle kLevels[] = {
    {"", 0},        // no level
    {"fatal ", 5},  // red and blue
    {"error ", 4},  // red
    {"warn ", 6},   // red and green
    {"info ", 2},   // green
    {"trace ", 7},  // plain white
    {"debug ", 3},  // green and blue
};

const LevelStyle& levelStyle(int level) {
    static const LevelStyle unknown{"", 7};
    return level >= 0 && level <= 6 ? kLevels[level] : unknown;
}

// A bounded writer with snprintf's truncation: text beyond the capacity is dropped, the
// buffer stays NUL-terminated, and the length never passes capacity - 1.
class LineWriter {
public:
    LineWriter(char* buffer, unsigned int size) : m_buffer(buffer), m_size(size) {}

    int length() const { return static_cast<int>(m_length); }

    void text(const char* s) {
        if (s == nullptr) {
            return;
        }
        raw(s, std::strlen(s));
    }

    void raw(const char* s, std::size_t n) {
        if (m_length + 1 >= m_size) {
            return;
        }
        const std::size_t room = m_size - 1 - m_length;
        if (n > room) {
            n = room;
        }
        std::memcpy(m_buffer + m_length, s, n);
        m_length += static_cast<unsigned int>(n);
        m_buffer[m_length] = '\0';
    }

    void ch(char c) { raw(&c, 1); }

    // printf's %d, %0Nd (zeroPad) and %Nd.
    void number(int value, int width = 0, bool zeroPad = false) {
        char digits[16];
        int n = 0;
        unsigned int magnitude =
            value < 0 ? 0u - static_cast<unsigned int>(value) : static_cast<unsigned int>(value);
        do {
            digits[n++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        char out[32];
        int len = 0;
        const int signWidth = value < 0 ? 1 : 0;
        const int pad = width - n - signWidth;
        if (!zeroPad) {
            for (int i = 0; i < pad; ++i) {
                out[len++] = ' ';
            }
        }
        if (value < 0) {
            out[len++] = '-';
        }
        if (zeroPad) {
            for (int i = 0; i < pad; ++i) {
                out[len++] = '0';
            }
        }
        while (n > 0) {
            out[len++] = digits[--n];
        }
        raw(out, static_cast<std::size_t>(len));
    }

private:
    char* m_buffer;
    unsigned int m_size;
    unsigned int m_length = 0;
};

const char* orEmpty(const char* text) {
    return text != nullptr ? text : "";
}

void switchColour(int level) {
    g_printState.savedAttribute.store(Platform::consoleGetTextAttribute(),
                                      std::memory_order_relaxed);
    Platform::consoleSetTextAttribute(levelStyle(level).attribute);
    g_printState.colourRestored.store(false, std::memory_order_relaxed);
}

int writePrefix(char* buffer, unsigned int size, int level, const char* module, const char* file,
                const char* function, int line, const char* version, const SystemTimeEx& now) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    const InfraPrintOption& o = g_printOption;
    const bool tagged = printOption(o.taggedFormat);
    LineWriter w(buffer, size);
    buffer[0] = '\0';
    if (!printOption(o.noColor)) {
        switchColour(level);
    }
    if (tagged) {
        w.text("|T:");
    }
    if (printOption(o.withDate)) {
        w.number(now.year, 4, true);
        w.ch('-');
        w.number(now.month, 2, true);
        w.ch('-');
        w.number(now.day, 2, true);
        w.ch(' ');
    }
    if (!printOption(o.noTime)) {
        w.number(now.hour, 2, true);
        w.ch(':');
        w.number(now.minute, 2, true);
        w.ch(':');
        w.number(now.second, 2, true);
        if (printOption(o.withMillisecond)) {
            w.ch(':');
            w.number(now.millisecond, 3, false);
        }
        w.ch('|');
    }
    if (!printOption(o.noModule)) {
        w.text(tagged ? "M:" : "[");
        w.text(orEmpty(module));
        w.text(tagged ? "|" : "] ");
    }
    if (!printOption(o.noVersion)) {
        w.text(tagged ? "V:" : "[ver:");
        w.text(orEmpty(version));
        w.text(tagged ? "|" : "] ");
    }
    if (!printOption(o.noLevel)) {
        if (tagged) {
            w.text("L:");
        }
        w.text(levelStyle(level).word);
        if (tagged) {
            w.ch('|');
        }
    }
    if (line > 0 && !printOption(o.noFile)) {
        w.text(tagged ? "F:" : "");
        w.text(orEmpty(file));
        w.ch(tagged ? '|' : ' ');
    }
    if (!printOption(o.noFunction)) {
        w.text(tagged ? "f:" : "");
        w.text(orEmpty(function));
        w.ch(tagged ? '|' : ' ');
    }
    if (line > 0 && !printOption(o.noLine)) {
        w.text(tagged ? "l:" : "");
        w.number(line);
        w.ch(tagged ? '|' : ' ');
    }
    if (!printOption(o.noThread)) {
        w.text(tagged ? "t:" : "tid:");
        w.number(Platform::currentThreadId());
        w.ch(tagged ? '|' : ' ');
    }
    if (tagged) {
        w.text("m:");
    }
    return w.length();
}

}  // namespace

const char* baseFileName(const char* file) {
    if (file == nullptr) {
        return "";
    }
    const char* name = file;
    for (const char* p = file; *p != '\0'; ++p) {
        if ((*p == '/' || *p == '\\') && p[1] != '\0') {
            name = p + 1;
        }
    }
    return name;
}

int composeLine(char* buffer, int level, const char* module, const char* fileName,
                const char* function, int line, const char* version, SystemTimeEx* now,
                const char* format, va_list args) {
    buffer[0] = '\0';
    int length = Infra_logOptionControl(buffer, kMaxLineLength, level, module, fileName, function,
                                        line, version, now);
    if (format != nullptr && length < kMaxLineLength) {
        const int room = kLineBufferSize - length;
        const int written =
            std::vsnprintf(buffer + length, static_cast<std::size_t>(room), format, args);
        if (written > 0) {
            length += written < room ? written : room - 1;
        } else if (written < 0) {
            buffer[length] = '\0';
        }
    }
    const bool complete = length >= kMaxLineLength || (length > 0 && buffer[length - 1] == '\n');
    g_printState.lineStart.store(complete, std::memory_order_relaxed);
    return length;
}

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

using namespace Tovix::Infra;
using namespace Tovix::Infra::Detail;

int Infra_logOptionControl(char* buffer, unsigned int size, int level, const char* module,
                           const char* file, const char* function, int line, const char* version,
                           SystemTimeEx* timeOut) {
    const SystemTimeEx now = CTime::getCurrentTimeEx();
    if (timeOut != nullptr) {
        *timeOut = now;
    }
    if (!g_printState.lineStart.load(std::memory_order_relaxed)) {
        return 0;
    }
    return writePrefix(buffer, size, level, module, file, function, line, version, now);
}

int Infra_logFilter(int level, const char* module, const char* file, const char* function, int line,
                    const char* version, const char* format, ...) {
    if (level > g_printState.printLevel.load(std::memory_order_relaxed) ||
        g_printState.moduleOutputState.load(std::memory_order_relaxed) == kModulesOff) {
        return 0;
    }
    char buffer[kLineBufferSize];
    va_list args;
    va_start(args, format);
    const int length = composeLine(buffer, level, module, baseFileName(file), function, line,
                                   version, nullptr, format, args);
    va_end(args);
    Infra_print(level, buffer);
    Infra_resetcolor();
    return length;
}

int Infra_print(int /*level*/, const char* text) {
    if (text == nullptr) {
        return 0;
    }
    Tovix::Platform::debuggerOutput(text);
    return std::fputs(text, stdout);
}

void Infra_resetcolor(void) {
    PrintState& s = g_printState;
    if (!s.lineStart.load(std::memory_order_relaxed)) {
        return;
    }
    if (printOption(g_printOption.noColor) && s.colourRestored.load(std::memory_order_relaxed)) {
        return;
    }
    Tovix::Platform::consoleRestoreTextAttribute(s.savedAttribute.load(std::memory_order_relaxed));
    s.colourRestored.store(true, std::memory_order_relaxed);
}

InfraPrintOption* Infra_getPrintOption(void) {
    return &g_printOption;
}
