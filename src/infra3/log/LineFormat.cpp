// Log, bounded line building: numbers and a printf-compatible fast path for log messages.
#include "infra3/log/LineFormat.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

#include "infra3/core/Inline.h"
#include "platform/Bytes.h"

namespace Tovix {
namespace Infra {
namespace Detail {

namespace {

// Writes the decimal digits of `magnitude` backwards from `end`; returns the first digit.
char* decimalDigits(unsigned long long magnitude, char* end) {
    char* p = end;
    while (magnitude > 0xFFFFFFFFull) {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    }
    // 32-bit division by a constant is a multiplication; two digits per step.
    auto small = static_cast<unsigned int>(magnitude);
    while (small >= 100) {
        p -= 2;
        std::memcpy(p, &kDigitPairs[2 * (small % 100)], 2);
        small /= 100;
    }
    if (small >= 10) {
        p -= 2;
        std::memcpy(p, &kDigitPairs[2 * small], 2);
    } else {
        *--p = static_cast<char>('0' + small);
    }
    return p;
}

// Writes the decimal digits of `value` forwards at `out` (room for 10); returns the end.
inline char* writeDecimal32(char* out, unsigned int value) {
    int digits = 1;
    if (value >= 10) {
        digits = value < 100          ? 2
                 : value < 1000       ? 3
                 : value < 10000      ? 4
                 : value < 100000     ? 5
                 : value < 1000000    ? 6
                 : value < 10000000   ? 7
                 : value < 100000000  ? 8
                 : value < 1000000000 ? 9
                                      : 10;
    }
    char* const last = out + digits;
    char* p = last;
    while (value >= 100) {
        p -= 2;
        std::memcpy(p, &kDigitPairs[2 * (value % 100)], 2);
        value /= 100;
    }
    if (value >= 10) {
        std::memcpy(p - 2, &kDigitPairs[2 * value], 2);
    } else {
        p[-1] = static_cast<char>('0' + value);
    }
    return last;
}

// Writes the hexadecimal digits of `magnitude` backwards from `end`; returns the first digit.
char* hexDigits(unsigned long long magnitude, bool upper, char* end) {
    const char* const symbols = upper ? kHexDigitsUpper : kHexDigitsLower;
    char* p = end;
    do {
        *--p = symbols[magnitude & 15];
        magnitude >>= 4;
    } while (magnitude != 0);
    return p;
}

// One conversion's text: sign, then digits, padded to `width` on the left with blanks or
// zeros, or on the right with blanks.
struct Field {
    const char* sign = "";
    const char* text = "";
    std::size_t length = 0;
    int width = 0;
    bool leftAlign = false;
    bool zeroPad = false;
};

class Output {
public:
    Output(char* buffer, std::size_t size)
        : m_begin(buffer), m_pos(buffer), m_end(buffer + size - 1) {}

    void put(char c) {
        if (m_pos < m_end) {
            *m_pos++ = c;
        }
    }
    void put(const char* s, std::size_t n) {
        const std::size_t room = static_cast<std::size_t>(m_end - m_pos);
        if (n > room) {
            n = room;
        }
        std::memcpy(m_pos, s, n);
        m_pos += n;
    }
    void repeat(char c, int count) {
        for (int i = 0; i < count; ++i) {
            put(c);
        }
    }
    void field(const Field& f) {
        std::size_t signLength = 0;
        while (f.sign[signLength] != '\0') {
            ++signLength;
        }
        const int pad = f.width - static_cast<int>(signLength + f.length);
        if (pad > 0 && !f.leftAlign && !f.zeroPad) {
            repeat(' ', pad);
        }
        put(f.sign, signLength);
        if (pad > 0 && !f.leftAlign && f.zeroPad) {
            repeat('0', pad);
        }
        put(f.text, f.length);
        if (pad > 0 && f.leftAlign) {
            repeat(' ', pad);
        }
    }
    int finish() {
        *m_pos = '\0';
        return static_cast<int>(m_pos - m_begin);
    }

private:
    char* m_begin;
    char* m_pos;
    char* m_end;
};

// The first '%' or the terminating NUL at or after `f`.
const char* percentOrEnd(const char* f) {
    return Platform::byteOrEnd(f, '%');
}

enum class Length { kInt, kChar, kShort, kLong, kLongLong, kSize, kIntMax, kPtrDiff };

// The length of `format` without a final unpaired '%' (a conversion cut off by the end of the
// format, which the C library refuses whole); `format`'s own length when there is none.
std::size_t lengthWithoutLonePercent(const char* format) {
    const std::size_t length = std::strlen(format);
    std::size_t run = 0;
    while (run < length && format[length - 1 - run] == '%') {
        ++run;
    }
    return run % 2 != 0 ? length - 1 : length;
}

// vsnprintf's result rule for a buffer of `size` bytes: the characters held, 0 on failure.
int heldLength(int n, char* buffer, std::size_t size) {
    if (n < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(n) < size ? n : static_cast<int>(size - 1);
}

// vsnprintf; a format it refuses because a lone '%' ends it is formatted without that '%', so
// the text before it is written, as for the formats formatted here.
int formatByCLibrary(char* buffer, std::size_t size, const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(buffer, size, format, args);
    if (n < 0) {
        const std::size_t length = lengthWithoutLonePercent(format);
        // Faulty formats only: the copy may be long, so it lives on the heap.
        std::unique_ptr<char[]> trimmed(format[length] != '\0' ? new (std::nothrow) char[length + 1]
                                                               : nullptr);
        if (trimmed != nullptr) {
            std::memcpy(trimmed.get(), format, length);
            trimmed[length] = '\0';
            n = std::vsnprintf(buffer, size, trimmed.get(), again);
        }
    }
    va_end(again);
    return heldLength(n, buffer, size);
}

}  // namespace

namespace {

// The text of writeNumber in `digits`, ending at `end`; returns its first character.
char* numberText(long long value, int width, bool zeroPad, char* end) {
    const unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                                   : static_cast<unsigned long long>(value);
    char* first = decimalDigits(magnitude, end);
    const int length = static_cast<int>(end - first) + (value < 0 ? 1 : 0);
    int pad = width - length;
    if (pad > 24) {
        pad = 24;  // the widths used here are small; keep the local buffer bounded
    }
    if (zeroPad) {
        for (; pad > 0; --pad) {
            *--first = '0';
        }
    }
    if (value < 0) {
        *--first = '-';
    }
    for (; pad > 0; --pad) {
        *--first = ' ';
    }
    return first;
}

}  // namespace

char* writeNumber(char* out, long long value, int width, bool zeroPad) {
    char digits[48];
    char* const end = digits + sizeof digits;
    const char* first = numberText(value, width, zeroPad, end);
    const std::size_t n = static_cast<std::size_t>(end - first);
    copyShort(out, first, n);
    return out + n;
}

void LineWriter::number(long long value, int width, bool zeroPad) {
    char digits[48];
    char* const end = digits + sizeof digits;
    const char* first = numberText(value, width, zeroPad, end);
    const std::size_t n = static_cast<std::size_t>(end - first);
    const std::size_t room = static_cast<std::size_t>(m_end - m_pos);
    const std::size_t copied = n < room ? n : room;
    std::memcpy(m_pos, first, copied);
    m_pos += copied;
}

namespace {

// The arguments of a message. Held in a record so that helpers can take them from the list by
// reference: a va_list parameter may be an array that has decayed to a pointer, and its address
// is then not a va_list*.
struct Arguments {
    va_list list;
};

// Reads a conversion's flags, width and length modifier at `f` (just past its '%') into `field`
// and `length`; returns the conversion character's place. Null when the C library formats the
// message: a precision, '*', '+', ' ', '#' or a width above 4096.
INFRA_ALWAYS_INLINE const char* readSpec(const char* f, Field& field, Length& length) {
    for (;; ++f) {
        if (*f == '-') {
            field.leftAlign = true;
        } else if (*f == '0') {
            field.zeroPad = true;
        } else {
            break;
        }
    }
    while (*f >= '0' && *f <= '9') {
        field.width = field.width * 10 + (*f++ - '0');
        if (field.width > 4096) {
            return nullptr;
        }
    }
    if (*f == '.' || *f == '*' || *f == '+' || *f == ' ' || *f == '#') {
        return nullptr;
    }
    length = Length::kInt;
    switch (*f) {
        case 'h':
            length = f[1] == 'h' ? Length::kChar : Length::kShort;
            f += f[1] == 'h' ? 2 : 1;
            break;
        case 'l':
            length = f[1] == 'l' ? Length::kLongLong : Length::kLong;
            f += f[1] == 'l' ? 2 : 1;
            break;
        case 'z':
            length = Length::kSize;
            ++f;
            break;
        case 'j':
            length = Length::kIntMax;
            ++f;
            break;
        case 't':
            length = Length::kPtrDiff;
            ++f;
            break;
        default:
            break;
    }
    return f;
}

// The next argument of a signed conversion (%d, %i) of `length`.
INFRA_ALWAYS_INLINE long long signedArgument(Arguments& args, Length length) {
    switch (length) {
        case Length::kLong:
            return va_arg(args.list, long);
        case Length::kLongLong:
            return va_arg(args.list, long long);
        case Length::kSize:
            return static_cast<std::make_signed_t<std::size_t>>(va_arg(args.list, std::size_t));
        case Length::kIntMax:
            return static_cast<long long>(va_arg(args.list, std::intmax_t));
        case Length::kPtrDiff:
            return va_arg(args.list, std::ptrdiff_t);
        case Length::kChar:
            return static_cast<signed char>(va_arg(args.list, int));
        case Length::kShort:
            return static_cast<short>(va_arg(args.list, int));
        default:
            return va_arg(args.list, int);
    }
}

// The next argument of an unsigned conversion (%u, %x, %X) of `length`.
INFRA_ALWAYS_INLINE unsigned long long unsignedArgument(Arguments& args, Length length) {
    switch (length) {
        case Length::kLong:
            return va_arg(args.list, unsigned long);
        case Length::kLongLong:
            return va_arg(args.list, unsigned long long);
        case Length::kSize:
            return va_arg(args.list, std::size_t);
        case Length::kIntMax:
            return static_cast<unsigned long long>(va_arg(args.list, std::uintmax_t));
        case Length::kPtrDiff:
            return static_cast<std::make_unsigned_t<std::ptrdiff_t>>(
                va_arg(args.list, std::ptrdiff_t));
        case Length::kChar:
            return static_cast<unsigned char>(va_arg(args.list, unsigned int));
        case Length::kShort:
            return static_cast<unsigned short>(va_arg(args.list, unsigned int));
        default:
            return va_arg(args.list, unsigned int);
    }
}

// Writes one conversion with its argument; false when the C library is to format the message
// (a length modifier on %c or %s, a %% with flags, an unknown conversion).
INFRA_ALWAYS_INLINE bool writeConversion(Output& out, Field& field, Length length, char conversion,
                                         Arguments& args) {
    char digits[24];
    char* const end = digits + sizeof digits;
    switch (conversion) {
        case 'd':
        case 'i': {
            const long long value = signedArgument(args, length);
            const unsigned long long magnitude = value < 0
                                                     ? 0ULL - static_cast<unsigned long long>(value)
                                                     : static_cast<unsigned long long>(value);
            field.text = decimalDigits(magnitude, end);
            field.length = static_cast<std::size_t>(end - field.text);
            field.sign = value < 0 ? "-" : "";
            field.zeroPad = field.zeroPad && !field.leftAlign;
            out.field(field);
            return true;
        }
        case 'u':
        case 'x':
        case 'X': {
            const unsigned long long value = unsignedArgument(args, length);
            field.text = conversion == 'u' ? decimalDigits(value, end)
                                           : hexDigits(value, conversion == 'X', end);
            field.length = static_cast<std::size_t>(end - field.text);
            field.zeroPad = field.zeroPad && !field.leftAlign;
            out.field(field);
            return true;
        }
        case 'c':
            if (length != Length::kInt) {
                return false;
            }
            digits[0] = static_cast<char>(va_arg(args.list, int));
            field.text = digits;
            field.length = 1;
            field.zeroPad = false;
            out.field(field);
            return true;
        case 's': {
            if (length != Length::kInt) {
                return false;
            }
            const char* s = va_arg(args.list, const char*);
            if (s == nullptr) {
                s = "(null)";
            }
            std::size_t n = 0;
            while (s[n] != '\0') {
                ++n;
            }
            field.text = s;
            field.length = n;
            field.zeroPad = false;
            out.field(field);
            return true;
        }
        case '%':
            if (field.width != 0 || field.leftAlign || field.zeroPad || length != Length::kInt) {
                return false;
            }
            out.put('%');
            return true;
        default:
            return false;
    }
}

// Formats `format` here, every conversion and truncation included; false (output unfinished)
// when a conversion needs the C library.
INFRA_ALWAYS_INLINE bool formatHere(Output& out, const char* format, Arguments& args) {
    const char* f = format;
    while (*f != '\0') {
        if (*f != '%') {
            const char* run = f;
            f = percentOrEnd(f);
            out.put(run, static_cast<std::size_t>(f - run));
            continue;
        }
        ++f;  // past '%'
        if (*f == '\0') {
            break;  // a lone '%' ends the format: dropped
        }
        Field field;
        Length length = Length::kInt;
        f = readSpec(f, field, length);
        if (f == nullptr || !writeConversion(out, field, length, *f, args)) {
            return false;
        }
        ++f;
    }
    return true;
}

// The general formatter: every conversion the fast path leaves, and truncation.
int formatGeneral(char* buffer, std::size_t size, const char* format, va_list args) {
    Arguments own;
    va_copy(own.list, args);
    Output out(buffer, size);
    const bool done = formatHere(out, format, own);
    va_end(own.list);
    return done ? out.finish() : formatByCLibrary(buffer, size, format, args);
}

}  // namespace

int formatMessage(char* buffer, std::size_t size, const char* format, va_list args) {
    // One pass for the messages most lines carry: text, bare %d %u %s, all fitting. Anything
    // else starts over in the general formatter with the caller's arguments untouched.
    va_list ap;
    va_copy(ap, args);
    char* out = buffer;
    char* const end = buffer + size - 1;
    const char* f = format;
    for (;;) {
        const char* run = f;
        f = percentOrEnd(f);
        const std::size_t n = static_cast<std::size_t>(f - run);
        if (n > static_cast<std::size_t>(end - out)) {
            break;
        }
        copyShort(out, run, n);
        out += n;
        if (*f == '\0') {
            *out = '\0';
            va_end(ap);
            return static_cast<int>(out - buffer);
        }
        const char conversion = f[1];
        if (conversion == 'd' || conversion == 'u') {
            if (end - out < 12) {
                break;
            }
            unsigned int magnitude;
            if (conversion == 'd') {
                const int value = va_arg(ap, int);
                magnitude = static_cast<unsigned int>(value);
                if (value < 0) {
                    *out++ = '-';
                    magnitude = 0u - magnitude;
                }
            } else {
                magnitude = va_arg(ap, unsigned int);
            }
            out = writeDecimal32(out, magnitude);
        } else if (conversion == 's') {
            const char* text = va_arg(ap, const char*);
            if (text == nullptr) {
                text = "(null)";
            }
            const std::size_t length = std::strlen(text);
            if (length > static_cast<std::size_t>(end - out)) {
                break;
            }
            copyShort(out, text, length);
            out += length;
        } else {
            break;
        }
        f += 2;
    }
    va_end(ap);
    return formatGeneral(buffer, size, format, args);
}

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix
