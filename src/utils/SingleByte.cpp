// Character sets, single-byte code pages against UTF-8: code page 1252 both ways and the family of
// converters to UTF-8 that differ only in their table.
#include <climits>
#include <cstdint>
#include <cstring>

#include "infra/CharSet.h"
#include "utils/Utf8Internal.h"
#include "utils/tables/SingleByteTables.h"

namespace Tovix {
namespace Utils {

namespace {

// The UTF-8 form of a byte packed as b0 | b1 << 8 | b2 << 16 | length << 24; 0 for a byte
// without a form.
constexpr std::uint32_t packForm(std::uint32_t v) {
    if (v < 0x80) {
        return v | 1u << 24;
    }
    if (v < 0x800) {
        return (0xC0 | v >> 6) | (0x80 | (v & 0x3F)) << 8 | 2u << 24;
    }
    return (0xE0 | v >> 12) | (0x80 | ((v >> 6) & 0x3F)) << 8 | (0x80 | (v & 0x3F)) << 16 |
           3u << 24;
}

inline unsigned int formLength(std::uint32_t form) {
    return form >> 24;
}

struct FormTable {
    std::uint32_t forms[256];
    bool asciiIsPlain;  // bytes 0x01-0x7F stand for themselves
};

// The forms of a family table: a 0 entry has no form.
constexpr FormTable makeForms(const std::uint16_t (&table)[256]) {
    FormTable t{};
    t.asciiIsPlain = true;
    for (int b = 0; b < 256; ++b) {
        t.forms[b] = table[b] == 0 ? 0 : packForm(table[b]);
        if (b > 0 && b < 0x80 && table[b] != b) {
            t.asciiIsPlain = false;
        }
    }
    return t;
}

constexpr bool isCp1252Undefined(unsigned int b) {
    return b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D;
}

// Code page 1252 to UTF-8: byte 0x00 gives a NUL; the undefined bytes have no form (they end the
// mapping).
constexpr FormTable makeCp1252Forms() {
    FormTable t{};
    t.asciiIsPlain = true;
    for (unsigned int b = 0; b < 256; ++b) {
        t.forms[b] = isCp1252Undefined(b) ? 0 : packForm(Detail::kCp1252[b]);
    }
    return t;
}

// The reverse search over code page 1252 reduces to its range 0x80-0x9F: every other byte stands
// for itself (the undefined ones keep their value too).
constexpr bool cp1252IsPlainOutside80To9F() {
    for (unsigned int b = 0; b < 256; ++b) {
        if ((b < 0x80 || b >= 0xA0 || isCp1252Undefined(b)) && Detail::kCp1252[b] != b) {
            return false;
        }
    }
    return true;
}
static_assert(cp1252IsPlainOutside80To9F(), "code page 1252 table layout");

constexpr FormTable kCp862Forms = makeForms(Detail::kCp862);
constexpr FormTable kCp874Forms = makeForms(Detail::kCp874);
constexpr FormTable kCp1250Forms = makeForms(Detail::kCp1250);
constexpr FormTable kCp1251Forms = makeForms(Detail::kCp1251);
constexpr FormTable kIso8859_1Forms = makeForms(Detail::kIso8859_1);
constexpr FormTable kIso8859_2Forms = makeForms(Detail::kIso8859_2);
constexpr FormTable kIso8859_3Forms = makeForms(Detail::kIso8859_3);
constexpr FormTable kIso8859_4Forms = makeForms(Detail::kIso8859_4);
constexpr FormTable kIso8859_5Forms = makeForms(Detail::kIso8859_5);
constexpr FormTable kIso8859_6Forms = makeForms(Detail::kIso8859_6);
constexpr FormTable kIso8859_7Forms = makeForms(Detail::kIso8859_7);
constexpr FormTable kIso8859_8Forms = makeForms(Detail::kIso8859_8);
constexpr FormTable kIso8859_9Forms = makeForms(Detail::kIso8859_9);
constexpr FormTable kIso8859_10Forms = makeForms(Detail::kIso8859_10);
constexpr FormTable kIso8859_13Forms = makeForms(Detail::kIso8859_13);
constexpr FormTable kIso8859_14Forms = makeForms(Detail::kIso8859_14);
constexpr FormTable kIso8859_15Forms = makeForms(Detail::kIso8859_15);
constexpr FormTable kIso8859_16Forms = makeForms(Detail::kIso8859_16);
constexpr FormTable kCp1252Forms = makeCp1252Forms();

// Stores all four bytes of a packed form; the bytes past its length are scratch that a later
// store must cover (see the callers). Compilers make it one store.
inline void storeWhole(std::uint32_t form, unsigned char* o) {
    o[0] = static_cast<unsigned char>(form);
    o[1] = static_cast<unsigned char>(form >> 8);
    o[2] = static_cast<unsigned char>(form >> 16);
    o[3] = static_cast<unsigned char>(form >> 24);
}

// Stores exactly the bytes of a form that has one.
inline void storeExact(std::uint32_t form, unsigned char* o) {
    const unsigned int length = formLength(form);
    o[0] = static_cast<unsigned char>(form);
    if (length > 1) {
        o[1] = static_cast<unsigned char>(form >> 8);
        if (length > 2) {
            o[2] = static_cast<unsigned char>(form >> 16);
        }
    }
}

// Stores the forms of the eight bytes at `s` whole (a byte without a form stores four scratch
// bytes and advances nothing). The caller guarantees 25 bytes of room and that later stores
// cover the scratch bytes past the returned position.
inline unsigned char* storeEightForms(const FormTable& table, const unsigned char* s,
                                      unsigned char* o) {
    for (int i = 0; i < 8; ++i) {
        const std::uint32_t form = table.forms[s[i]];
        storeWhole(form, o);
        o += formLength(form);
    }
    return o;
}

// True when none of the eight bytes at `p` has its high bit set.
inline bool eightAscii(const unsigned char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return (w & 0x8080808080808080ull) == 0;
}

// The one routine of the family.
int convertSingleByte(const FormTable& table, unsigned char* dst, int& dstLen,
                      const unsigned char* src, int& srcLen) {
    if (dst == nullptr || src == nullptr || srcLen < 1 || dstLen < srcLen) {
        return -1;
    }
    const unsigned char* s = src;
    const unsigned char* const srcEnd = src + srcLen;
    unsigned char* o = dst;
    unsigned char* const dstEnd = dst + dstLen;

    // The block loop stores eight bytes or a whole form at a time, leaving up to eight scratch
    // bytes past its output. They must not outlive the call: the loop stops before the last
    // eight bytes that have a form, and keeps room for their forms, so the exact stores of the
    // rest cover the scratch.
    const unsigned char* blockEnd = srcEnd;
    for (int defined = 0; defined < 8;) {
        if (blockEnd == src) {
            break;
        }
        --blockEnd;
        defined += table.forms[*blockEnd] != 0;
    }
    // A pass stores at most 25 bytes and advances at most 24; the eight forms after the loop
    // need 24 more.
    constexpr std::ptrdiff_t kRoom = 8 * 3 + 1 + 8 * 3;
    while (blockEnd - s >= 8 && dstEnd - o >= kRoom) {
        // Plain ASCII up to the first other byte is copied as it is, then that byte is converted;
        // text that is not ASCII goes eight forms at a time.
        const std::uint64_t w = Detail::loadEight(s);
        const std::uint64_t marks =
            table.asciiIsPlain ? Detail::notPlainAsciiMarks(w) : ~std::uint64_t{0};
        if (marks == 0) {
            Detail::storeEight(o, w);
            s += 8;
            o += 8;
            continue;
        }
        const int plain = Detail::firstMarkedByte(marks);
        if (plain == 0) {
            o = storeEightForms(table, s, o);
            s += 8;
            continue;
        }
        Detail::storeEight(o, w);
        s += plain;
        o += plain;
        const std::uint32_t form = table.forms[*s++];
        storeWhole(form, o);
        o += formLength(form);
    }

    for (; s < srcEnd; ++s) {
        const std::uint32_t form = table.forms[*s];
        if (form != 0) {
            if (formLength(form) > static_cast<unsigned int>(dstEnd - o)) {
                break;
            }
            storeExact(form, o);
            o += formLength(form);
        }
    }
    srcLen = static_cast<int>(s - src);
    dstLen = static_cast<int>(o - dst);
    return 0;
}

// The code page 1252 byte of `v`, or -1.
inline int cp1252Byte(std::uint32_t v) {
    if (v < 0x80 || (v >= 0xA0 && v <= 0xFF)) {
        return static_cast<int>(v);
    }
    for (unsigned int b = 0x80; b < 0xA0; ++b) {
        if (Detail::kCp1252[b] == v) {
            return static_cast<int>(b);
        }
    }
    return -1;
}

}  // namespace

namespace {

// cp1252_to_utf8 when `dst` holds three bytes per source byte, so the output surely fits and
// needs no sizing pass. Every source byte gives at least one output byte, so whole stores are
// safe while eight source bytes follow the block: their output covers the scratch.
void cp1252ToUtf8Roomy(unsigned char* dst, const unsigned char* src, int srcLen) {
    const unsigned char* s = src;
    const unsigned char* const srcEnd = src + srcLen;
    unsigned char* o = dst;
    while (srcEnd - s >= 16) {
        const std::uint64_t w = Detail::loadEight(s);
        const std::uint64_t marks = w & 0x8080808080808080ull;
        if (marks == 0) {
            Detail::storeEight(o, w);
            s += 8;
            o += 8;
            continue;
        }
        const int plain = Detail::firstMarkedByte(marks);
        if (plain != 0) {
            Detail::storeEight(o, w);
            s += plain;
            o += plain;
        }
        // At least one byte that is not ASCII; a run of them goes form by form.
        const unsigned char* const runEnd = s + (plain != 0 ? 1 : 8);
        while (s < runEnd) {
            const std::uint32_t form = kCp1252Forms.forms[*s];
            if (form == 0) {
                break;
            }
            storeWhole(form, o);
            o += formLength(form);
            ++s;
        }
        if (s < runEnd) {
            break;  // an undefined byte: the mapping stops here
        }
    }
    for (; s < srcEnd; ++s) {
        const std::uint32_t form = kCp1252Forms.forms[*s];
        if (form == 0) {
            break;
        }
        storeExact(form, o);
        o += formLength(form);
    }
    std::memset(o, 0, static_cast<std::size_t>(srcEnd - s));
}

}  // namespace

namespace {

// The size cp1252_to_utf8 needs: the forms of the bytes before the first undefined one, then
// one NUL for that byte and each byte after it. `*mappedEnd` receives the first undefined byte
// (`srcEnd` when there is none).
std::int64_t cp1252Utf8Size(const unsigned char* src, const unsigned char* srcEnd,
                            const unsigned char** mappedEnd) {
    const unsigned char* s = src;
    std::int64_t total = 0;
    while (srcEnd - s >= 8) {
        if (eightAscii(s)) {
            total += 8;
            s += 8;
            continue;
        }
        unsigned int sum = 0;
        bool undefined = false;
        for (int i = 0; i < 8; ++i) {
            const unsigned int length = formLength(kCp1252Forms.forms[s[i]]);
            undefined |= length == 0;
            sum += length;
        }
        if (undefined) {
            break;  // the byte-wise walk below finds it
        }
        total += sum;
        s += 8;
    }
    while (s < srcEnd) {
        const unsigned int length = formLength(kCp1252Forms.forms[*s]);
        if (length == 0) {
            break;
        }
        total += length;
        ++s;
    }
    *mappedEnd = s;
    return total + (srcEnd - s);
}

// Writes the forms of the bytes before `mappedEnd` at `dst`, then a NUL for each byte from
// `mappedEnd` to `srcEnd`; `total` is what cp1252Utf8Size gave, and fits in `dst`.
void cp1252ToUtf8Sized(unsigned char* dst, const unsigned char* src, const unsigned char* mappedEnd,
                       const unsigned char* srcEnd, std::int64_t total) {
    // Every byte before mappedEnd has a form and the output of those bytes ends at mappedOut, so
    // whole stores are safe while they stay below it: later forms cover their scratch. A NUL byte
    // is its own form here, so only bytes from 0x80 up leave the plain copy.
    unsigned char* o = dst;
    unsigned char* const mappedOut = dst + (total - (srcEnd - mappedEnd));
    const unsigned char* s = src;
    while (mappedEnd - s >= 8 && mappedOut - o >= 8 * 3 + 1) {
        const std::uint64_t w = Detail::loadEight(s);
        const std::uint64_t marks = w & 0x8080808080808080ull;
        if (marks == 0) {
            Detail::storeEight(o, w);
            s += 8;
            o += 8;
            continue;
        }
        const int plain = Detail::firstMarkedByte(marks);
        if (plain == 0) {
            o = storeEightForms(kCp1252Forms, s, o);  // every byte here has a form
            s += 8;
            continue;
        }
        Detail::storeEight(o, w);
        s += plain;
        o += plain;
        const std::uint32_t form = kCp1252Forms.forms[*s++];
        storeWhole(form, o);
        o += formLength(form);
    }
    for (; s < mappedEnd; ++s) {
        const std::uint32_t form = kCp1252Forms.forms[*s];
        storeExact(form, o);
        o += formLength(form);
    }
    std::memset(o, 0, static_cast<std::size_t>(srcEnd - mappedEnd));
}

}  // namespace

int cp1252_to_utf8(unsigned char* dst, int dstLen, unsigned char const* src, int srcLen) {
    if (src == nullptr || srcLen < 1) {
        return -1;
    }
    if (dst != nullptr && dstLen / 3 >= srcLen) {
        cp1252ToUtf8Roomy(dst, src, srcLen);
        return 0;
    }
    const unsigned char* const srcEnd = src + srcLen;
    const unsigned char* mappedEnd = srcEnd;
    const std::int64_t total = cp1252Utf8Size(src, srcEnd, &mappedEnd);
    if (total > INT_MAX) {
        return -1;
    }
    if (dst == nullptr || total > dstLen) {
        return static_cast<int>(total);
    }
    cp1252ToUtf8Sized(dst, src, mappedEnd, srcEnd, total);
    return 0;
}

int utf8_to_cp1252(unsigned char const* src, int srcLen, unsigned char* dst, int dstLen) {
    if (src == nullptr || dst == nullptr || srcLen < 1 || dstLen < 1) {
        return 0;
    }
    const unsigned char* s = src;
    const unsigned char* const srcEnd = src + srcLen;
    unsigned char* o = dst;
    unsigned char* const dstEnd = dst + dstLen;
    while (s < srcEnd && o < dstEnd) {
        if (srcEnd - s >= 8 && dstEnd - o >= 8 && eightAscii(s)) {
            std::memcpy(o, s, 8);
            s += 8;
            o += 8;
            continue;
        }
        const unsigned int c = *s;
        // A continuation byte in lead position and the leads of 5- and 6-byte forms end the walk.
        if ((c >= 0x80 && c < 0xC0) || c >= 0xF8) {
            break;
        }
        std::uint32_t value;
        const int length = Detail::decodeUtf8(s, static_cast<int>(srcEnd - s), &value);
        if (length < 0) {
            break;
        }
        const int b = cp1252Byte(value);
        if (b >= 0) {
            *o++ = static_cast<unsigned char>(b);
        }
        s += length;
    }
    return static_cast<int>(o - dst);
}

#define INFRA_SINGLE_BYTE_CONVERTER(name, forms)                                       \
    int name(unsigned char* dst, int& dstLen, unsigned char const* src, int& srcLen) { \
        return convertSingleByte(forms, dst, dstLen, src, srcLen);                     \
    }

INFRA_SINGLE_BYTE_CONVERTER(cp862_to_utf8, kCp862Forms)
INFRA_SINGLE_BYTE_CONVERTER(cp874_to_utf8, kCp874Forms)
INFRA_SINGLE_BYTE_CONVERTER(cp1250_to_utf8, kCp1250Forms)
INFRA_SINGLE_BYTE_CONVERTER(cp1251_to_utf8, kCp1251Forms)
INFRA_SINGLE_BYTE_CONVERTER(iso8859_1_to_utf8, kIso8859_1Forms)
INFRA_SINGLE_BYTE_CONVERTER(iso8859_2_to_utf8, kIso8859_2Forms)
INFRA_SINGLE_BYTE_CONVERTER(iso8859_3_to_utf8, kIso8859_3Forms)
INFRA_SINGLE_BYTE_CONVERTER(iso8859_4_to_utf8, kIso8859_4Forms)
INFRA_SINGLE_BYTE_CONVERTER(iso8859_5_to_utf8, kIso8859_5Forms)
INFRA_SINGLE_BYTE_CONVERTER(iso8859_6_to_utf8, kIso8859_6Forms)
INFRA_SINGLE_BYTE_CONVERTER(iso8859_7_to_utf8, kIso8859_7Forms)
INFRA_SINGLE_BYTE_CONVERTER(iso8859_8_to_utf8, kIso8859_8Forms)
INFRA_SINGLE_BYTE_CONVERTER(iso8859_9_to_utf8, kIso8859_9Forms)
INFRA_SINGLE_BYTE_CONVERTER(iso8859_10_to_utf8, kIso8859_10Forms)
INFRA_SINGLE_BYTE_CONVERTER(iso8859_13_to_utf8, kIso8859_13Forms)
INFRA_SINGLE_BYTE_CONVERTER(iso8859_14_to_utf8, kIso8859_14Forms)
INFRA_SINGLE_BYTE_CONVERTER(iso8859_15_to_utf8, kIso8859_15Forms)
INFRA_SINGLE_BYTE_CONVERTER(iso8859_16_to_utf8, kIso8859_16Forms)

#undef INFRA_SINGLE_BYTE_CONVERTER

}  // namespace Utils
}  // namespace Tovix
