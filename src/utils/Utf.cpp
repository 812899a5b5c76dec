// Character sets, UTF-8 against UCS-2: the per-character and whole-text conversions.
#include <cstdint>

#include "infra/CharSet.h"
#include "utils/Utf8Internal.h"

namespace Tovix {
namespace Utils {

int utf8_mbtowc(unsigned short* out, unsigned char const* s, int n) {
    if (s == nullptr || n < 1) {
        return -1;
    }
    std::uint32_t value = 0;
    const int length = Detail::decodeUtf8(s, n, &value);
    if (length > 0 && out != nullptr) {
        *out = static_cast<unsigned short>(value);
    }
    return length;
}

int utf8_mbstowcs(unsigned short* out, unsigned char const* s, int n) {
    if (out == nullptr || s == nullptr) {
        return 0;
    }
    unsigned short* o = out;
    // The length is tested before the byte is read: a text without NUL ends at `n`.
    while (n > 0 && *s != 0) {
        if (*s < 0x80) {
            *o++ = *s++;
            --n;
            continue;
        }
        std::uint32_t value;
        const int length = Detail::decodeUtf8(s, n, &value);
        if (length < 0) {
            ++s;
            --n;
        } else {
            *o++ = static_cast<unsigned short>(value);
            s += length;
            n -= length;
        }
    }
    return static_cast<int>(o - out);
}

int utf8_wctomb(unsigned char* s, unsigned short wc, int maxlen) {
    if (s == nullptr) {
        return 0;
    }
    if (Detail::utf8UnitLength(wc) > maxlen) {
        return -1;
    }
    return Detail::encodeUtf8Unit(wc, s);
}

int utf8_wcstombs(unsigned char* s, unsigned short const* w, int maxlen) {
    if (s == nullptr || w == nullptr) {
        return 0;
    }
    unsigned char* o = s;
    while (maxlen > 0 && *w != 0) {
        const unsigned int u = *w++;
        const int length = Detail::utf8UnitLength(u);
        if (length > maxlen) {
            --maxlen;  // the unit is dropped but still costs one byte of allowance
            continue;
        }
        o += Detail::encodeUtf8Unit(u, o);
        maxlen -= length;
    }
    return static_cast<int>(o - s);
}

unsigned short GetUnicodeFromUtf8(char const* s, int* len) {
    int ignored;
    int& length = len != nullptr ? *len : ignored;
    length = 0;
    if (s == nullptr) {
        return 0;
    }
    const unsigned int c0 = static_cast<unsigned char>(s[0]);
    if (c0 == 0) {
        return 0;
    }
    if (c0 < 0x80) {
        length = 1;
        return static_cast<unsigned short>(c0);
    }
    unsigned int value;
    if (c0 >= 0xC0 && c0 < 0xE0) {
        length = 2;
        value = c0 & 0x1F;
    } else if (c0 >= 0xE0 && c0 < 0xF0) {
        length = 3;
        value = c0 & 0x0F;
    } else {
        return 0;
    }
    for (int i = 1; i < length; ++i) {
        const unsigned int c = static_cast<unsigned char>(s[i]);
        if (c == 0) {
            return 0;
        }
        if ((c & 0xC0) != 0x80) {
            return static_cast<unsigned short>(value);
        }
        value = (value << 6) | (c & 0x3F);
    }
    return static_cast<unsigned short>(value);
}

}  // namespace Utils
}  // namespace Tovix
