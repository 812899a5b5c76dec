// Fuzzes the picture engine: arbitrary pictures written with arbitrary field values, in both
// spellings and under every mask and setting, into buffers of every size; and arbitrary texts
// read back under arbitrary pictures. Every buffer is an allocation of exactly its size, so any
// access past it is reported.
//
// Properties: the whole text never exceeds the documented room; a cut text is the whole text's
// prefix, terminated, and nothing past the buffer is touched; a successful parse gives a valid
// date and time with its weekday.
//
// The program is built from the engine's source alone; the log path is replaced below by one
// that formats each message (so its arguments are read) and drops it.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "FuzzSupport.h"
#include "infra3/core/Diagnostics.h"
#include "infra3/time/TimeText.h"

namespace Tovix {
namespace Infra {
namespace Detail {

bool diagnosticShown(int) {
    return true;
}

int diagnosticThreadId() {
    return 1;
}

int logDiagnostic(int, const char*, const char*, int, const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    return length;
}

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

namespace {

using FuzzSupport::check;
using namespace Tovix::Infra;

// Reads little-endian integers from the front of the input, zero once it is used up.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::uint8_t byte() { return m_size > 0 ? (--m_size, *m_data++) : 0; }
    int integer() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v = v << 8 | byte();
        }
        return static_cast<int>(v);
    }
    const std::uint8_t* rest() const { return m_data; }
    std::size_t restSize() const { return m_size; }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
};

bool inRange(const SystemTime& t) {
    const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
    const int length = (t.month == 2 && leap) ? 29 : Detail::kDaysInMonth[t.month];
    return t.year >= 1970 && t.year <= 2038 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
           t.day <= length && t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 &&
           t.second >= 0 && t.second <= 59;
}

void fuzzFormat(const SystemTime& time, const char* picture, int mask,
                const Detail::TimeTextSettings& settings, Detail::TimeTextStyle style,
                std::size_t cut) {
    const std::size_t room = Detail::maxTimeTextLength(std::strlen(picture), style) + 1;
    std::unique_ptr<char[]> whole = FuzzSupport::block<char>(room);
    const std::size_t length =
        Detail::formatTimeText(time, picture, mask, settings, style, whole.get(), room);
    check(length < room);
    check(std::strlen(whole.get()) == length);

    const std::size_t size = cut % (length + 2);
    std::unique_ptr<char[]> part = FuzzSupport::block<char>(size);
    const std::size_t again =
        Detail::formatTimeText(time, picture, mask, settings, style, part.get(), size);
    check(again == length);
    if (size > 0) {
        const std::size_t kept = std::strlen(part.get());
        check(kept == (length < size ? length : size - 1));
        check(std::memcmp(part.get(), whole.get(), kept) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 1 << 12) {
        return 0;
    }
    Reader in(data, size);
    const std::uint8_t control = in.byte();
    SystemTime time = {in.integer(), in.integer(), in.integer(), in.integer(),
                       in.integer(), in.integer(), in.integer(), -1};
    if ((control & 0x80) != 0) {
        // Mostly valid values, so the digits paths see realistic input too.
        Detail::normalizeFields(time);
        time.wday = Detail::weekdayOf(time.year, time.month, time.day);
    }
    // Any separator but NUL, which would end the text early (the texts are compared as strings).
    const char separator = static_cast<char>(in.byte());
    const Detail::TimeTextSettings settings = {control & 3, separator != '\0' ? separator : '-',
                                               (control & 4) != 0};
    const std::size_t cut = in.byte();

    // The rest: a picture and a text, split at the first zero byte (or both the same bytes).
    const std::uint8_t* rest = in.rest();
    const std::size_t restSize = in.restSize();
    const void* zero = std::memchr(rest, 0, restSize);
    const std::size_t pictureSize =
        zero != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - rest)
                        : restSize;
    std::unique_ptr<char[]> picture = FuzzSupport::block<char>(pictureSize + 1);
    std::memcpy(picture.get(), rest, pictureSize);
    picture[pictureSize] = '\0';
    const std::uint8_t* textStart = zero != nullptr ? rest + pictureSize + 1 : rest;
    const std::size_t textSize = zero != nullptr ? restSize - pictureSize - 1 : restSize;

    const int mask = (control >> 3) & 7;
    fuzzFormat(time, picture.get(), mask, settings, Detail::TimeTextStyle::kDigits, cut);
    fuzzFormat(time, picture.get(), 0, settings, Detail::TimeTextStyle::kLegacy, cut);

    // The text has no terminator: the parser must stop at its length.
    std::unique_ptr<char[]> text = FuzzSupport::block<char>(textSize);
    std::memcpy(text.get(), textStart, textSize);
    SystemTime parsed = time;
    const Detail::TimeParseResult result =
        Detail::parseTimeText(text.get(), textSize, picture.get(), parsed);
    if (result == Detail::TimeParseResult::kOk) {
        check(inRange(parsed));
        check(parsed.wday == Detail::weekdayOf(parsed.year, parsed.month, parsed.day));
    } else {
        check(parsed.year == 0 && parsed.month == 0 && parsed.day == 0 && parsed.hour == 0 &&
              parsed.minute == 0 && parsed.second == 0);
    }

    // Derivation of the settings from any picture.
    const Detail::TimeTextSettings derived = Detail::deriveTimeTextSettings(picture.get());
    check(derived.dateFormat >= 0 && derived.dateFormat <= 2);
    check(derived.separator == '-' || derived.separator == '.' || derived.separator == '/');
    return 0;
}
