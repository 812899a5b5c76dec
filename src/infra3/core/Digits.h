// Core: the digit tables every text writer shares (hex digits, the decimal pairs "00" to "99")
// and the hex spelling of a byte run.
#ifndef INFRA_SRC_INFRA3_CORE_DIGITS_H
#define INFRA_SRC_INFRA3_CORE_DIGITS_H

#include <cstddef>

namespace Tovix {
namespace Infra {
namespace Detail {

inline constexpr char kHexDigitsLower[] = "0123456789abcdef";
inline constexpr char kHexDigitsUpper[] = "0123456789ABCDEF";

// "00" "01" ... "99": the pair of n starts at 2 * n.
inline constexpr char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the `count` bytes at `bytes` as 2 * count lowercase hex digits at `out` (no NUL).
inline void writeHexLower(const unsigned char* bytes, std::size_t count, char* out) {
    for (std::size_t i = 0; i < count; ++i) {
        out[2 * i] = kHexDigitsLower[bytes[i] >> 4];
        out[2 * i + 1] = kHexDigitsLower[bytes[i] & 15];
    }
}

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SRC_INFRA3_CORE_DIGITS_H
