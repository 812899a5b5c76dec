// Time: the picture-string engine behind CTime::format / CTime::parse and the legacy time class:
// functions over a SystemTime and explicit settings, with no process-wide state of their own
// (the callers keep the settings). Each thread keeps up to eight short pictures (up to 48
// characters) it uses again and again prepared, keyed by their text, so writing or reading by
// one of them skips reading the picture; that cache is per thread (a few kilobytes of thread
// storage), needs no lock and changes no result.
#ifndef INFRA_SRC_INFRA3_TIME_TIMETEXT_H
#define INFRA_SRC_INFRA3_TIME_TIMETEXT_H

#include <cstddef>

#include "infra/Time.h"

namespace Tovix {
namespace Infra {
namespace Detail {

// The settings a picture is written with.
struct TimeTextSettings {
    int dateFormat;   // CTime::DateFormat (any other value counts as ymd)
    char separator;   // written for "-", "." and "/" unless they are kept
    bool twelveHour;  // 12-hour clock
};

// How the pieces are spelled.
enum class TimeTextStyle {
    // Digits: year four digits (modulo 10000) or two (modulo 100); other fields one digit when
    // the value and the run allow it, else two (modulo 100).
    kDigits,
    // The legacy spelling: printf "%04d" / "%02d" of the year modulo 100; month and day "%d" when
    // their letter occurs once in the picture, else "%02d"; hour, minute and second "%d" for a
    // one-letter run, "%02d" for a longer one.
    kLegacy,
};

// The separator a picture implies: '.', else '/', else '-'. `*valid` (may be null) is false
// when the picture has none of the three.
char separatorOfPicture(const char* picture, bool* valid);

// The date order the first y, M and d of `picture` give (CTime::DateFormat); ymd with `*valid`
// (may be null) false when they are in no known order. A missing letter counts as after the end.
int dateOrderOfPicture(const char* picture, bool* valid);

// Derives all three settings as CTime::setFormatString does, logging its two messages.
TimeTextSettings deriveTimeTextSettings(const char* picture);

// Writes `time` by `picture` (CTime::format's rules) into `buffer` of `size` bytes, always
// terminated when `size` > 0. Returns the length of the whole text (which may exceed
// size - 1: then the text was cut). `picture` must not be null.
std::size_t formatTimeText(const SystemTime& time, const char* picture, int mask,
                           const TimeTextSettings& settings, TimeTextStyle style, char* buffer,
                           std::size_t size);

// The longest text formatTimeText can produce for a picture of `pictureLength` characters.
constexpr std::size_t maxTimeTextLength(std::size_t pictureLength, TimeTextStyle style) {
    return pictureLength * (style == TimeTextStyle::kDigits ? 4U : 11U);
}

// Why a parse failed.
enum class TimeParseResult {
    kOk,
    kNotEnough,    // fewer than six numbers
    kHourInvalid,  // 12-hour text with an hour above 12
    kHalfUnclear,  // 12-hour text with neither "AM" nor "PM"
};

// Reads `length` bytes of `text` into `time` by CTime::parse's rules (date fields kept when the
// picture gives no order). On failure the six date and time fields are 0. Logs nothing.
// `picture` may be null (the empty picture).
TimeParseResult parseTimeText(const char* text, std::size_t length, const char* picture,
                              SystemTime& time);

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SRC_INFRA3_TIME_TIMETEXT_H
