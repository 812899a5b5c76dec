/// @file
/// Size-bounded string copying, appending and formatting, portable names for two C-runtime
/// routines, and IPv4 addresses as dotted text.
///
/// None of these functions allocates or locks. Every function writes only inside the buffer
/// size it is given and reads a source string only up to its terminator or the count it is
/// given; a null pointer is treated as documented below, never dereferenced.
#ifndef INFRA_STRINGUTIL_H
#define INFRA_STRINGUTIL_H

#include <cstdint>

#include "infra/Defs.h"

namespace Tovix {

/// An IPv4 address as a 32-bit number whose most significant byte is the first octet
/// (1.2.3.4 is 0x01020304). Passed and returned by value; IpAddress{0x01020304} builds one.
union IpAddress {
    std::uint32_t value;
    /// The same four bytes in the machine's memory order (on little-endian machines bytes[0] is
    /// the last octet).
    unsigned char bytes[4];
};
static_assert(sizeof(IpAddress) == 4, "IpAddress is four bytes");

namespace Utils {

/// Copies at most min(dstSize - 1, n) characters of `src` into `dst`, padding with NULs up to
/// that count when `src` is shorter (as C strncpy does), and terminates the copy. Returns the
/// length of the resulting string. With dstSize 0 or a null `dst` nothing is written and 0 is
/// returned; a null `src` counts as "".
INFRA_API unsigned int strncpy(char* dst, unsigned int dstSize, char const* src, unsigned int n);

/// Appends at most min(room, n) characters of `src` to the string in `dst`, where room is
/// dstSize - strlen(dst) - 1, then terminates the buffer's last byte (dst[dstSize - 1]) too.
/// Returns min(room, n), the number of characters there was room for (more than were appended
/// when `src` is shorter). A `dst` without a terminator within dstSize bytes gets one in its
/// last byte and 0 is returned. With dstSize 0 or a null `dst` nothing is written and 0 is
/// returned; a null `src` counts as "".
INFRA_API unsigned int strncat(char* dst, unsigned int dstSize, char const* src, unsigned int n);

/// Formats like snprintf into `str` of `size` bytes; output that does not fit is cut, and the
/// result is always terminated when size is at least 1. Returns the length of the string in
/// `str`. With size 0 or less, or a null `str`, nothing is written and 0 is returned; a null
/// `fmt` gives "".
INFRA_API int snprintf_x(char* str, int size, char const* fmt, ...) INFRA_PRINTF_FORMAT(3, 4);

/// A bounded formatter with the result rule of the traditional _snprintf: returns the number of
/// characters written when the output and its terminator fit in `count` bytes, and -1 when the
/// output was cut (also when it would have filled the buffer exactly, leaving no room for the
/// terminator). Unlike that routine, a cut output is always terminated: the buffer then holds its
/// first count - 1 characters and a NUL. Nothing is written when count is 0 or `buf` is null
/// (the result is then 0 for an empty output, else -1).
INFRA_API extern int (*snprintf)(char* buf, unsigned int count, char const* fmt, ...);

/// Case-insensitive comparison of two strings (ASCII letters compared as lower case), with the
/// sign convention of strcmp. A null string sorts before any other; two nulls are equal.
INFRA_API extern int (*stricmp)(char const* a, char const* b);

/// Writes `ip` as "%d.%d.%d.%d" (first octet from the most significant byte) into `buf` of `len`
/// bytes through snprintf_x, so the text is cut and terminated to fit. Returns `buf`.
INFRA_API char* ipToString(IpAddress ip, char* buf, unsigned int len);

/// Reads four decimal numbers separated by '.' (white space before each number is skipped, a
/// sign is allowed, text after the fourth number is ignored) and keeps the low 8 bits of each
/// (the number taken modulo 256), the first as the most significant byte. When `str` is null or
/// fewer than four numbers are read, logs the warning "param str %s is invalid" and returns the
/// value built from the numbers that were read, the missing octets being 0.
INFRA_API IpAddress stringToIp(char const* str);

}  // namespace Utils
}  // namespace Tovix

#endif  // INFRA_STRINGUTIL_H
