// Constant tables of the CRC module, built by the compiler from the polynomials.
//
// Slice k of a table holds, for every byte value b, the CRC register after b followed by k zero
// bytes, starting from a zero register: slice 0 is the classic byte table, and slices 1..7 let
// eight bytes be folded with eight independent look-ups.
#ifndef INFRA_SRC_UTILS_TABLES_CRCTABLES_H
#define INFRA_SRC_UTILS_TABLES_CRCTABLES_H

#include <cstdint>

namespace Tovix {
namespace Utils {
namespace Detail {

// Reflected forms of the generator polynomials.
constexpr std::uint32_t kCrc32Reflected = 0xEDB88320u;  // x^32 + ... (0x04C11DB7)
constexpr std::uint16_t kCrc16Reflected = 0xA001u;      // x^16 + x^15 + x^2 + 1 (0x8005)

template <class Word>
struct SlicedCrcTable {
    Word slice[8][256];
};

template <class Word>
constexpr SlicedCrcTable<Word> makeSlicedCrcTable(Word reflectedPoly) {
    SlicedCrcTable<Word> t{};
    for (unsigned b = 0; b < 256; ++b) {
        Word c = static_cast<Word>(b);
        for (int bit = 0; bit < 8; ++bit) {
            c = static_cast<Word>((c & 1u) ? ((c >> 1) ^ reflectedPoly) : (c >> 1));
        }
        t.slice[0][b] = c;
    }
    for (int k = 1; k < 8; ++k) {
        for (unsigned b = 0; b < 256; ++b) {
            const Word prev = t.slice[k - 1][b];
            t.slice[k][b] = static_cast<Word>((prev >> 8) ^ t.slice[0][prev & 0xFFu]);
        }
    }
    return t;
}

inline constexpr SlicedCrcTable<std::uint32_t> kCrc32Table =
    makeSlicedCrcTable<std::uint32_t>(kCrc32Reflected);
inline constexpr SlicedCrcTable<std::uint16_t> kCrc16Table =
    makeSlicedCrcTable<std::uint16_t>(kCrc16Reflected);

// Folding constants for carry-less multiplication, in the bit-reflected domain: x^n mod P,
// reflected and shifted left by one so that a 64 x 33-bit product lines up with the data.
constexpr std::uint64_t crc32FoldConstant(int n) {
    std::uint64_t r = 1;  // x^0, normal bit order, degree < 32
    for (int i = 0; i < n; ++i) {
        r <<= 1;
        if (r & 0x100000000ull) {
            r ^= 0x104C11DB7ull;
        }
    }
    std::uint64_t reflected = 0;
    for (int i = 0; i < 32; ++i) {
        if (r & (1ull << i)) {
            reflected |= 1ull << (31 - i);
        }
    }
    return reflected << 1;
}

}  // namespace Detail
}  // namespace Utils
}  // namespace Tovix

#endif  // INFRA_SRC_UTILS_TABLES_CRCTABLES_H
