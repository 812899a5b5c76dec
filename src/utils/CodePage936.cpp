// Character sets: Code page 936 (GBK) against UCS-2 and UTF-8.
//
// The whole-text conversions to and from UTF-8 are defined as two steps through a UCS-2 buffer;
// they run here as one pass with the same results, so they need no temporary buffer. Each pass
// has a fast loop for the common characters while the output has ample room, and a general
// step, the definition itself, for everything else.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "infra/CharSet.h"
#include "infra/Defs.h"
#include "utils/Utf8Internal.h"
#include "utils/tables/Cp936Tables.h"

namespace Tovix {
namespace Utils {

namespace {

using Detail::kCp936FirstLead;
using Detail::kCp936LastLead;

inline bool isLead(unsigned int c) {
    return c >= static_cast<unsigned int>(kCp936FirstLead) &&
           c <= static_cast<unsigned int>(kCp936LastLead);
}

// A byte that may follow a lead byte in a pair of the code page.
inline bool isTrail(unsigned int c) {
    return c >= 0x40 && c <= 0xFE && c != 0x7F;
}

// The UTF-8 form of a pair as packed in the table (b0 | b1 << 8 | b2 << 16 | length << 24), 0
// when the pair is unmapped. `lead` must be a lead byte.
inline std::uint32_t pairForm(unsigned int lead, unsigned int trail) {
    return Detail::kCp936ToUtf8[lead - kCp936FirstLead][trail];
}

// The value of a packed form (pairs are never ASCII).
inline unsigned int formValue(std::uint32_t form) {
    const unsigned int b0 = form & 0xFF;
    const unsigned int b1 = (form >> 8) & 0x3F;
    if ((form >> 24) == 2) {
        return ((b0 & 0x1F) << 6) | b1;
    }
    return ((b0 & 0x0F) << 12) | (b1 << 6) | ((form >> 16) & 0x3F);
}

// The value of a pair, 0 when it is unmapped.
inline unsigned int pairValue(unsigned int lead, unsigned int trail) {
    const std::uint32_t form = pairForm(lead, trail);
    return form != 0 ? formValue(form) : 0;
}

// The value of a byte converted alone.
inline unsigned int singleValue(unsigned int c) {
    return c == 0x80 ? 0x20ACu : c;
}

// Decodes the character at `s` of a NUL-terminated text, as Gb2312ToUni walks it. Returns the
// bytes consumed (1 or 2, never past the NUL) and stores the unit, or 0 as the unit of an
// unmapped pair, which produces nothing.
inline int decodeTextChar(const unsigned char* s, unsigned int* unit) {
    const unsigned int c = s[0];
    if (c < 0x80) {
        *unit = c;
        return 1;
    }
    const unsigned int t = s[1];
    if (isLead(c) && t != 0) {
        const unsigned int v = pairValue(c, t);
        *unit = v;
        if (v != 0) {
            return 2;
        }
        // An unmapped pair: a byte that cannot be a trail byte is left for the next character.
        return isTrail(t) ? 2 : 1;
    }
    *unit = singleValue(c);
    return 1;
}

// The pair of `u` as lead << 8 | trail, 0 when it has none.
inline unsigned int pairOf(unsigned int u) {
    return Detail::kUnicodeToCp936[Detail::kUnicodeToCp936Page[u >> 8]][u & 0xFF];
}

// Stores the four bytes of a packed form in memory order; compilers make it one store.
inline void storeForm(std::uint32_t form, unsigned char* o) {
    o[0] = static_cast<unsigned char>(form);
    o[1] = static_cast<unsigned char>(form >> 8);
    o[2] = static_cast<unsigned char>(form >> 16);
    o[3] = static_cast<unsigned char>(form >> 24);
}

// The code page bytes of `u` as lead << 8 | trail for a pair or the byte alone, and their count
// in *length; 0 when `u` has no form.
inline unsigned int encodeUnit(unsigned int u, int* length) {
    const unsigned int pair = pairOf(u);
    if (pair != 0) {
        *length = 2;
        return pair;
    }
    // U+0001-U+00FF without a pair stand for the byte of their value, as the decoder reads a
    // byte converted alone. Characters of the Latin-1 page that do have a pair (U+00B7 and the
    // like) take the pair, so the byte of a lead byte is never emitted for them.
    if (u != 0 && u < 0x100) {
        *length = 1;
        return u;
    }
    *length = 0;
    return 0;
}

inline void storeCode(unsigned int code, int length, unsigned char* o) {
    if (length == 2) {
        o[0] = static_cast<unsigned char>(code >> 8);
        o[1] = static_cast<unsigned char>(code);
    } else {
        o[0] = static_cast<unsigned char>(code);
    }
}

}  // namespace

int char2uni(unsigned char const* s, int len, unsigned short* out) {
    if (s == nullptr || out == nullptr || len < 1) {
        return -1;
    }
    const unsigned int c = s[0];
    if (len >= 2 && isLead(c) && s[1] != 0) {
        const unsigned int v = pairValue(c, s[1]);
        if (v == 0) {
            return -1;
        }
        *out = static_cast<unsigned short>(v);
        return 2;
    }
    *out = static_cast<unsigned short>(singleValue(c));
    return 1;
}

int uni2char(unsigned short u, unsigned char* out, int outLen) {
    if (out == nullptr || outLen < 1) {
        return -1;
    }
    int length;
    const unsigned int code = encodeUnit(u, &length);
    if (length == 0 || length > outLen) {
        return -1;
    }
    storeCode(code, length, out);
    return length;
}

int Gb2312ToUni(char* gb, unsigned short* out, int n) {
    if (gb == nullptr || out == nullptr || n < 1) {
        return 0;
    }
    std::memset(out, 0, static_cast<std::size_t>(n) * sizeof *out);
    const unsigned char* s = reinterpret_cast<const unsigned char*>(gb);
    int count = 0;
    while (count < n && *s != 0) {
        unsigned int unit;
        s += decodeTextChar(s, &unit);
        if (unit != 0) {
            out[count++] = static_cast<unsigned short>(unit);
        }
    }
    return count;
}

int UniTGb2312(unsigned short* u, int n, char* out, int outSize) {
    if (u == nullptr || out == nullptr) {
        return 0;
    }
    if (outSize > 0) {
        std::memset(out, 0, static_cast<std::size_t>(outSize));
    }
    unsigned char* o = reinterpret_cast<unsigned char*>(out);
    int used = 0;
    int count = 0;
    for (; count < n && u[count] != 0; ++count) {
        int length;
        const unsigned int code = encodeUnit(u[count], &length);
        if (length == 0) {
            return -1;
        }
        if (length >= outSize - used) {  // the character and the terminator must fit
            return count;
        }
        storeCode(code, length, o + used);
        used += length;
    }
    return count;
}

int Gb2312TUtf8(char* gb, unsigned char* utf8, int n) {
    if (gb == nullptr || utf8 == nullptr || gb[0] == 0) {
        return 0;
    }
    if (n < 1) {
        return 0;
    }
    const unsigned char* s = reinterpret_cast<const unsigned char*>(gb);
    const unsigned char* const end = s + std::strlen(gb);  // no read may pass the NUL
    unsigned char* o = utf8;
    unsigned char* const outEnd = utf8 + n;

    // Blocks of characters that surely fit: each takes at most two source bytes and three output
    // bytes, and a form is stored as four bytes (the allowance is the caller's and is cleared
    // after the output anyway). While every form fits, the allowance is just the room left.
    for (;;) {
        std::ptrdiff_t budget = std::min((end - s) / 2, (outEnd - o - 1) / 3);
        if (budget <= 0) {
            break;
        }
        for (; budget > 0; --budget) {
            const unsigned int c = s[0];
            if (c < 0x80) {
                // A run of plain text goes eight bytes at a time; the test of the next byte keeps
                // single ASCII characters between pairs cheap.
                if (s[1] < 0x80 && budget >= 8 && Detail::eightPlainAscii(s)) {
                    std::memcpy(o, s, 8);
                    s += 8;
                    o += 8;
                    budget -= 7;
                } else {
                    *o++ = static_cast<unsigned char>(c);
                    ++s;
                }
                continue;
            }
            if (INFRA_LIKELY(isLead(c))) {
                const std::uint32_t form = pairForm(c, s[1]);
                if (INFRA_LIKELY(form != 0)) {
                    storeForm(form, o);
                    o += form >> 24;
                    s += 2;
                    continue;
                }
            }
            unsigned int unit;
            s += decodeTextChar(s, &unit);
            if (unit != 0) {
                o += Detail::encodeUtf8Unit(unit, o);
            }
        }
    }

    // The rest, by the definition: a unit that does not fit in the allowance left costs one byte
    // of it and produces nothing.
    int left = static_cast<int>(outEnd - o);
    while (left > 0 && s < end) {
        unsigned int unit;
        s += decodeTextChar(s, &unit);
        if (unit == 0) {
            continue;
        }
        const int length = Detail::utf8UnitLength(unit);
        if (length > left) {
            --left;
            continue;
        }
        o += Detail::encodeUtf8Unit(unit, o);
        left -= length;
    }
    std::memset(o, 0, static_cast<std::size_t>(outEnd - o));  // the allowance starts cleared
    return static_cast<int>(o - utf8);
}

namespace {

// The fast loop of utf8TGb2312: blocks of ASCII characters and three-byte forms that surely
// fit, each taking at most three source bytes and two output bytes. Stops at anything else;
// advances `s`, `o` and `count` past what it converted.
inline void convertBlockToGb(const unsigned char*& s, const unsigned char* end, unsigned char*& o,
                             const unsigned char* outLast, int& count) {
    std::ptrdiff_t budget = std::min((end - s) / 3, (outLast - o) / 2);
    for (; budget > 0; --budget) {
        const unsigned int c = s[0];
        if (c < 0x80) {
            if (s[1] < 0x80 && budget >= 8 && Detail::eightPlainAscii(s)) {
                std::memcpy(o, s, 8);
                s += 8;
                o += 8;
                count += 8;
                budget -= 7;
            } else {
                *o++ = static_cast<unsigned char>(c);
                ++s;
                ++count;
            }
            continue;
        }
        const unsigned int c1 = s[1];
        const unsigned int c2 = s[2];
        if (INFRA_UNLIKELY((c & 0xF0) != 0xE0 || (c1 & 0xC0) != 0x80 || (c2 & 0xC0) != 0x80)) {
            return;
        }
        const unsigned int v = ((c & 0x0F) << 12) | ((c1 & 0x3F) << 6) | (c2 & 0x3F);
        const unsigned int pair = pairOf(v);
        if (INFRA_UNLIKELY(pair == 0 || v < 0x800)) {
            return;
        }
        o[0] = static_cast<unsigned char>(pair >> 8);
        o[1] = static_cast<unsigned char>(pair);
        o += 2;
        s += 3;
        ++count;
    }
}

}  // namespace

int utf8TGb2312(unsigned char* utf8, char* gb, int n, int gbSize) {
    if (utf8 == nullptr || gb == nullptr) {
        return 0;
    }
    // With no byte to read the text is not looked at; the code page step still clears `gb`.
    if (n > 0 && utf8[0] == 0) {
        return 0;
    }
    const unsigned char* s = utf8;
    // The text ends at its NUL or after `n` bytes; memchr reads no byte past the NUL.
    const void* nul = n > 0 ? std::memchr(s, 0, static_cast<std::size_t>(n)) : s;
    const unsigned char* const end =
        nul != nullptr ? static_cast<const unsigned char*>(nul) : s + n;
    unsigned char* const out = reinterpret_cast<unsigned char*>(gb);
    unsigned char* o = out;
    // The output keeps one byte for the terminator.
    unsigned char* const outLast = gbSize > 0 ? out + gbSize - 1 : out;
    // The output is defined as cleared first and then written; clearing what follows the text
    // at the end gives the same bytes with one pass less.
    const auto finish = [&](int result) {
        if (gbSize > 0) {
            std::memset(o, 0, static_cast<std::size_t>(out + gbSize - o));
        }
        return result;
    };
    int count = 0;

    while (s < end) {
        convertBlockToGb(s, end, o, outLast, count);
        if (s >= end) {
            break;
        }

        // The general step.
        std::uint32_t value;
        const int consumed = Detail::decodeUtf8(s, static_cast<int>(end - s), &value);
        if (consumed < 0) {  // an invalid byte is skipped
            ++s;
            continue;
        }
        s += consumed;
        // Code page 936 has no character beyond U+FFFF; cut to 16 bits such a character would
        // turn into an unrelated one.
        if (value > 0xFFFF) {
            return finish(-1);
        }
        int length;
        const unsigned int code = encodeUnit(value, &length);
        if (length == 0) {
            return finish(-1);
        }
        if (length > outLast - o) {
            return finish(count);
        }
        storeCode(code, length, o);
        o += length;
        ++count;
    }
    return finish(count);
}

}  // namespace Utils
}  // namespace Tovix
