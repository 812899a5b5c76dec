// Log: a line's prefix (time, module, version, level, place, thread) and a whole line composed.
//
// The prefix of a shown line is written from a per-thread clock text and, for the part from the
// module on, a per-thread copy of the last one written, which a line from the same call site
// copies whole.
#include "infra3/log/LinePrefix.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "infra/PrintCore.h"
#include "infra3/log/KeptText.h"
#include "infra3/log/LineFormat.h"
#include "infra3/log/PrintState.h"
#include "platform/Bytes.h"
#include "platform/Clock.h"
#include "platform/Image.h"
#include "platform/Thread.h"
#include "platform/Tls.h"

namespace Tovix {
namespace Infra {
namespace Detail {

namespace {

// The date and clock texts of one local second.
struct TimeText {
    unsigned char dateLength;
    unsigned char clockLength;
    char date[40];   // "YYYY-MM-DD "
    char clock[40];  // "hh:mm:ss"
};

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

// The local time of the real-time second last read on this thread, with its texts. Lines within
// that second reuse them after one clock read; a different second count (later, earlier, or the
// clock set) splits the time afresh, so neither fields nor text are ever stale. Trivial type: no
// thread-exit work, no guard.
struct LineClock {
    long long second;  // the real-time second of `fields`
    bool valid;
    SystemTimeEx fields;
    TimeText text;
};

#if defined(__GNUC__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local LineClock t_lineClock;

// Splits the current time into t and returns its milliseconds. The local fields come from one
// read of the clock; they are kept for the second of that read only when two reads around it
// agree on the second, so that `second` always names the second the fields show.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
int refreshLineClock(LineClock& t) {
    for (int attempt = 0;; ++attempt) {
        long long before = 0;
        long nanoseconds = 0;
        Platform::realTimeNow(&before, &nanoseconds);
        Platform::LocalTimeFields f;
        Platform::localTimeNow(&f);
        long long after = 0;
        Platform::realTimeNow(&after, &nanoseconds);
        t.fields = SystemTimeEx{f.year,   f.month,  f.day, f.wday,      f.hour,
                                f.minute, f.second, 0,     {0, 0, 0, 0}};
        fillTimeText(t.text, t.fields);
        // A second boundary between the reads is rare; a clock stepping back and forth on every
        // read is not worth more than a few tries: the line then keeps correct fields uncached.
        t.valid = before == after;
        if (t.valid || attempt >= 3) {
            t.second = before;
            return f.millisecond;
        }
    }
}

// The time of a line: the local clock as CTime::getCurrentTimeEx() reads it, and its texts.
INFRA_ALWAYS_INLINE const TimeText& readLineTime(SystemTimeEx* now) {
    long long second = 0;
    long nanoseconds = 0;
    Platform::realTimeNow(&second, &nanoseconds);
    LineClock& t = t_lineClock;
    int millisecond;
    if (INFRA_LIKELY(t.second == second && t.valid)) {
        millisecond = static_cast<int>(nanoseconds / 1000000);
    } else {
        millisecond = refreshLineClock(t);
    }
    *now = t.fields;
    now->millisecond = millisecond;
    return t.text;
}

// The prefix written piece by piece with a bound check on each: for prefixes that may not fit.
// `fileLength` is strlen(file), or -1 when not known. The colour is switched by the caller.
int writePrefixBounded(char* buffer, unsigned int size, const InfraPrintOption& o, int level,
                       const char* module, const char* file, long fileLength, const char* function,
                       int line, const char* version, const SystemTimeEx& now,
                       const TimeText& text) {
    const bool tagged = o.taggedFormat;
    LineWriter w(buffer, size);
    if (tagged) {
        w.literal("|T:");
    }
    const bool withDate = o.withDate;
    const bool withTime = !o.noTime;
    if (withDate) {
        w.append(text.date, text.dateLength);
    }
    if (withTime) {
        w.append(text.clock, text.clockLength);
        if (o.withMillisecond) {
            w.ch(':');
            w.number(now.millisecond, 3, false);
        }
        w.ch('|');
    }
    if (!o.noModule) {
        tagged ? w.literal("M:") : w.literal("[");
        w.text(module);
        tagged ? w.literal("|") : w.literal("] ");
    }
    if (!o.noVersion) {
        tagged ? w.literal("V:") : w.literal("[ver:");
        w.text(version);
        tagged ? w.literal("|") : w.literal("] ");
    }
    if (!o.noLevel) {
        if (tagged) {
            w.literal("L:");
        }
        const LevelStyle& style = levelStyle(level);
        w.append(style.word, style.length);
        if (tagged) {
            w.ch('|');
        }
    }
    if (line > 0 && !o.noFile) {
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
    if (!o.noFunction) {
        if (tagged) {
            w.literal("f:");
        }
        w.text(function);
        w.ch(tagged ? '|' : ' ');
    }
    if (line > 0 && !o.noLine) {
        if (tagged) {
            w.literal("l:");
        }
        w.number(line);
        w.ch(tagged ? '|' : ' ');
    }
    if (!o.noThread) {
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

INFRA_ALWAYS_INLINE std::size_t textLength(const char* s) {
    return s != nullptr ? std::strlen(s) : 0;
}

INFRA_ALWAYS_INLINE char* put(char* p, const char* s, std::size_t n) {
    copyShort(p, s, n);
    return p + n;
}

template <std::size_t N>
INFRA_ALWAYS_INLINE char* putLiteral(char* p, const char (&s)[N]) {
    std::memcpy(p, s, N - 1);
    return p + (N - 1);
}

// The tag and the time: everything of a prefix before the module. Needs no bound check when at
// least kFixedPrefixRoom bytes are free.
INFRA_ALWAYS_INLINE char* writeHead(char* p, const InfraPrintOption& o, const SystemTimeEx& now,
                                    const TimeText& text) {
    if (o.taggedFormat) {
        p = putLiteral(p, "|T:");
    }
    if (o.withDate) {
        p = put(p, text.date, text.dateLength);
    }
    if (!o.noTime) {
        p = put(p, text.clock, text.clockLength);
        if (o.withMillisecond) {
            *p++ = ':';
            p = writeNumber(p, now.millisecond, 3, false);
        }
        *p++ = '|';
    }
    return p;
}

// The rest of the prefix, from the module on, with the text lengths known; the caller has
// checked that the texts and kFixedPrefixRoom fit.
char* writeTail(char* p, const InfraPrintOption& o, int level, const char* module,
                std::size_t moduleLength, const char* file, std::size_t fileBytes,
                const char* function, std::size_t functionLength, int line, const char* version,
                std::size_t versionLength) {
    const bool tagged = o.taggedFormat;
    if (!o.noModule) {
        p = tagged ? putLiteral(p, "M:") : putLiteral(p, "[");
        p = put(p, module, moduleLength);
        p = tagged ? putLiteral(p, "|") : putLiteral(p, "] ");
    }
    if (!o.noVersion) {
        p = tagged ? putLiteral(p, "V:") : putLiteral(p, "[ver:");
        p = put(p, version, versionLength);
        p = tagged ? putLiteral(p, "|") : putLiteral(p, "] ");
    }
    const char separator = tagged ? '|' : ' ';
    if (!o.noLevel) {
        if (tagged) {
            p = putLiteral(p, "L:");
        }
        const LevelStyle& style = levelStyle(level);
        p = put(p, style.word, style.length);
        if (tagged) {
            *p++ = '|';
        }
    }
    if (line > 0 && !o.noFile) {
        if (tagged) {
            p = putLiteral(p, "F:");
        }
        p = put(p, file, fileBytes);
        *p++ = separator;
    }
    if (!o.noFunction) {
        if (tagged) {
            p = putLiteral(p, "f:");
        }
        p = put(p, function, functionLength);
        *p++ = separator;
    }
    if (line > 0 && !o.noLine) {
        if (tagged) {
            p = putLiteral(p, "l:");
        }
        p = writeNumber(p, line);
        *p++ = separator;
    }
    if (!o.noThread) {
        p = tagged ? putLiteral(p, "t:") : putLiteral(p, "tid:");
        int length = 0;
        const char* id = Platform::currentThreadIdText(&length);
        p = put(p, id, static_cast<std::size_t>(length));
        *p++ = separator;
    }
    if (tagged) {
        p = putLiteral(p, "m:");
    }
    return p;
}

INFRA_ALWAYS_INLINE const char* fileNamePart(const char* file, std::size_t* length) {
    if (file == nullptr) {
        *length = 0;
        return "";
    }
    const std::size_t n = std::strlen(file);
    // The name follows the last separator that is not the final character.
    const std::size_t scanned = n >= 1 ? n - 1 : 0;
    const char* slash = Platform::lastByte(file, '/', scanned);
    const char* from = slash != nullptr ? slash + 1 : file;
    const char* backslash =
        Platform::lastByte(from, '\\', static_cast<std::size_t>(file + scanned - from));
    const char* name = backslash != nullptr ? backslash + 1 : from;
    *length = n - static_cast<std::size_t>(name - file);
    return name;
}

// The part of a line's prefix from the module on, as last written on this thread, with what it
// was written from. A line from the same call site finds it and copies it whole. The texts are
// compared, not just their addresses (a caller may pass one buffer with different contents, or
// a library unloaded and another loaded may put different strings at the same address), except
// texts in the program's or this library's read-only image, which cannot change. The
// thread id is part of the key because a forked child runs the forking thread under a new id.
// On the heap (see Platform::ThreadRecord).
constexpr std::size_t kTailRoom = 240;
constexpr std::size_t kKeyTextRoom = 512;

struct PrefixTailCache {
    bool valid;
    int level;
    int line;
    int threadId;
    PrintOptionSnapshot options;
    KeptText module;
    KeptText version;
    KeptText function;
    KeptText file;
    unsigned short tailLength;
    char tail[kTailRoom];
    alignas(16) char keyTexts[kKeyTextRoom];
};

// This thread's cache; null when it has none (no memory left, or the thread is ending).
INFRA_ALWAYS_INLINE PrefixTailCache* prefixTailCache() {
    return Platform::ThreadRecord<PrefixTailCache>::get();
}

// The read-only parts of the program's and this library's images, where the string literals
// that most log calls pass live: text there never changes, so the cache need not compare it.
struct FixedRanges {
    static constexpr int kRoom = 16;  // a program's and a library's sections on Windows
    int count;
    Platform::AddressRange ranges[kRoom];
};

const FixedRanges& fixedRanges() {
    static const FixedRanges found = [] {
        FixedRanges r{};
        r.count = Platform::readOnlyImageRanges(r.ranges, FixedRanges::kRoom);
        return r;
    }();
    return found;
}

bool isFixedText(const char* text) {
    const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(text);
    const FixedRanges& r = fixedRanges();
    for (int i = 0; i < r.count; ++i) {
        if (address - r.ranges[i].begin < r.ranges[i].end - r.ranges[i].begin) {
            return true;
        }
    }
    return false;
}

// A prefix whose tail is not in the cache: written in full, then remembered when it is small.
// `head` is where writeHead stopped.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
int writeLinePrefixUncached(char* buffer, char* head, const PrintOptionSnapshot& snapshot,
                            const InfraPrintOption& o, int level, const char* module,
                            const char* file, const char* function, int line,
                            const char* version, int threadId, const SystemTimeEx& now,
                            const TimeText& text) {
    PrefixTailCache* const cache = prefixTailCache();
    if (cache != nullptr) {
        cache->valid = false;
    }
    std::size_t fileLength = 0;
    const char* fileName = fileNamePart(file, &fileLength);
    const std::size_t moduleLength = textLength(module);
    const std::size_t versionLength = textLength(version);
    const std::size_t functionLength = textLength(function);
    if (moduleLength + versionLength + functionLength + fileLength + kFixedPrefixRoom >=
        static_cast<std::size_t>(kMaxLineLength)) {
        return writePrefixBounded(buffer, kMaxLineLength, o, level, module, fileName,
                                  static_cast<long>(fileLength), function, line, version, now,
                                  text);
    }
    char* const end = writeTail(head, o, level, module, moduleLength, fileName, fileLength,
                                function, functionLength, line, version, versionLength);
    *end = '\0';
    const std::size_t tailLength = static_cast<std::size_t>(end - head);
    std::size_t used = 0;
    const std::size_t fullFileLength =
        file != nullptr ? static_cast<std::size_t>(fileName - file) + fileLength : 0;
    if (cache == nullptr) {
        return static_cast<int>(end - buffer);
    }
    PrefixTailCache& c = *cache;
    if (tailLength <= kTailRoom &&
        keepText(c.module, module, moduleLength, isFixedText(module), c.keyTexts, kKeyTextRoom,
                 &used) &&
        keepText(c.version, version, versionLength, isFixedText(version), c.keyTexts, kKeyTextRoom,
                 &used) &&
        keepText(c.function, function, functionLength, isFixedText(function), c.keyTexts,
                 kKeyTextRoom, &used) &&
        keepText(c.file, file, fullFileLength, isFixedText(file), c.keyTexts, kKeyTextRoom,
                 &used)) {
        std::memcpy(c.tail, head, tailLength);
        c.tailLength = static_cast<unsigned short>(tailLength);
        c.level = level;
        c.line = line;
        c.threadId = threadId;
        c.options = snapshot;
        c.valid = true;
    }
    return static_cast<int>(end - buffer);
}

// The prefix of a line into a buffer of kMaxLineLength + 1 bytes; the colour is switched by the
// caller.
INFRA_ALWAYS_INLINE int writeLinePrefix(char* buffer, const PrintOptionSnapshot& snapshot,
                                        const InfraPrintOption& o, int level, const char* module,
                                        const char* file, const char* function, int line,
                                        const char* version, const SystemTimeEx& now,
                                        const TimeText& text) {
    char* const head = writeHead(buffer, o, now, text);
    const int threadId = o.noThread ? 0 : Platform::currentThreadId();
    const PrefixTailCache* const cache = prefixTailCache();
    if (INFRA_UNLIKELY(cache == nullptr)) {
        return writeLinePrefixUncached(buffer, head, snapshot, o, level, module, file, function,
                                       line, version, threadId, now, text);
    }
    const PrefixTailCache& c = *cache;
    if (c.valid && c.level == level && c.line == line && c.threadId == threadId &&
        c.options == snapshot && stillKept(c.module, module, c.keyTexts) &&
        stillKept(c.version, version, c.keyTexts) && stillKept(c.function, function, c.keyTexts) &&
        stillKept(c.file, file, c.keyTexts)) {
        std::memcpy(head, c.tail, c.tailLength);
        char* const end = head + c.tailLength;
        *end = '\0';
        return static_cast<int>(end - buffer);
    }
    return writeLinePrefixUncached(buffer, head, snapshot, o, level, module, file, function, line,
                                   version, threadId, now, text);
}

}  // namespace

// Writes the prefix (see Infra_logOptionControl), colour switch included; `fileLength` is
// strlen(file), or -1 when not known. When everything fits, which is all but pathological
// lines, the pieces go in without per-piece bound checks.
int writePrefix(char* buffer, unsigned int size, int level, const char* module, const char* file,
                long fileLength, const char* function, int line, const char* version,
                const SystemTimeEx& now) {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    const InfraPrintOption o = readPrintOptions().options();
    if (!o.noColor) {
        switchColour(level);
    }
    TimeText text;
    fillTimeText(text, now);
    const std::size_t moduleLength = textLength(module);
    const std::size_t versionLength = textLength(version);
    const std::size_t functionLength = textLength(function);
    const std::size_t fileBytes =
        fileLength >= 0 ? static_cast<std::size_t>(fileLength) : textLength(file);
    // Each length is below the address space; their sum cannot wrap.
    if (moduleLength + versionLength + functionLength + fileBytes + kFixedPrefixRoom >=
        static_cast<std::size_t>(size)) {
        return writePrefixBounded(buffer, size, o, level, module, file,
                                  static_cast<long>(fileBytes), function, line, version, now, text);
    }
    char* p = writeHead(buffer, o, now, text);
    p = writeTail(p, o, level, module, moduleLength, file, fileBytes, function, functionLength,
                  line, version, versionLength);
    *p = '\0';
    return static_cast<int>(p - buffer);
}

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
    const TimeText& text = readLineTime(now);
    int length = 0;
    if (g_printState.lineStart.load(std::memory_order_relaxed)) {
        const PrintOptionSnapshot snapshot = readPrintOptions();
        const InfraPrintOption o = snapshot.options();
        if (!o.noColor) {
            switchColour(level);
        }
        length = writeLinePrefix(buffer, snapshot, o, level, module, file, function, line, version,
                                 *now, text);
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
