/// @file
/// Base64 text encoding with the standard alphabet ("A"-"Z", "a"-"z", "0"-"9", "+", "/") and the
/// padding character "=". No line breaks are produced or accepted.
///
/// The functions keep no state, allocate nothing and take no locks: the caller supplies every
/// buffer and may call them from any thread. They do not check their pointers: null pointers and
/// buffers smaller than the size functions report are the caller's fault.
#ifndef INFRA_BASE64_H
#define INFRA_BASE64_H

#include "infra/Defs.h"

namespace Tovix {
namespace Utils {

/// The size of the buffer base64Encode needs for `n` input bytes, counting the terminating NUL:
/// (n + 2) / 3 * 4 + 1. A negative `n` counts as 0 (the result is 1). When the result would not
/// fit in an int (n above 1610612733) the result is -1.
INFRA_API int base64EncodeLen(int n);

/// Encodes the `n` bytes at `src` into `dst` and writes a terminating NUL. One remaining byte
/// ends the text with two characters and "==", two remaining bytes with three characters and "=".
/// Returns the number of characters written including the NUL, which equals base64EncodeLen(n).
/// A negative `n` encodes nothing (writes the NUL, returns 1); an `n` for which base64EncodeLen
/// reports -1 writes only the NUL and returns -1. `dst` must hold base64EncodeLen(n) bytes and
/// must not overlap `src`.
INFRA_API int base64Encode(char* dst, const char* src, int n);

/// A buffer size enough to decode `src`: with m the number of leading alphabet characters of
/// `src`, (m + 3) / 4 * 3 + 1. Reads `src` up to and including the first byte outside the
/// alphabet ("=", NUL, white space and every byte from 0x80 up end the text) and nothing beyond.
/// Returns -1 when the size would not fit in an int.
INFRA_API int base64DecodeLen(const char* src);

/// Decodes the leading alphabet characters of `src` into `dst` and writes a NUL after the decoded
/// bytes. Decoding stops at the first byte outside the alphabet; nothing after that byte is read.
/// Each group of four characters gives three bytes; a last group of two or three characters gives
/// one or two bytes, a single last character gives nothing. Returns the number of decoded bytes,
/// not counting the NUL. `dst` must hold base64DecodeLen(src) bytes and must not overlap `src`.
/// When base64DecodeLen(src) would report -1, only the NUL is written and the result is -1.
INFRA_API int base64Decode(char* dst, const char* src);

namespace Detail {

/// True when base64Decode currently uses the processor's vector instructions (it has them and
/// they are not switched off).
INFRA_API bool base64Accelerated();

/// Tests only: `false` makes base64Decode use the portable path even where the processor offers
/// vector instructions; `true` restores the choice by processor. Takes effect for calls that
/// start after it returns, on every thread.
INFRA_API void setBase64Acceleration(bool enable);

}  // namespace Detail

}  // namespace Utils
}  // namespace Tovix

#endif  // INFRA_BASE64_H
