// The print core: prefix composition, level colours and console output.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "infra/PrintCore.h"
#include "infra3/LineFormat.h"
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
    unsigned char length;
    unsigned short attribute;  // red 4, green 2, blue 1
};

constexpr LevelStyle kLevels[] = {
    {"", 0, 0},        // no level
    {"fatal ", 6, 5},  // red and blue
    {"error ", 6, 4},  // red
    {"warn ", 5, 6},   // red and green
    {"info ", 5, 2},   // green
    {"trace ", 6, 7},  // plain white
    {"debug ", 6, 3},  // green and blue
};

const LevelStyle& levelStyle(int level) {
    static const LevelStyle unknown{"", 0, 7};
    return level >= 0 && level <= 6 ? kLevels[level] : unknown;
}

// Colour state is shared by all threads; when no console shows colours the switches and their
// flags are skipped, which keeps logging threads from writing the shared state on every line.
void switchColour(int level) {
    if (!Platform::consoleColoursActive()) {
        return;
    }
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
    if (!printOption(o.noColor)) {
        switchColour(level);
    }
    if (tagged) {
        w.literal("|T:");
    }
    if (printOption(o.withDate)) {
        w.zeroPadded(now.year, 4);
        w.ch('-');
        w.zeroPadded(now.month, 2);
        w.ch('-');
        w.zeroPadded(now.day, 2);
        w.ch(' ');
    }
    if (!printOption(o.noTime)) {
        w.zeroPadded(now.hour, 2);
        w.ch(':');
        w.zeroPadded(now.minute, 2);
        w.ch(':');
        w.zeroPadded(now.second, 2);
        if (printOption(o.withMillisecond)) {
            w.ch(':');
            w.number(now.millisecond, 3, false);
        }
        w.ch('|');
    }
    if (!printOption(o.noModule)) {
        tagged ? w.literal("M:") : w.literal("[");
        w.text(module);
        tagged ? w.literal("|") : w.literal("] ");
    }
    if (!printOption(o.noVersion)) {
        tagged ? w.literal("V:") : w.literal("[ver:");
        w.text(version);
        tagged ? w.literal("|") : w.literal("] ");
    }
    if (!printOption(o.noLevel)) {
        if (tagged) {
            w.literal("L:");
        }
        const LevelStyle& style = levelStyle(level);
        w.append(style.word, style.length);
        if (tagged) {
            w.ch('|');
        }
    }
    if (line > 0 && !printOption(o.noFile)) {
        if (tagged) {
            w.literal("F:");
        }
        w.text(file);
        w.ch(tagged ? '|' : ' ');
    }
    if (!printOption(o.noFunction)) {
        if (tagged) {
            w.literal("f:");
        }
        w.text(function);
        w.ch(tagged ? '|' : ' ');
    }
    if (line > 0 && !printOption(o.noLine)) {
        if (tagged) {
            w.literal("l:");
        }
        w.number(line);
        w.ch(tagged ? '|' : ' ');
    }
    if (!printOption(o.noThread)) {
        tagged ? w.literal("t:") : w.literal("tid:");
        int length = 0;
        const char* id = Platform::currentThreadIdText(&length);
        w.append(id, static_cast<std::size_t>(length));
        w.ch(tagged ? '|' : ' ');
    }
    if (tagged) {
        w.literal("m:");
    }
    return w.finish();
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
        length += formatMessage(buffer + length, static_cast<std::size_t>(kLineBufferSize - length),
                                format, args);
    }
    const bool complete = length >= kMaxLineLength || (length > 0 && buffer[length - 1] == '\n');
    // Written only on a change: threads logging whole lines then never write the shared flag.
    if (g_printState.lineStart.load(std::memory_order_relaxed) != complete) {
        g_printState.lineStart.store(complete, std::memory_order_relaxed);
    }
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
    if (!s.lineStart.load(std::memory_order_relaxed) || !Tovix::Platform::consoleColoursActive()) {
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
