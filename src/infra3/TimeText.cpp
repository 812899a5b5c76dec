// The picture-string engine: writing a time by a picture and reading one back leniently.
#include "infra3/TimeText.h"

#include <climits>
#include <cstring>

#include "infra3/Diagnostics.h"

namespace Tovix {
namespace Infra {
namespace Detail {

namespace {

// Appends to a caller buffer of fixed size, counting what does not fit. The bytes stored are
// always a prefix of the whole text, and the count of blanks at the end of the whole text is
// kept, so dropping those blanks ("t" on the 24-hour clock) is exact even after a cut.
class TextSink {
public:
    TextSink(char* buffer, std::size_t size)
        : m_buffer(buffer), m_capacity(size > 0 ? size - 1 : 0), m_length(0), m_blanks(0) {}

    void put(char c) {
        if (m_length < m_capacity) {
            m_buffer[m_length] = c;
        }
        ++m_length;
        m_blanks = (c == ' ' || c == '\t') ? m_blanks + 1 : 0;
    }

    void put(const char* text, std::size_t length) {
        for (std::size_t i = 0; i < length; ++i) {
            put(text[i]);
        }
    }

    void put2(const char* two) {
        put(two[0]);
        put(two[1]);
    }

    void dropTrailingBlanks() {
        m_length -= m_blanks;
        m_blanks = 0;
    }

    // Terminates the stored text; returns the length of the whole text.
    std::size_t finish(std::size_t size) {
        if (size > 0) {
            m_buffer[m_length < m_capacity ? m_length : m_capacity] = '\0';
        }
        return m_length;
    }

private:
    char* m_buffer;
    std::size_t m_capacity;
    std::size_t m_length;
    std::size_t m_blanks;
};

// A date piece: the value to write and how (width 0: absent). Digits style: width 4 and 2 are
// that many digits, 1 is one or two digits as the value needs. Legacy style: the printf
// minimum width.
struct DatePiece {
    int value;
    int width;
};

// "00" .. "99".
struct TwoDigitTable {
    char text[200];
};

constexpr TwoDigitTable makeTwoDigitTable() {
    TwoDigitTable table{};
    for (int i = 0; i < 100; ++i) {
        table.text[2 * i] = static_cast<char>('0' + i / 10);
        table.text[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return table;
}

constexpr TwoDigitTable kTwoDigits = makeTwoDigitTable();

// Non-negative remainder of `value` modulo `modulus`.
inline unsigned int wrapped(int value, unsigned int modulus) {
    if (static_cast<unsigned int>(value) < modulus) {
        return static_cast<unsigned int>(value);  // the common case: a field in its range
    }
    const int rest = value % static_cast<int>(modulus);
    return static_cast<unsigned int>(rest < 0 ? rest + static_cast<int>(modulus) : rest);
}

// Two digits of value (below 100).
template <class Sink>
inline void putTwoDigits(Sink& sink, unsigned int value) {
    sink.put2(kTwoDigits.text + 2U * value);
}

// One or two digits: two when the value (modulo 100) has two or `wide` asks for them.
template <class Sink>
inline void putSmall(Sink& sink, int value, bool wide) {
    const unsigned int v = wrapped(value, 100U);
    if (wide || v >= 10U) {
        putTwoDigits(sink, v);
    } else {
        sink.put(static_cast<char>('0' + v));
    }
}

// printf("%0*d", width, value): sign first, then zeros up to `width` characters in all.
template <class Sink>
void putPrintf(Sink& sink, int value, int width) {
    char digits[10];
    int count = 0;
    unsigned int magnitude =
        value < 0 ? 0U - static_cast<unsigned int>(value) : static_cast<unsigned int>(value);
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10U);
        magnitude /= 10U;
    } while (magnitude != 0U);
    if (value < 0) {
        sink.put('-');
    }
    for (int pad = width - count - (value < 0 ? 1 : 0); pad > 0; --pad) {
        sink.put('0');
    }
    while (count > 0) {
        sink.put(digits[--count]);
    }
}

// What one pass over a picture tells: how many y, M and d it holds and whether it has an 'h'.
struct PictureLetters {
    std::size_t years = 0;
    std::size_t months = 0;
    std::size_t days = 0;
    bool twelveHour = false;
};

PictureLetters lettersOf(const char* picture) {
    PictureLetters letters;
    for (const char* p = picture; *p != '\0'; ++p) {
        switch (*p) {
            case 'y':
                ++letters.years;
                break;
            case 'M':
                ++letters.months;
                break;
            case 'd':
                ++letters.days;
                break;
            case 'h':
                letters.twelveHour = true;
                break;
            default:
                break;
        }
    }
    return letters;
}

std::size_t positionOf(const char* text, char c) {
    const char* found = std::strchr(text, c);
    return found != nullptr ? static_cast<std::size_t>(found - text) : std::strlen(text);
}

// Date order of the first positions of y, M and d; -1 when they are in no known order.
int orderOf(std::size_t y, std::size_t m, std::size_t d) {
    if (y < m && m < d) {
        return CTime::ymd;
    }
    if (m < d && d < y) {
        return CTime::mdy;
    }
    if (d < m && m < y) {
        return CTime::dmy;
    }
    return -1;
}

DatePiece yearPiece(int year, std::size_t letters, TimeTextStyle style) {
    if (letters == 0) {
        return DatePiece{0, 0};
    }
    if (style == TimeTextStyle::kDigits) {
        return letters > 2 ? DatePiece{static_cast<int>(wrapped(year, 10000U)), 4}
                           : DatePiece{static_cast<int>(wrapped(year, 100U)), 2};
    }
    return letters > 2 ? DatePiece{year, 4} : DatePiece{year % 100, 2};
}

// Month or day piece.
DatePiece smallPiece(int value, std::size_t letters, TimeTextStyle style) {
    if (letters == 0) {
        return DatePiece{0, 0};
    }
    if (style == TimeTextStyle::kDigits) {
        return DatePiece{value, letters >= 2 ? 2 : 1};
    }
    return DatePiece{value, letters == 1 ? 1 : 2};
}

template <class Sink>
void putPiece(Sink& sink, const DatePiece& piece, TimeTextStyle style) {
    if (style == TimeTextStyle::kLegacy) {
        putPrintf(sink, piece.value, piece.width);
    } else if (piece.width == 4) {
        const unsigned int v = static_cast<unsigned int>(piece.value);
        putTwoDigits(sink, v / 100U);
        putTwoDigits(sink, v % 100U);
    } else {
        putSmall(sink, piece.value, piece.width == 2);
    }
}

// Hour, minute or second for a run of `run` letters.
template <class Sink>
void putField(Sink& sink, int value, std::size_t run, TimeTextStyle style) {
    if (style == TimeTextStyle::kDigits) {
        putSmall(sink, value, run > 1);
    } else {
        putPrintf(sink, value, run > 1 ? 2 : 1);
    }
}

// Length of the run at `p` of characters for which `same` holds.
template <class Same>
std::size_t runLength(const char* p, Same same) {
    std::size_t n = 0;
    while (p[n] != '\0' && same(p[n])) {
        ++n;
    }
    return n;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
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

}  // namespace

char separatorOfPicture(const char* picture, bool* valid) {
    bool found = true;
    char separator = '-';
    if (std::strchr(picture, '.') != nullptr) {
        separator = '.';
    } else if (std::strchr(picture, '/') != nullptr) {
        separator = '/';
    } else if (std::strchr(picture, '-') == nullptr) {
        found = false;
    }
    if (valid != nullptr) {
        *valid = found;
    }
    return separator;
}

int dateOrderOfPicture(const char* picture, bool* valid) {
    const int order =
        orderOf(positionOf(picture, 'y'), positionOf(picture, 'M'), positionOf(picture, 'd'));
    if (valid != nullptr) {
        *valid = order >= 0;
    }
    return order >= 0 ? order : CTime::ymd;
}

TimeTextSettings deriveTimeTextSettings(const char* picture) {
    TimeTextSettings settings{CTime::ymd, '-', false};
    bool valid = true;
    settings.separator = separatorOfPicture(picture, &valid);
    if (!valid) {
        INFRA_DIAG(kLevelError, "setFormat separator is invalid,set default separator: - \n");
    }
    settings.twelveHour = std::strchr(picture, 'h') != nullptr;
    settings.dateFormat = dateOrderOfPicture(picture, &valid);
    if (!valid) {
        INFRA_DIAG(kLevelError, "setFormat dateFormat is invalid,set default separator: ymd \n");
    }
    return settings;
}

namespace {

// Writes into a local buffer known to be large enough: no bounds to check per character.
class RoomySink {
public:
    explicit RoomySink(char* buffer) : m_begin(buffer), m_end(buffer) {}
    void put(char c) { *m_end++ = c; }
    void put(const char* text, std::size_t length) {
        std::memcpy(m_end, text, length);
        m_end += length;
    }
    void put2(const char* two) {
        std::memcpy(m_end, two, 2);
        m_end += 2;
    }
    void dropTrailingBlanks() {
        while (m_end != m_begin && (m_end[-1] == ' ' || m_end[-1] == '\t')) {
            --m_end;
        }
    }
    std::size_t length() const { return static_cast<std::size_t>(m_end - m_begin); }

private:
    char* m_begin;
    char* m_end;
};

// Pictures up to this length are written through a RoomySink on the stack, then copied.
constexpr std::size_t kShortPicture = 48;

template <class Sink>
void writePicture(Sink& sink, const SystemTime& time, const char* picture, int mask,
                  const TimeTextSettings& settings, TimeTextStyle style) {
    int order = settings.dateFormat;
    if ((mask & CTime::orderFromFormat) != 0) {
        bool valid = true;
        order = dateOrderOfPicture(picture, &valid);
        if (!valid) {
            INFRA_DIAG(kLevelError,
                       "setFormat dateFormat is invalid,set default separator: ymd \n");
        }
    }
    const PictureLetters letters = lettersOf(picture);
    const DatePiece year = yearPiece(time.year, letters.years, style);
    const DatePiece month = smallPiece(time.month, letters.months, style);
    const DatePiece day = smallPiece(time.day, letters.days, style);
    const DatePiece* pieces[3] = {&year, &month, &day};
    if (order == CTime::mdy) {
        pieces[0] = &month;
        pieces[1] = &day;
        pieces[2] = &year;
    } else if (order == CTime::dmy) {
        pieces[0] = &day;
        pieces[1] = &month;
        pieces[2] = &year;
    }
    // Empty pieces give their place to the ones after them, so the date runs of a picture
    // without one of the three letters take the pieces it has ("yyyy-MM", "dd/MM").
    const DatePiece* present[3] = {&day, &day, &day};  // `day` fills unused places; never written
    std::size_t presentCount = 0;
    for (const DatePiece* piece : pieces) {
        if (piece->width != 0) {
            present[presentCount++] = piece;
        }
    }

    const bool twelveHour =
        (mask & CTime::hourModeFromFormat) != 0 ? letters.twelveHour : settings.twelveHour;
    int shownHour = time.hour;
    if (twelveHour) {
        if (shownHour > 12) {
            shownHour -= 12;
        } else if (shownHour == 0) {
            shownHour = 12;
        }
    }

    std::size_t datePiece = 0;
    const char* p = picture;
    while (*p != '\0') {
        const char c = *p;
        std::size_t run = 1;
        switch (c) {
            case '-':
            case '.':
            case '/':
                sink.put((mask & CTime::keepSeparator) != 0 ? c : settings.separator);
                break;
            case 'H':
            case 'h':
                run = runLength(p, [](char x) { return x == 'H' || x == 'h'; });
                putField(sink, shownHour, run, style);
                break;
            case 'y':
            case 'M':
            case 'd':
                run = runLength(p, [c](char x) { return x == c; });
                if (datePiece < presentCount) {
                    putPiece(sink, *present[datePiece], style);
                }
                ++datePiece;
                break;
            case 'm':
                run = runLength(p, [](char x) { return x == 'm'; });
                putField(sink, time.minute, run, style);
                break;
            case 's':
                run = runLength(p, [](char x) { return x == 's'; });
                putField(sink, time.second, run, style);
                break;
            case 't':
                run = runLength(p, [](char x) { return x == 't'; });
                if (twelveHour) {
                    sink.put(time.hour >= 12 ? "PM" : "AM", 2);
                } else {
                    sink.dropTrailingBlanks();
                }
                break;
            default:
                sink.put(c);
                break;
        }
        p += run;
    }
}

}  // namespace

std::size_t formatTimeText(const SystemTime& time, const char* picture, int mask,
                           const TimeTextSettings& settings, TimeTextStyle style, char* buffer,
                           std::size_t size) {
    const std::size_t pictureLength = std::strlen(picture);
    if (pictureLength <= kShortPicture) {
        char local[maxTimeTextLength(kShortPicture, TimeTextStyle::kLegacy) + 1];
        RoomySink roomy(local);
        writePicture(roomy, time, picture, mask, settings, style);
        const std::size_t length = roomy.length();
        if (size > 0) {
            const std::size_t kept = length < size ? length : size - 1;
            std::memcpy(buffer, local, kept);
            buffer[kept] = '\0';
        }
        return length;
    }
    TextSink sink(buffer, size);
    writePicture(sink, time, picture, mask, settings, style);
    return sink.finish(size);
}

TimeParseResult parseTimeText(const char* text, std::size_t length, const char* picture,
                              SystemTime& time) {
    if (text == nullptr) {
        length = 0;
    }
    int numbers[6] = {0, 0, 0, 0, 0, 0};
    int count = 0;
    std::size_t pos = 0;
    while (count < 6 && pos < length) {
        int value = 0;
        for (; pos < length && isDigit(text[pos]); ++pos) {
            const int digit = text[pos] - '0';
            value = value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
        }
        numbers[count++] = value;
        while (pos < length && !isDigit(text[pos])) {
            ++pos;
        }
    }

    if (count < 6) {
        time.year = time.month = time.day = time.hour = time.minute = time.second = 0;
        return TimeParseResult::kNotEnough;
    }

    const char* pic = picture != nullptr ? picture : "";
    int hour = numbers[3];
    if (std::strchr(pic, 'h') != nullptr) {
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
            time.year = time.month = time.day = time.hour = time.minute = time.second = 0;
            return half;
        }
    }

    bool known = true;
    const int order = dateOrderOfPicture(pic, &known);
    if (known) {
        const int at[3][3] = {{0, 1, 2}, {2, 0, 1}, {2, 1, 0}};  // year, month, day per order
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
