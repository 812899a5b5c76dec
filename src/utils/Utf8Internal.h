// Character sets, UTF-8 forms shared by the character-set converters: one decoder and the encoders,
// inline so the conversion loops keep them in registers.
//
// The forms are those of the original UTF-8 definition, one row per length:
//   length  lead mask  lead value  first-byte shift  largest value  smallest value
//   1       0x80       0x00         0                0x7F           0
//   2       0xE0       0xC0         6                0x7FF          0x80
//   3       0xF0       0xE0        12                0xFFFF         0x800
//   4       0xF8       0xF0        18                0x1FFFFF       0x10000
//   5       0xFC       0xF8        24                0x3FFFFFF      0x200000
//   6       0xFE       0xFC        30                0x7FFFFFFF     0x4000000
#ifndef INFRA_SRC_UTILS_UTF8INTERNAL_H
#define INFRA_SRC_UTILS_UTF8INTERNAL_H

#include <cstdint>
#include <cstring>

namespace Tovix {
namespace Utils {
namespace Detail {

// Decodes one sequence of at most `n` (>= 1) bytes at `s` into *value. Returns its length, or -1
// when the lead byte is invalid, a continuation byte is not 10xxxxxx, the sequence needs more
// than `n` bytes or the form is overlong. Reads no byte past the sequence or past `n`.
inline int decodeUtf8(const unsigned char* s, int n, std::uint32_t* value) {
    const std::uint32_t c0 = s[0];
    if (c0 < 0x80) {
        *value = c0;
        return 1;
    }
    int length;
    std::uint32_t v;
    std::uint32_t smallest;
    if (c0 < 0xC0) {
        return -1;
    } else if (c0 < 0xE0) {
        length = 2;
        v = c0 & 0x1F;
        smallest = 0x80;
    } else if (c0 < 0xF0) {
        length = 3;
        v = c0 & 0x0F;
        smallest = 0x800;
    } else if (c0 < 0xF8) {
        length = 4;
        v = c0 & 0x07;
        smallest = 0x10000;
    } else if (c0 < 0xFC) {
        length = 5;
        v = c0 & 0x03;
        smallest = 0x200000;
    } else if (c0 < 0xFE) {
        length = 6;
        v = c0 & 0x01;
        smallest = 0x4000000;
    } else {
        return -1;
    }
    if (n < length) {
        return -1;
    }
    for (int i = 1; i < length; ++i) {
        const std::uint32_t c = s[i] ^ 0x80u;
        if (c & 0xC0u) {
            return -1;
        }
        v = (v << 6) | c;
    }
    if (v < smallest) {
        return -1;
    }
    *value = v;
    return length;
}

// Length of the shortest form of a 16-bit value: 1 to 3.
inline int utf8UnitLength(std::uint32_t u) {
    return u < 0x80 ? 1 : (u < 0x800 ? 2 : 3);
}

// Writes the shortest form of a 16-bit value; the caller guarantees utf8UnitLength(u) bytes of
// room. Returns the length.
inline int encodeUtf8Unit(std::uint32_t u, unsigned char* out) {
    if (u < 0x80) {
        out[0] = static_cast<unsigned char>(u);
        return 1;
    }
    if (u < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | (u >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (u & 0x3F));
        return 2;
    }
    out[0] = static_cast<unsigned char>(0xE0 | (u >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (u & 0x3F));
    return 3;
}

// Length of the form of a value up to 0x7FFFFFFF: 1 to 6.
inline int utf8LongLength(std::uint32_t v) {
    if (v < 0x80) {
        return 1;
    }
    if (v < 0x800) {
        return 2;
    }
    if (v < 0x10000) {
        return 3;
    }
    if (v < 0x200000) {
        return 4;
    }
    return v < 0x4000000 ? 5 : 6;
}

// Writes the form of a value up to 0x7FFFFFFF; the caller guarantees utf8LongLength(v) bytes of
// room. Returns the length.
inline int encodeUtf8Long(std::uint32_t v, unsigned char* out) {
    static constexpr unsigned char kLeadValue[7] = {0, 0x00, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};
    const int length = utf8LongLength(v);
    if (length == 1) {
        out[0] = static_cast<unsigned char>(v);
        return 1;
    }
    for (int i = length - 1; i > 0; --i) {
        out[i] = static_cast<unsigned char>(0x80 | (v & 0x3F));
        v >>= 6;
    }
    out[0] = static_cast<unsigned char>(kLeadValue[length] | v);
    return length;
}

// True when the eight bytes at `p` are all ASCII and none is NUL: one test per eight bytes lets
// the converters copy runs of plain text at once.
inline bool eightPlainAscii(const unsigned char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    // With no high bit set, (w - kOnes) & ~w & kHigh is non-zero exactly when a byte is 0.
    return ((w & kHigh) | ((w - kOnes) & ~w & kHigh)) == 0;
}

// The eight bytes at `p` as one word, in memory order.
inline std::uint64_t loadEight(const unsigned char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

inline void storeEight(unsigned char* p, std::uint64_t w) {
    std::memcpy(p, &w, sizeof w);
}

// Bit 7 of each byte of the result marks a byte of `w` that is not plain ASCII (0x80 and up, or
// NUL). Exact per byte: no carry crosses from one byte into the next.
inline std::uint64_t notPlainAsciiMarks(std::uint64_t w) {
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    return (w | ~((w & kLow7) + kLow7)) & kHigh;
}

// The position in memory (0-7) of the first byte marked in `marks`, which must not be 0.
inline int firstMarkedByte(std::uint64_t marks) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return __builtin_ctzll(marks) >> 3;
#elif defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return __builtin_clzll(marks) >> 3;
#else
    unsigned char bytes[8];
    std::memcpy(bytes, &marks, sizeof bytes);
    int i = 0;
    while (bytes[i] == 0) {
        ++i;
    }
    return i;
#endif
}

}  // namespace Detail
}  // namespace Utils
}  // namespace Tovix

#endif  // INFRA_SRC_UTILS_UTF8INTERNAL_H
