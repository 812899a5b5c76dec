// The picture-string engine: writing a time by a picture and reading one back leniently.
//
// Each thread keeps the last few short pictures it wrote with, keyed by their text, with what
// the whole picture tells (letter counts, date order, 'h'); when every field of a
// picture has a fixed width, also the text it writes with the digits left out, so writing a
// time copies that text and fills in the digits. Other pictures are read step by step as they
// are written; every path shares one reader of the steps, so all give the same text. Reading
// a text has a shortcut for the layout the default picture writes.
#include "infra3/time/TimeText.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "infra3/core/Diagnostics.h"
#include "platform/Tls.h"

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
    for (int i = 0; i < 100; ++i) {
        table.text[2 * i] = static_cast<char>('0' + i / 10);
        table.text[2 * i + 1] = static_cast<char>('0' + i % 10);
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

// What one pass over a whole picture tells.
struct PictureFacts {
    std::size_t length = 0;
    std::size_t years = 0;  // how many y, M and d it holds
    std::size_t months = 0;
    std::size_t days = 0;
    bool twelveHour = false;  // it has an 'h'
    int order = -1;           // date order of the first y, M and d; -1 when in no known order
    std::uint32_t hash = 1;   // of the text; never 0
};

PictureFacts factsOf(const char* picture) {
    PictureFacts facts;
    constexpr std::size_t kMissing = static_cast<std::size_t>(-1);
    std::size_t firstYear = kMissing;
    std::size_t firstMonth = kMissing;
    std::size_t firstDay = kMissing;
    std::size_t i = 0;
    std::uint32_t hash = 0;
    for (; picture[i] != '\0'; ++i) {
        hash = hash * 31U + static_cast<unsigned char>(picture[i]);
        switch (picture[i]) {
            case 'y':
                firstYear = facts.years++ == 0 ? i : firstYear;
                break;
            case 'M':
                firstMonth = facts.months++ == 0 ? i : firstMonth;
                break;
            case 'd':
                firstDay = facts.days++ == 0 ? i : firstDay;
                break;
            case 'h':
                facts.twelveHour = true;
                break;
            default:
                break;
        }
    }
    facts.length = i;
    facts.hash = hash | 1U;
    // A missing letter counts as after the end.
    facts.order =
        orderOf(firstYear == kMissing ? i : firstYear, firstMonth == kMissing ? i : firstMonth,
                firstDay == kMissing ? i : firstDay);
    return facts;
}

// One step of a picture.
enum class OpKind : std::uint8_t {
    kLiteral,    // `arg` copied
    kSeparator,  // `arg` ('-', '.' or '/') or the separator in force
    kHour,       // `arg` 1: two digits at least
    kMinute,
    kSecond,
    kDate,  // date run number `arg` (0..2)
    kHalf,  // "AM"/"PM", or drop the blanks written before it
};

struct PictureOp {
    OpKind kind;
    char arg;
};

// Splits a picture into its steps. Date runs after the third write nothing and give no step.
class PictureReader {
public:
    explicit PictureReader(const char* picture) : m_p(picture), m_dateRuns(0) {}

    // The next step; false at the end of the picture.
    bool next(PictureOp& op) {
        for (;;) {
            const char c = *m_p;
            switch (c) {
                case '\0':
                    return false;
                case '-':
                case '.':
                case '/':
                    ++m_p;
                    op = PictureOp{OpKind::kSeparator, c};
                    return true;
                case 'H':
                case 'h':
                    op = PictureOp{OpKind::kHour,
                                   wide(skipRun([](char x) { return x == 'H' || x == 'h'; }))};
                    return true;
                case 'y':
                case 'M':
                case 'd':
                    skipRun([c](char x) { return x == c; });
                    if (m_dateRuns < 3) {
                        op = PictureOp{OpKind::kDate, static_cast<char>(m_dateRuns++)};
                        return true;
                    }
                    break;
                case 'm':
                    op = PictureOp{OpKind::kMinute, wide(skipRun([](char x) { return x == 'm'; }))};
                    return true;
                case 's':
                    op = PictureOp{OpKind::kSecond, wide(skipRun([](char x) { return x == 's'; }))};
                    return true;
                case 't':
                    skipRun([](char x) { return x == 't'; });
                    op = PictureOp{OpKind::kHalf, 0};
                    return true;
                default:
                    ++m_p;
                    op = PictureOp{OpKind::kLiteral, c};
                    return true;
            }
        }
    }

private:
    static char wide(std::size_t run) { return run > 1 ? 1 : 0; }

    // Steps over the run at the current place of characters for which `same` holds.
    template <class Same>
    std::size_t skipRun(Same same) {
        std::size_t n = 1;
        while (m_p[n] != '\0' && same(m_p[n])) {
            ++n;
        }
        m_p += n;
        return n;
    }

    const char* m_p;
    unsigned int m_dateRuns;
};

// The picture the library starts with, and the one most texts are read by.
constexpr const char* kDefaultPicture = "yyyy-MM-dd HH:mm:ss";

// Pictures up to this length are kept per thread and written through a RoomySink.
constexpr std::size_t kShortPicture = 48;

// Two characters at a fixed place of a prepared text: which value they show (a four-digit year
// is two slots, its hundreds and the rest; kHalf is "AM" or "PM").
enum class SlotField : std::uint8_t {
    kYearHigh,
    kYearLow,
    kMonth,
    kDay,
    kHour,
    kMinute,
    kSecond,
    kHalf,
    kFieldCount,
};

struct Slot {
    std::uint8_t offset;
    SlotField field;
};

// No layout prepared.
constexpr int kNoLayout = -1;

// A short picture read once: its text (the key) and its facts. When every step of the digits
// style writes a fixed number of characters ("t" does on the 12-hour clock), the text it writes
// is also kept prepared for the date order, separator and clock last used (`layout`, with
// `slots` for the digits).
struct CompiledPicture {
    bool used;
    std::uint32_t lastUse;  // the cache's lookup count when last found or kept
    bool fixedWidth;        // the digits style can use a prepared layout (with "t": on 12 hours)
    bool hasHalf;           // has a "t"
    std::uint8_t years;     // capped counts: only 0, 1, 2 and "more" matter
    std::uint8_t months;
    std::uint8_t days;
    bool twelveHour;
    std::int8_t order;
    std::uint8_t length;  // of the text
    int layoutKey;        // what `layout` was prepared for, or kNoLayout
    std::uint8_t layoutLength;
    std::uint8_t slotCount;
    char text[kShortPicture + 1];
    Slot slots[kShortPicture * 2];
    char layout[kShortPicture * 4];
};

constexpr std::size_t kCachedPictures = 8;
constexpr std::size_t kMissesKept = 4;
// Lookups without a use after which a kept picture may be replaced.
constexpr std::uint32_t kIdleBeforeReplaced = 64;

// Plain data, zero-filled when a thread first needs it; on the heap behind a small thread-local
// slot (see Platform::ThreadRecord), so it never weighs on the library's static thread-local
// block.
struct PictureCache {
    CompiledPicture entries[kCachedPictures];
    unsigned int last;    // the entry found last, tried first
    std::uint32_t clock;  // lookups so far (wraps)
    // Hashes of the last pictures missed. A picture is kept on its second miss among them, so
    // one used once is written step by step rather than prepared and soon thrown away.
    std::uint32_t missed[kMissesKept];
    unsigned int nextMissed;
};

std::uint8_t capped(std::size_t count) {
    return static_cast<std::uint8_t>(count < 3 ? count : 3);
}

void compile(const char* picture, const PictureFacts& facts, CompiledPicture& out) {
    out.used = false;
    std::memcpy(out.text, picture, facts.length + 1);
    PictureReader reader(picture);
    PictureOp op{};
    bool fixedFields = true;
    bool dates = false;
    bool halves = false;
    while (reader.next(op)) {
        dates = dates || op.kind == OpKind::kDate;
        halves = halves || op.kind == OpKind::kHalf;
        fixedFields =
            fixedFields && (op.kind == OpKind::kLiteral || op.kind == OpKind::kSeparator ||
                            op.kind == OpKind::kDate || op.kind == OpKind::kHalf || op.arg != 0);
    }
    // A one-letter month or day is one or two digits, wherever the date order puts it.
    out.fixedWidth = fixedFields && !(dates && (facts.months == 1 || facts.days == 1));
    out.hasHalf = halves;
    out.length = static_cast<std::uint8_t>(facts.length);
    out.layoutKey = kNoLayout;
    out.years = capped(facts.years);
    out.months = capped(facts.months);
    out.days = capped(facts.days);
    out.twelveHour = facts.twelveHour;
    out.order = static_cast<std::int8_t>(facts.order);
    out.used = true;
}

// The facts of a kept picture.
PictureFacts factsOf(const CompiledPicture& c) {
    PictureFacts facts;
    facts.length = c.length;
    facts.years = c.years;
    facts.months = c.months;
    facts.days = c.days;
    facts.twelveHour = c.twelveHour;
    facts.order = c.order;
    return facts;
}

// This thread's entry for `picture`, kept on its second miss; null when it is not kept (too
// long, or seen once). `facts` is filled in either way. The entry stays valid until this
// thread's next lookup.
CompiledPicture* lookupPicture(const char* picture, PictureFacts& facts) {
    PictureCache* const kept = Platform::ThreadRecord<PictureCache>::get();
    if (kept == nullptr) {
        facts = factsOf(picture);
        return nullptr;
    }
    PictureCache& cache = *kept;
    ++cache.clock;
    const unsigned int first = cache.last;
    for (unsigned int i = 0; i < kCachedPictures; ++i) {
        const unsigned int at = (first + i) % kCachedPictures;
        CompiledPicture& entry = cache.entries[at];
        // Always the text: the same address may hold another picture by now.
        if (entry.used && entry.text[0] == picture[0] && std::strcmp(entry.text, picture) == 0) {
            cache.last = at;
            entry.lastUse = cache.clock;
            facts = factsOf(entry);
            return &entry;
        }
    }
    facts = factsOf(picture);
    if (facts.length > kShortPicture) {
        return nullptr;
    }
    bool seen = false;
    for (std::uint32_t& hash : cache.missed) {
        if (hash == facts.hash) {
            hash = 0;
            seen = true;
        }
    }
    if (!seen) {
        cache.missed[cache.nextMissed++ % kMissesKept] = facts.hash;
        return nullptr;
    }
    // A free entry, else the one unused longest if it has gone unused a while. Entries in
    // steady use are never replaced: a thread cycling through more pictures than it keeps
    // writes the rest step by step instead of preparing a picture on every call.
    CompiledPicture* victim = nullptr;
    std::uint32_t idle = kIdleBeforeReplaced - 1;
    for (CompiledPicture& entry : cache.entries) {
        if (!entry.used) {
            victim = &entry;
            break;
        }
        if (cache.clock - entry.lastUse > idle) {
            idle = cache.clock - entry.lastUse;
            victim = &entry;
        }
    }
    if (victim == nullptr) {
        return nullptr;
    }
    compile(picture, facts, *victim);
    victim->lastUse = cache.clock;
    cache.last = static_cast<unsigned int>(victim - cache.entries);
    return victim;
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
        c.slots[slots++] = Slot{static_cast<std::uint8_t>(pos), field};
        pos += 2;
        if (field == SlotField::kYearHigh) {
            c.slots[slots++] = Slot{static_cast<std::uint8_t>(pos), SlotField::kYearLow};
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
        const Slot slot = c.slots[i];
        std::memcpy(out + slot.offset, kTwoDigits.text + 2U * values[static_cast<int>(slot.field)],
                    2);
    }
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
    const int order = factsOf(picture).order;
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

namespace {

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
