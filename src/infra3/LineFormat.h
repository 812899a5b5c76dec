// Fast, bounded text building for log lines: a writer for prefix pieces and a printf-compatible
// message formatter. Both truncate like snprintf: what does not fit is dropped and the text
// stays NUL-terminated.
#ifndef INFRA_SRC_INFRA3_LINEFORMAT_H
#define INFRA_SRC_INFRA3_LINEFORMAT_H

#include <cstdarg>
#include <cstddef>
#include <cstring>

namespace Tovix {
namespace Infra {
namespace Detail {

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
        if (value >= 0 && ((width == 2 && value < 100) || (width == 4 && value < 10000))) {
            char digits[4];
            for (int i = width - 1; i >= 0; --i) {
                digits[i] = static_cast<char>('0' + value % 10);
                value /= 10;
            }
            for (int i = 0; i < width; ++i) {
                ch(digits[i]);
            }
        } else {
            number(value, width, true);
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
// l, ll, z, j, t lengths); anything else is handed to vsnprintf. Returns the characters
// written, at most size - 1.
int formatMessage(char* buffer, std::size_t size, const char* format, va_list args);

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SRC_INFRA3_LINEFORMAT_H
