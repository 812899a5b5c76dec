// Core: the digit tables every text writer shares (hex digits, the decimal pairs "00" to "99"),
// the hex spelling of a byte run, and the reading of a decimal number.
#ifndef INFRA_SRC_INFRA3_CORE_DIGITS_H
#define INFRA_SRC_INFRA3_CORE_DIGITS_H

#include <climits>
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

// Reads one decimal number as scanf's %d does (blanks skipped, an optional sign, at least one
// digit), held within int's range instead of overflowing; `p` then points past its digits. On
// failure `p` and `out` are left alone.
inline bool readDecimalInt(const char*& p, int& out) {
    const char* q = p;
    while (*q == ' ' || (*q >= '\t' && *q <= '\r')) {
        ++q;
    }
    const bool negative = *q == '-';
    if (*q == '+' || *q == '-') {
        ++q;
    }
    if (*q < '0' || *q > '9') {
        return false;
    }
    long long v = 0;
    for (; *q >= '0' && *q <= '9'; ++q) {
        if (v <= static_cast<long long>(INT_MAX) + 1) {
            v = v * 10 + (*q - '0');
        }
    }
    if (negative) {
        v = -v;
    }
    out = v > INT_MAX ? INT_MAX : (v < INT_MIN ? INT_MIN : static_cast<int>(v));
    p = q;
    return true;
}

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SRC_INFRA3_CORE_DIGITS_H
