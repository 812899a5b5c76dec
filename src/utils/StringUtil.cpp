// Strings: bounded string helpers and IPv4 address text.
#include "infra/StringUtil.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "infra3/core/Diagnostics.h"

namespace Tovix {
namespace Utils {

namespace {

// The C runtime's bounded formatter always terminates; the traditional routine's "-1 on a cut
// output" rule is kept on top of it.
int formatBounded(char* buf, unsigned int count, char const* fmt, ...) {
    if (fmt == nullptr) {
        fmt = "";
    }
    va_list args;
    va_start(args, fmt);
    int n;
    if (buf == nullptr || count == 0) {
        n = std::vsnprintf(nullptr, 0, fmt, args);
        n = n == 0 ? 0 : -1;
    } else {
        const std::size_t size = count;
        n = std::vsnprintf(buf, size, fmt, args);
        if (n < 0) {
            buf[0] = '\0';
            n = -1;
        } else if (static_cast<unsigned int>(n) >= count) {
            n = -1;
        }
    }
    va_end(args);
    return n;
}

inline int lowerAscii(int c) {
    return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
}

int compareIgnoringCase(char const* a, char const* b) {
    if (a == b) {
        return 0;
    }
    if (a == nullptr) {
        return -1;
    }
    if (b == nullptr) {
        return 1;
    }
    for (;; ++a, ++b) {
        const int ca = lowerAscii(static_cast<unsigned char>(*a));
        const int cb = lowerAscii(static_cast<unsigned char>(*b));
        if (ca != cb || ca == 0) {
            return ca - cb;
        }
    }
}

inline bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
inline bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads one number the way scanf's %d does (blanks skipped, an optional sign, then at least
// one digit) and gives its low 8 bits. The arithmetic is modulo 256 throughout, so digits
// without end never overflow. On failure `p` is left alone.
bool readOctet(const char*& p, std::uint32_t& octet) {
    const char* q = p;
    while (isBlank(*q)) {
        ++q;
    }
    bool negative = false;
    if (*q == '+' || *q == '-') {
        negative = *q == '-';
        ++q;
    }
    if (!isDigit(*q)) {
        return false;
    }
    std::uint32_t v = 0;
    for (; isDigit(*q); ++q) {
        v = (v * 10u + static_cast<std::uint32_t>(*q - '0')) & 0xffu;
    }
    octet = negative ? (0u - v) & 0xffu : v;
    p = q;
    return true;
}

}  // namespace

int (*snprintf)(char* buf, unsigned int count, char const* fmt, ...) = &formatBounded;
int (*stricmp)(char const* a, char const* b) = &compareIgnoringCase;

unsigned int strncpy(char* dst, unsigned int dstSize, char const* src, unsigned int n) {
    if (dst == nullptr || dstSize == 0) {
        return 0;
    }
    if (src == nullptr) {
        src = "";
    }
    const unsigned int count = n < dstSize - 1 ? n : dstSize - 1;
    unsigned int length = 0;
    for (; length < count && src[length] != '\0'; ++length) {
        dst[length] = src[length];
    }
    std::memset(dst + length, 0, count - length);
    dst[count] = '\0';
    return length;
}

unsigned int strncat(char* dst, unsigned int dstSize, char const* src, unsigned int n) {
    if (dst == nullptr || dstSize == 0) {
        return 0;
    }
    if (src == nullptr) {
        src = "";
    }
    unsigned int used = 0;
    while (used < dstSize && dst[used] != '\0') {
        ++used;
    }
    if (used == dstSize) {
        dst[dstSize - 1] = '\0';
        return 0;
    }
    const unsigned int room = dstSize - used - 1;
    const unsigned int count = n < room ? n : room;
    unsigned int i = 0;
    for (; i < count && src[i] != '\0'; ++i) {
        dst[used + i] = src[i];
    }
    dst[used + i] = '\0';
    dst[dstSize - 1] = '\0';
    return count;
}

int snprintf_x(char* str, int size, char const* fmt, ...) {
    if (str == nullptr || size <= 0) {
        return 0;
    }
    if (fmt == nullptr) {
        str[0] = '\0';
        return 0;
    }
    va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(str, static_cast<std::size_t>(size), fmt, args);
    va_end(args);
    if (n < 0) {
        // An output error leaves the buffer's content unspecified.
        str[0] = '\0';
        return 0;
    }
    if (n >= size) {
        str[size - 1] = '\0';
        return size - 1;
    }
    return n;
}

char* ipToString(IpAddress ip, char* buf, unsigned int len) {
    const int size = len > static_cast<unsigned int>(INT_MAX) ? INT_MAX : static_cast<int>(len);
    snprintf_x(buf, size, "%d.%d.%d.%d", static_cast<int>((ip.value >> 24) & 0xffu),
               static_cast<int>((ip.value >> 16) & 0xffu),
               static_cast<int>((ip.value >> 8) & 0xffu), static_cast<int>(ip.value & 0xffu));
    return buf;
}

IpAddress stringToIp(char const* str) {
    std::uint32_t value = 0;
    int numbers = 0;
    if (str != nullptr) {
        const char* p = str;
        for (; numbers < 4; ++numbers) {
            if (numbers > 0) {
                if (*p != '.') {
                    break;
                }
                ++p;
            }
            std::uint32_t octet = 0;
            if (!readOctet(p, octet)) {
                break;
            }
            value |= octet << (24 - 8 * numbers);
        }
    }
    if (numbers < 4) {
        INFRA_DIAG_PLAIN(Infra::Detail::kLevelWarn, "param str %s is invalid\n",
                         str != nullptr ? str : "(null)");
    }
    IpAddress ip;
    ip.value = value;
    return ip;
}

}  // namespace Utils
}  // namespace Tovix
