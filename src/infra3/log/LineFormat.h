// Log: fast, bounded text building for log lines: a writer for prefix pieces and a
// printf-compatible message formatter. Both truncate like snprintf: what does not fit is dropped
// and the text stays NUL-terminated.
#ifndef INFRA_SRC_INFRA3_LOG_LINEFORMAT_H
#define INFRA_SRC_INFRA3_LOG_LINEFORMAT_H

#include <cstdarg>
#include <cstddef>
#include <cstring>

#include "infra3/core/Digits.h"

namespace Tovix {
namespace Infra {
namespace Detail {

inline void copyPair(char* out, unsigned int value) {
    std::memcpy(out, &kDigitPairs[2 * value], 2);
}

// Copies n bytes; for the short pieces of a log line a few moves instead of a call.
inline void copyShort(char* dst, const char* src, std::size_t n) {
    if (n >= 8) {
        if (n > 16) {
            std::memcpy(dst, src, n);
            return;
        }
        char head[8];
        char tail[8];
        std::memcpy(head, src, 8);
        std::memcpy(tail, src + n - 8, 8);
        std::memcpy(dst, head, 8);
        std::memcpy(dst + n - 8, tail, 8);
    } else if (n >= 4) {
        char head[4];
        char tail[4];
        std::memcpy(head, src, 4);
        std::memcpy(tail, src + n - 4, 4);
        std::memcpy(dst, head, 4);
        std::memcpy(dst + n - 4, tail, 4);
    } else if (n > 0) {
        dst[0] = src[0];
        dst[n / 2] = src[n / 2];
        dst[n - 1] = src[n - 1];
    }
}

// printf's %d, %<width>d and %0<width>d written at `out`, which has room for the digits plus
// 24 bytes of padding (wider fields are cut to that); returns the end of the text.
char* writeNumber(char* out, long long value, int width, bool zeroPad);

// printf's %d of `value`, written at `out` (room for 20 characters); returns the end.
inline char* writeNumber(char* out, long long value) {
    if (value >= 0 && value < 1000) {
        // Line numbers and the like, written in place.
        const unsigned int v = static_cast<unsigned int>(value);
        if (v < 10) {
            *out = static_cast<char>('0' + v);
            return out + 1;
        }
        if (v < 100) {
            copyPair(out, v);
            return out + 2;
        }
        *out = static_cast<char>('0' + v / 100);
        copyPair(out + 1, v % 100);
        return out + 3;
    }
    return writeNumber(out, value, 0, false);
}

// Appends pieces to a buffer of `size` bytes (size >= 1).
class LineWriter {
public:
    LineWriter(char* buffer, std::size_t size)
        : m_begin(buffer), m_pos(buffer), m_end(buffer + size - 1) {}

    // Terminates the text and returns its length.
    int finish() {
        *m_pos = '\0';
        return static_cast<int>(m_pos - m_begin);
    }

    void text(const char* s) {
        if (s != nullptr) {
            append(s, std::strlen(s));
        }
    }

    // A string literal: its length is known at compile time, so the copy is a few moves.
    template <std::size_t N>
    void literal(const char (&s)[N]) {
        append(s, N - 1);
    }

    void append(const char* s, std::size_t n) {
        const std::size_t room = static_cast<std::size_t>(m_end - m_pos);
        if (n <= room) {
            std::memcpy(m_pos, s, n);
            m_pos += n;
        } else {
            std::memcpy(m_pos, s, room);
            m_pos += room;
        }
    }

    void ch(char c) {
        if (m_pos < m_end) {
            *m_pos++ = c;
        }
    }

    // printf's %0<width>d for 0 <= value < 10^width (width 2 or 4), else %d.
    void zeroPadded(int value, int width) {
        if (width == 2 && static_cast<unsigned int>(value) < 100) {
            twoDigits(static_cast<unsigned int>(value));
        } else if (width == 4 && static_cast<unsigned int>(value) < 10000) {
            twoDigits(static_cast<unsigned int>(value) / 100);
            twoDigits(static_cast<unsigned int>(value) % 100);
        } else {
            number(value, width, true);
        }
    }

    // Two decimal digits of value < 100.
    void twoDigits(unsigned int value) {
        if (m_end - m_pos >= 2) {
            std::memcpy(m_pos, &kDigitPairs[2 * value], 2);
            m_pos += 2;
        } else {
            ch(kDigitPairs[2 * value]);
        }
    }

    // printf's %d, %<width>d and %0<width>d.
    void number(long long value, int width = 0, bool zeroPad = false);

private:
    char* m_begin;
    char* m_pos;
    char* m_end;
};

// vsnprintf into `buffer` (`size` bytes, size >= 1), with a fast path for the conversions log
// messages use most (%d %i %u %x %X %c %s %% with the '-' and '0' flags, a width and the h, hh,
// l, ll, z, j, t lengths); anything else is handed to vsnprintf. A lone '%' that ends the
// format is dropped and the text before it written (vsnprintf refuses such a format whole).
// Returns the characters written, at most size - 1.
int formatMessage(char* buffer, std::size_t size, const char* format, va_list args);

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SRC_INFRA3_LOG_LINEFORMAT_H
