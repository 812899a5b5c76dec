// Time: the picture writer: a time written as text by a picture.
//
// A kept picture whose fields all have a fixed width is written through its prepared layout:
// the text copied, the digits filled in. Other pictures are written step by step; every path
// reads the steps of a picture the same way, so all give the same text.
#include <cstdint>
#include <cstring>

#include "infra3/core/Diagnostics.h"
#include "infra3/core/Digits.h"
#include "infra3/time/TimePicture.h"
#include "infra3/time/TimeText.h"

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

// Writes into a buffer known to be large enough: no bounds to check per character.
class RoomySink {
public:
    explicit RoomySink(char* buffer) : m_begin(buffer), m_end(buffer) {}
    void put(char c) { *m_end++ = c; }
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

// A date piece: the value to write and how (width 0: absent). Digits style: width 4 and 2 are
// that many digits, 1 is one or two digits as the value needs. Legacy style: the printf
// minimum width.
struct DatePiece {
    int value;
    int width;
};

// "00" .. "99", then "AM" (pair 100) and "PM" (pair 101).
struct TwoDigitTable {
    char text[204];
};

constexpr unsigned int kAmPair = 100;

constexpr TwoDigitTable makeTwoDigitTable() {
    TwoDigitTable table{};
    for (int i = 0; i < 200; ++i) {
        table.text[i] = kDigitPairs[i];
    }
    const char halves[] = "AMPM";
    for (int i = 0; i < 4; ++i) {
        table.text[200 + i] = halves[i];
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

// The longest text putPrintf writes for a width of at most 2: "-2147483648".
constexpr std::size_t kLongestPrintf = 11;

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

// Everything the steps of one picture need to write one time.
struct FormatValues {
    DatePiece pieces[3];  // the present date pieces in the order they are written
    unsigned int pieceCount;
    int shownHour;
    int minute;
    int second;
    bool twelveHour;
    bool pm;
    bool keepSeparator;
    char separator;
};

FormatValues valuesFor(const SystemTime& time, std::size_t years, std::size_t months,
                       std::size_t days, bool pictureTwelveHour, int order, int mask,
                       const TimeTextSettings& settings, TimeTextStyle style) {
    FormatValues v;
    const DatePiece year = yearPiece(time.year, years, style);
    const DatePiece month = smallPiece(time.month, months, style);
    const DatePiece day = smallPiece(time.day, days, style);
    const DatePiece* ordered[3] = {&year, &month, &day};
    if (order == CTime::mdy) {
        ordered[0] = &month;
        ordered[1] = &day;
        ordered[2] = &year;
    } else if (order == CTime::dmy) {
        ordered[0] = &day;
        ordered[1] = &month;
        ordered[2] = &year;
    }
    // Empty pieces give their place to the ones after them, so the date runs of a picture
    // without one of the three letters take the pieces it has ("yyyy-MM", "dd/MM").
    v.pieceCount = 0;
    for (const DatePiece* piece : ordered) {
        if (piece->width != 0) {
            v.pieces[v.pieceCount++] = *piece;
        }
    }
    v.twelveHour =
        (mask & CTime::hourModeFromFormat) != 0 ? pictureTwelveHour : settings.twelveHour;
    v.shownHour = time.hour;
    if (v.twelveHour) {
        if (v.shownHour > 12) {
            v.shownHour -= 12;
        } else if (v.shownHour == 0) {
            v.shownHour = 12;
        }
    }
    v.pm = time.hour >= 12;
    v.minute = time.minute;
    v.second = time.second;
    v.keepSeparator = (mask & CTime::keepSeparator) != 0;
    v.separator = settings.separator;
    return v;
}

template <TimeTextStyle Style, class Sink>
inline void putField(Sink& sink, int value, bool wide) {
    if (Style == TimeTextStyle::kDigits) {
        putSmall(sink, value, wide);
    } else {
        putPrintf(sink, value, wide ? 2 : 1);
    }
}

template <TimeTextStyle Style, class Sink>
inline void putPiece(Sink& sink, const DatePiece& piece) {
    if (Style == TimeTextStyle::kLegacy) {
        putPrintf(sink, piece.value, piece.width);
    } else if (piece.width == 4) {
        const unsigned int v = static_cast<unsigned int>(piece.value);
        putTwoDigits(sink, v / 100U);
        putTwoDigits(sink, v % 100U);
    } else {
        putSmall(sink, piece.value, piece.width == 2);
    }
}

template <TimeTextStyle Style, class Sink>
inline void runOp(Sink& sink, const PictureOp& op, const FormatValues& v) {
    switch (op.kind) {
        case OpKind::kLiteral:
            sink.put(op.arg);
            break;
        case OpKind::kSeparator:
            sink.put(v.keepSeparator ? op.arg : v.separator);
            break;
        case OpKind::kHour:
            putField<Style>(sink, v.shownHour, op.arg != 0);
            break;
        case OpKind::kMinute:
            putField<Style>(sink, v.minute, op.arg != 0);
            break;
        case OpKind::kSecond:
            putField<Style>(sink, v.second, op.arg != 0);
            break;
        case OpKind::kDate:
            if (static_cast<unsigned int>(op.arg) < v.pieceCount) {
                putPiece<Style>(sink, v.pieces[static_cast<unsigned int>(op.arg)]);
            }
            break;
        case OpKind::kHalf:
            if (v.twelveHour) {
                sink.put2(v.pm ? "PM" : "AM");
            } else {
                sink.dropTrailingBlanks();
            }
            break;
    }
}

template <TimeTextStyle Style, class Sink>
void runPicture(Sink& sink, const char* picture, const FormatValues& v) {
    PictureReader reader(picture);
    PictureOp op{};
    while (reader.next(op)) {
        runOp<Style>(sink, op, v);
    }
}

// Copies `length` bytes of a whole text from `local` into a caller buffer of `size`, cut and
// terminated.
void copyCut(char* buffer, std::size_t size, const char* local, std::size_t length) {
    if (size > 0) {
        const std::size_t kept = length < size ? length : size - 1;
        std::memcpy(buffer, local, kept);
        buffer[kept] = '\0';
    }
}

// The date order a format uses; logs when the picture is to give it and cannot.
int orderFor(const PictureFacts& facts, int mask, const TimeTextSettings& settings, bool* logged) {
    *logged = false;
    if ((mask & CTime::orderFromFormat) == 0) {
        return settings.dateFormat;
    }
    if (facts.order < 0) {
        INFRA_DIAG(kLevelError, "setFormat dateFormat is invalid,set default separator: ymd \n");
        *logged = true;
        return CTime::ymd;
    }
    return facts.order;
}

// Writes `picture` step by step. Short pictures go through a local buffer, so blanks dropped
// by "t" never reach the caller's bytes past the text.
std::size_t formatSteps(const SystemTime& time, const char* picture, const PictureFacts& facts,
                        int order, int mask, const TimeTextSettings& settings, TimeTextStyle style,
                        char* buffer, std::size_t size) {
    const FormatValues v = valuesFor(time, facts.years, facts.months, facts.days, facts.twelveHour,
                                     order, mask, settings, style);
    const bool digits = style == TimeTextStyle::kDigits;
    if (facts.length <= kShortPicture) {
        char local[kShortPicture * kLongestPrintf + 1];
        RoomySink sink(local);
        if (digits) {
            runPicture<TimeTextStyle::kDigits>(sink, picture, v);
        } else {
            runPicture<TimeTextStyle::kLegacy>(sink, picture, v);
        }
        const std::size_t length = sink.length();
        copyCut(buffer, size, local, length);
        return length;
    }
    TextSink sink(buffer, size);
    if (digits) {
        runPicture<TimeTextStyle::kDigits>(sink, picture, v);
    } else {
        runPicture<TimeTextStyle::kLegacy>(sink, picture, v);
    }
    return sink.finish(size);
}

// Prepares `c.layout` for a date order and separator: the text of the picture with every
// digit field left for fillLayout. Only for pictures with `fixedWidth`.
void prepareLayout(CompiledPicture& c, int order, bool keepSeparator, char separator, int key) {
    // A two-digit year is the last two digits of the four; a four-digit one starts with a high
    // slot.
    const SlotField year = c.years > 2 ? SlotField::kYearHigh : SlotField::kYearLow;
    const SlotField orders[3][3] = {{year, SlotField::kMonth, SlotField::kDay},
                                    {SlotField::kMonth, SlotField::kDay, year},
                                    {SlotField::kDay, SlotField::kMonth, year}};
    // As in valuesFor: the date runs take the pieces the picture has, in the order in force.
    SlotField pieces[3] = {year, year, year};
    unsigned int pieceCount = 0;
    for (const SlotField field : orders[order == CTime::mdy || order == CTime::dmy ? order : 0]) {
        const std::uint8_t letters = field == SlotField::kMonth ? c.months
                                     : field == SlotField::kDay ? c.days
                                                                : c.years;
        if (letters != 0) {
            pieces[pieceCount++] = field;
        }
    }
    std::size_t pos = 0;
    std::size_t slots = 0;
    PictureReader reader(c.text);
    PictureOp op{};
    while (reader.next(op)) {
        SlotField field = SlotField::kHour;
        switch (op.kind) {
            case OpKind::kLiteral:
                c.layout[pos++] = op.arg;
                continue;
            case OpKind::kSeparator:
                c.layout[pos++] = keepSeparator ? op.arg : separator;
                continue;
            case OpKind::kDate:
                if (static_cast<unsigned int>(op.arg) >= pieceCount) {
                    continue;
                }
                field = pieces[static_cast<unsigned int>(op.arg)];
                break;
            case OpKind::kMinute:
                field = SlotField::kMinute;
                break;
            case OpKind::kSecond:
                field = SlotField::kSecond;
                break;
            case OpKind::kHalf:  // only prepared for the 12-hour clock
                field = SlotField::kHalf;
                break;
            default:  // kHour
                break;
        }
        c.slots[slots++] = LayoutSlot{static_cast<std::uint8_t>(pos), field};
        pos += 2;
        if (field == SlotField::kYearHigh) {
            c.slots[slots++] = LayoutSlot{static_cast<std::uint8_t>(pos), SlotField::kYearLow};
            pos += 2;
        }
    }
    c.layoutLength = static_cast<std::uint8_t>(pos);
    c.slotCount = static_cast<std::uint8_t>(slots);
    c.layoutKey = key;
}

// Copies the prepared layout to `out` and writes the digits of `time` into it.
void fillLayout(char* out, const CompiledPicture& c, const SystemTime& time, int shownHour) {
    const unsigned int year = wrapped(time.year, 10000U);
    unsigned int values[static_cast<int>(SlotField::kFieldCount)];
    values[static_cast<int>(SlotField::kYearHigh)] = year / 100U;
    values[static_cast<int>(SlotField::kYearLow)] = year % 100U;
    values[static_cast<int>(SlotField::kMonth)] = wrapped(time.month, 100U);
    values[static_cast<int>(SlotField::kDay)] = wrapped(time.day, 100U);
    values[static_cast<int>(SlotField::kHour)] = wrapped(shownHour, 100U);
    values[static_cast<int>(SlotField::kMinute)] = wrapped(time.minute, 100U);
    values[static_cast<int>(SlotField::kSecond)] = wrapped(time.second, 100U);
    values[static_cast<int>(SlotField::kHalf)] = kAmPair + (time.hour >= 12 ? 1U : 0U);
    std::memcpy(out, c.layout, c.layoutLength);
    for (std::size_t i = 0; i < c.slotCount; ++i) {
        const LayoutSlot slot = c.slots[i];
        std::memcpy(out + slot.offset, kTwoDigits.text + 2U * values[static_cast<int>(slot.field)],
                    2);
    }
}

}  // namespace

std::size_t formatTimeText(const SystemTime& time, const char* picture, int mask,
                           const TimeTextSettings& settings, TimeTextStyle style, char* buffer,
                           std::size_t size) {
    PictureFacts facts;
    CompiledPicture* compiled = lookupPicture(picture, facts);
    bool logged = false;
    const int order = orderFor(facts, mask, settings, &logged);
    if (logged && compiled != nullptr) {
        // The log line may have written a time of its own on this thread, replacing the entry.
        compiled = lookupPicture(picture, facts);
    }
    const bool twelveHour =
        (mask & CTime::hourModeFromFormat) != 0 ? facts.twelveHour : settings.twelveHour;
    // On the 24-hour clock "t" takes back blanks: no fixed layout then.
    if (compiled == nullptr || style != TimeTextStyle::kDigits || !compiled->fixedWidth ||
        (compiled->hasHalf && !twelveHour)) {
        return formatSteps(time, picture, facts, order, mask, settings, style, buffer, size);
    }
    const bool keep = (mask & CTime::keepSeparator) != 0;
    const int known = order == CTime::mdy || order == CTime::dmy ? order : CTime::ymd;
    const int key = known | (keep ? 4 : 0) | (twelveHour ? 8 : 0) |
                    static_cast<unsigned char>(settings.separator) << 4;
    if (compiled->layoutKey != key) {
        prepareLayout(*compiled, known, keep, settings.separator, key);
    }
    int shownHour = time.hour;
    if (twelveHour) {
        shownHour = shownHour > 12 ? shownHour - 12 : shownHour == 0 ? 12 : shownHour;
    }
    const std::size_t length = compiled->layoutLength;
    if (length < size) {
        fillLayout(buffer, *compiled, time, shownHour);
        buffer[length] = '\0';
    } else {
        char local[kShortPicture * 4];
        fillLayout(local, *compiled, time, shownHour);
        copyCut(buffer, size, local, length);
    }
    return length;
}

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix
