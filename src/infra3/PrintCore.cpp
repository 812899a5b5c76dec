// The print core: prefix composition, level colours and console output.
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "infra/PrintCore.h"
#include "infra3/LineFormat.h"
#include "infra3/PrintState.h"
#include "platform/Clock.h"
#include "platform/Platform.h"

namespace Tovix {
namespace Infra {
namespace Detail {

PrintState g_printState;

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

InfraPrintOption Tovix::Infra::Detail::g_printOption = {};

#if defined(__GNUC__)
#define INFRA_LINE_INLINE inline __attribute__((always_inline))
#else
#define INFRA_LINE_INLINE inline
#endif

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

// The date and clock texts of the second last printed on this thread. Lines within one second
// reuse them; any change of a field (second, minute, hour, day, month, year alike) writes them
// afresh, so the text is never stale. Trivial type: no thread-exit work, no guard.
struct TimeText {
    // year, month, day, wday, hour, minute, second as read for the text
    int fields[7];
    unsigned char dateLength;
    unsigned char clockLength;
    char date[40];   // "YYYY-MM-DD "
    char clock[40];  // "hh:mm:ss"
};

#if defined(__GNUC__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local TimeText t_timeText;

// The leading fields of SystemTimeEx, year to second, compared and kept as one block.
static_assert(offsetof(SystemTimeEx, second) == 6 * sizeof(int), "year ... second lead the record");
constexpr std::size_t kTimeFieldBytes = 7 * sizeof(int);

void fillTimeText(TimeText& t, const SystemTimeEx& now) {
    LineWriter date(t.date, sizeof t.date);
    date.zeroPadded(now.year, 4);
    date.ch('-');
    date.zeroPadded(now.month, 2);
    date.ch('-');
    date.zeroPadded(now.day, 2);
    date.ch(' ');
    t.dateLength = static_cast<unsigned char>(date.finish());
    LineWriter clock(t.clock, sizeof t.clock);
    clock.zeroPadded(now.hour, 2);
    clock.ch(':');
    clock.zeroPadded(now.minute, 2);
    clock.ch(':');
    clock.zeroPadded(now.second, 2);
    t.clockLength = static_cast<unsigned char>(clock.finish());
}

INFRA_LINE_INLINE const TimeText& timeText(const SystemTimeEx& now) {
    TimeText& t = t_timeText;
    // A filled text is never empty: dateLength 0 marks a thread's first line.
    if (INFRA_UNLIKELY(std::memcmp(t.fields, &now, kTimeFieldBytes) != 0 || t.dateLength == 0)) {
        fillTimeText(t, now);
        std::memcpy(t.fields, &now, kTimeFieldBytes);
    }
    return t;
}

// The prefix written piece by piece with a bound check on each: for prefixes that may not fit.
// `fileLength` is strlen(file), or -1 when not known. The colour is switched by the caller.
int writePrefixBounded(char* buffer, unsigned int size, int level, const char* module,
                       const char* file, long fileLength, const char* function, int line,
                       const char* version, const SystemTimeEx& now) {
    const InfraPrintOption& o = g_printOption;
    const bool tagged = printOption(o.taggedFormat);
    LineWriter w(buffer, size);
    if (tagged) {
        w.literal("|T:");
    }
    const bool withDate = printOption(o.withDate);
    const bool withTime = !printOption(o.noTime);
    if (withDate || withTime) {
        const TimeText& text = timeText(now);
        if (withDate) {
            w.append(text.date, text.dateLength);
        }
        if (withTime) {
            w.append(text.clock, text.clockLength);
            if (printOption(o.withMillisecond)) {
                w.ch(':');
                w.number(now.millisecond, 3, false);
            }
            w.ch('|');
        }
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
        if (fileLength >= 0) {
            w.append(file, static_cast<std::size_t>(fileLength));
        } else {
            w.text(file);
        }
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

// Room the fixed pieces of a prefix may take at most: tags and brackets, date and clock texts,
// milliseconds, level word, line number and thread id.
constexpr std::size_t kFixedPrefixRoom = 256;

INFRA_LINE_INLINE std::size_t textLength(const char* s) {
    return s != nullptr ? std::strlen(s) : 0;
}

INFRA_LINE_INLINE char* put(char* p, const char* s, std::size_t n) {
    copyShort(p, s, n);
    return p + n;
}

template <std::size_t N>
INFRA_LINE_INLINE char* putLiteral(char* p, const char (&s)[N]) {
    std::memcpy(p, s, N - 1);
    return p + (N - 1);
}

// Writes the prefix (see Infra_logOptionControl); `fileLength` is strlen(file), or -1 when not
// known. When everything fits, which is all but pathological lines, the pieces go in without
// per-piece bound checks.
INFRA_LINE_INLINE int writePrefix(char* buffer, unsigned int size, int level, const char* module,
                                  const char* file, long fileLength, const char* function, int line,
                                  const char* version, const SystemTimeEx& now) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    const InfraPrintOption& o = g_printOption;
    if (!printOption(o.noColor)) {
        switchColour(level);
    }
    const std::size_t moduleLength = textLength(module);
    const std::size_t versionLength = textLength(version);
    const std::size_t functionLength = textLength(function);
    const std::size_t fileBytes =
        fileLength >= 0 ? static_cast<std::size_t>(fileLength) : textLength(file);
    // Each length is below the address space; their sum cannot wrap.
    if (moduleLength + versionLength + functionLength + fileBytes + kFixedPrefixRoom >=
        static_cast<std::size_t>(size)) {
        return writePrefixBounded(buffer, size, level, module, file, static_cast<long>(fileBytes),
                                  function, line, version, now);
    }
    const bool tagged = printOption(o.taggedFormat);
    char* p = buffer;
    if (tagged) {
        p = putLiteral(p, "|T:");
    }
    const bool withDate = printOption(o.withDate);
    const bool withTime = !printOption(o.noTime);
    if (withDate || withTime) {
        const TimeText& text = timeText(now);
        if (withDate) {
            p = put(p, text.date, text.dateLength);
        }
        if (withTime) {
            p = put(p, text.clock, text.clockLength);
            if (printOption(o.withMillisecond)) {
                *p++ = ':';
                p = writeNumber(p, now.millisecond, 3, false);
            }
            *p++ = '|';
        }
    }
    if (!printOption(o.noModule)) {
        p = tagged ? putLiteral(p, "M:") : putLiteral(p, "[");
        p = put(p, module, moduleLength);
        p = tagged ? putLiteral(p, "|") : putLiteral(p, "] ");
    }
    if (!printOption(o.noVersion)) {
        p = tagged ? putLiteral(p, "V:") : putLiteral(p, "[ver:");
        p = put(p, version, versionLength);
        p = tagged ? putLiteral(p, "|") : putLiteral(p, "] ");
    }
    const char separator = tagged ? '|' : ' ';
    if (!printOption(o.noLevel)) {
        if (tagged) {
            p = putLiteral(p, "L:");
        }
        const LevelStyle& style = levelStyle(level);
        p = put(p, style.word, style.length);
        if (tagged) {
            *p++ = '|';
        }
    }
    if (line > 0 && !printOption(o.noFile)) {
        if (tagged) {
            p = putLiteral(p, "F:");
        }
        p = put(p, file, fileBytes);
        *p++ = separator;
    }
    if (!printOption(o.noFunction)) {
        if (tagged) {
            p = putLiteral(p, "f:");
        }
        p = put(p, function, functionLength);
        *p++ = separator;
    }
    if (line > 0 && !printOption(o.noLine)) {
        if (tagged) {
            p = putLiteral(p, "l:");
        }
        p = writeNumber(p, line);
        *p++ = separator;
    }
    if (!printOption(o.noThread)) {
        p = tagged ? putLiteral(p, "t:") : putLiteral(p, "tid:");
        int length = 0;
        const char* id = Platform::currentThreadIdText(&length);
        p = put(p, id, static_cast<std::size_t>(length));
        *p++ = separator;
    }
    if (tagged) {
        p = putLiteral(p, "m:");
    }
    *p = '\0';
    return static_cast<int>(p - buffer);
}

INFRA_LINE_INLINE const char* fileNamePart(const char* file, std::size_t* length) {
    if (file == nullptr) {
        *length = 0;
        return "";
    }
    const std::size_t n = std::strlen(file);
    // The name follows the last separator that is not the final character.
    const std::size_t scanned = n >= 1 ? n - 1 : 0;
#if defined(__GLIBC__)
    const char* slash = static_cast<const char*>(memrchr(file, '/', scanned));
    const char* from = slash != nullptr ? slash + 1 : file;
    const char* backslash = static_cast<const char*>(
        memrchr(from, '\\', static_cast<std::size_t>(file + scanned - from)));
    const char* name = backslash != nullptr ? backslash + 1 : from;
#else
    const char* name = file;
    for (std::size_t i = scanned; i > 0; --i) {
        if (file[i - 1] == '/' || file[i - 1] == '\\') {
            name = file + i;
            break;
        }
    }
#endif
    *length = n - static_cast<std::size_t>(name - file);
    return name;
}

// The time of a line: the local clock as CTime::getCurrentTimeEx() reads it.
INFRA_LINE_INLINE void readTime(SystemTimeEx* now) {
    Platform::LocalTimeFields fields;
    Platform::localTimeNow(&fields);
    *now = SystemTimeEx{fields.year,   fields.month,  fields.day,         fields.wday, fields.hour,
                        fields.minute, fields.second, fields.millisecond, {0, 0, 0, 0}};
}

}  // namespace

const char* baseFileName(const char* file, std::size_t* length) {
    return fileNamePart(file, length);
}

const char* baseFileName(const char* file) {
    std::size_t length = 0;
    return fileNamePart(file, &length);
}

int composeLine(char* buffer, int level, const char* module, const char* file, const char* function,
                int line, const char* version, SystemTimeEx* now, const char* format,
                va_list args) {
    std::size_t fileLength = 0;
    const char* fileName = fileNamePart(file, &fileLength);
    readTime(now);
    int length = 0;
    if (g_printState.lineStart.load(std::memory_order_relaxed)) {
        length = writePrefix(buffer, kMaxLineLength, level, module, fileName,
                             static_cast<long>(fileLength), function, line, version, *now);
    } else {
        buffer[0] = '\0';
    }
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
    return writePrefix(buffer, size, level, module, file, -1, function, line, version, now);
}

int Infra_logFilter(int level, const char* module, const char* file, const char* function, int line,
                    const char* version, const char* format, ...) {
    if (level > g_printState.printLevel.load(std::memory_order_relaxed) ||
        g_printState.moduleOutputState.load(std::memory_order_relaxed) == kModulesOff) {
        return 0;
    }
    char buffer[kLineBufferSize];
    SystemTimeEx now;
    va_list args;
    va_start(args, format);
    const int length =
        composeLine(buffer, level, module, file, function, line, version, &now, format, args);
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
