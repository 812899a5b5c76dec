// Time: the reader: a text read back into a time by a picture, leniently.
//
// Six numbers in the order the picture gives, with a shortcut for the default picture's layout.
#include <climits>
#include <cstdint>
#include <cstring>

#include "infra3/time/TimePicture.h"
#include "infra3/time/TimeText.h"

namespace Tovix {
namespace Infra {
namespace Detail {

namespace {

// The picture the library starts with, and the one most texts are read by.
constexpr const char* kDefaultPicture = "yyyy-MM-dd HH:mm:ss";

bool isDigit(char c) {
    return static_cast<unsigned char>(c - '0') < 10U;
}

// Whether `needle` (two characters) occurs in the `length` bytes of `text`.
bool containsPair(const char* text, std::size_t length, const char* needle) {
    for (std::size_t i = 0; i + 1 < length; ++i) {
        if (text[i] == needle[0] && text[i + 1] == needle[1]) {
            return true;
        }
    }
    return false;
}

// Eight bytes of `text` as one word, the first byte lowest (compilers make this one load).
inline std::uint64_t loadWord(const char* text) {
    const auto byte = [text](unsigned int i) {
        return static_cast<std::uint64_t>(static_cast<unsigned char>(text[i])) << (8U * i);
    };
    return byte(0) | byte(1) | byte(2) | byte(3) | byte(4) | byte(5) | byte(6) | byte(7);
}

constexpr std::uint64_t kBytes(unsigned int b) {
    return 0x0101010101010101ULL * b;
}

// Each byte of `word` less '0' (0..9 for a digit) in `*values`; returns 0x80 in each byte that
// is not a digit and 0 in each that is.
inline std::uint64_t nonDigitBytes(std::uint64_t word, std::uint64_t* values) {
    const std::uint64_t x = word ^ kBytes(0x30);  // a digit becomes 0..9, nothing else does
    *values = x;
    // Below 10 unless the top bit is set or adding 0x76 sets it; masking the top bit first
    // keeps every sum inside its byte.
    return (((x & kBytes(0x7F)) + kBytes(0x76)) | x) & kBytes(0x80);
}

// Byte i of the result is 10 * byte i + byte i + 1 of `values`, bytes 0..9 each: the number of
// the two digits starting there.
inline std::uint64_t pairValues(std::uint64_t values) {
    return values * 10U + (values >> 8);
}

inline int byteAt(std::uint64_t word, unsigned int index) {
    return static_cast<int>((word >> (8U * index)) & 0xFFU);
}

// Reads the numbers of a text in the one layout the default picture writes,
// "dddd?dd?dd?dd?dd?dd" (d a digit, ? a non-digit), ending there or before a non-digit:
// what the general scan gives for it, without scanning. False (numbers untouched) for any
// other text.
bool readDefaultLayout(const char* text, std::size_t length, int numbers[6]) {
    constexpr std::size_t kLength = 19;
    if (length < kLength || (length > kLength && isDigit(text[kLength]))) {
        return false;
    }
    // Bytes 0..7 "dddd?dd?", 8..15 "dd?dd?dd" and 11..18 "dd?dd?dd".
    constexpr std::uint64_t kFirst = 0x80ULL << 32 | 0x80ULL << 56;
    constexpr std::uint64_t kRest = 0x80ULL << 16 | 0x80ULL << 40;
    std::uint64_t date = 0;
    std::uint64_t middle = 0;
    std::uint64_t time = 0;
    if (nonDigitBytes(loadWord(text), &date) != kFirst ||
        nonDigitBytes(loadWord(text + 8), &middle) != kRest ||
        nonDigitBytes(loadWord(text + 11), &time) != kRest) {
        return false;
    }
    // With the separator bytes cleared every byte is 0..9, so no pair carries into the next.
    const auto pairs = [](std::uint64_t values, std::uint64_t separators) {
        return pairValues(values & ~((separators >> 7) * 0xFFU));
    };
    const std::uint64_t datePairs = pairs(date, kFirst);
    const std::uint64_t middlePairs = pairs(middle, kRest);
    const std::uint64_t timePairs = pairs(time, kRest);
    numbers[0] = byteAt(datePairs, 0) * 100 + byteAt(datePairs, 2);
    numbers[1] = byteAt(datePairs, 5);
    numbers[2] = byteAt(middlePairs, 0);
    numbers[3] = byteAt(timePairs, 0);
    numbers[4] = byteAt(timePairs, 3);
    numbers[5] = byteAt(timePairs, 6);
    return true;
}

// Up to six numbers: digits at the current place form the next number (an empty run is 0,
// numbers too large for an int are INT_MAX), then everything up to the next digit is skipped.
int readNumbers(const char* text, std::size_t length, int numbers[6]) {
    int count = 0;
    std::size_t pos = 0;
    while (count < 6 && pos < length) {
        long long value = 0;
        for (; pos < length && isDigit(text[pos]); ++pos) {
            // value stays at most INT_MAX, so this cannot overflow.
            value = value * 10 + (text[pos] - '0');
            if (value > INT_MAX) {
                value = INT_MAX;
            }
        }
        numbers[count++] = static_cast<int>(value);
        while (pos < length && !isDigit(text[pos])) {
            ++pos;
        }
    }
    return count;
}

void clearFields(SystemTime& time) {
    time.year = time.month = time.day = time.hour = time.minute = time.second = 0;
}

}  // namespace

TimeParseResult parseTimeText(const char* text, std::size_t length, const char* picture,
                              SystemTime& time) {
    if (text == nullptr) {
        length = 0;
    }
    int numbers[6] = {0, 0, 0, 0, 0, 0};
    if (!readDefaultLayout(text, length, numbers) && readNumbers(text, length, numbers) < 6) {
        clearFields(time);
        return TimeParseResult::kNotEnough;
    }

    const char* pic = picture != nullptr ? picture : "";
    bool twelveHour = false;
    int order = -1;
    if (std::strcmp(pic, kDefaultPicture) == 0) {
        order = CTime::ymd;
    } else {
        PictureFacts facts;
        lookupPicture(pic, facts);
        twelveHour = facts.twelveHour;
        order = facts.order;
    }

    int hour = numbers[3];
    if (twelveHour) {
        TimeParseResult half = TimeParseResult::kOk;
        if (hour >= 13) {
            half = TimeParseResult::kHourInvalid;
        } else if (containsPair(text, length, "PM")) {
            hour = hour == 12 ? 12 : hour + 12;
        } else if (containsPair(text, length, "AM")) {
            hour = hour == 12 ? 0 : hour;
        } else {
            half = TimeParseResult::kHalfUnclear;
        }
        if (half != TimeParseResult::kOk) {
            clearFields(time);
            return half;
        }
    }

    if (order >= 0) {
        static constexpr int at[3][3] = {{0, 1, 2}, {2, 0, 1}, {2, 1, 0}};  // y, M, d per order
        time.year = numbers[at[order][0]];
        time.month = numbers[at[order][1]];
        time.day = numbers[at[order][2]];
    }
    time.hour = hour;
    time.minute = numbers[4];
    time.second = numbers[5];
    normalizeFields(time);
    time.wday = weekdayOf(time.year, time.month, time.day);
    return TimeParseResult::kOk;
}

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix
