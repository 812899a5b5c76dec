// Time: what the picture writer, cache and reader share: a picture's facts, steps, kept record.
#ifndef INFRA_SRC_INFRA3_TIME_TIMEPICTURE_H
#define INFRA_SRC_INFRA3_TIME_TIMEPICTURE_H

#include <cstddef>
#include <cstdint>

namespace Tovix {
namespace Infra {
namespace Detail {

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

// The facts of a whole picture, read in one pass.
PictureFacts factsOf(const char* picture);

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

struct LayoutSlot {
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
    LayoutSlot slots[kShortPicture * 2];
    char layout[kShortPicture * 4];
};

// This thread's entry for `picture`, kept on its second miss; null when it is not kept (too
// long, or seen once). `facts` is filled in either way. The entry stays valid until this
// thread's next lookup.
CompiledPicture* lookupPicture(const char* picture, PictureFacts& facts);

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SRC_INFRA3_TIME_TIMEPICTURE_H
