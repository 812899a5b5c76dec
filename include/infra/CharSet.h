/// @file
/// Character-set conversion between UTF-8, 16-bit Unicode (UCS-2, `unsigned short`), 32-bit
/// UCS-4, the Chinese double-byte code page 936 (GBK, a superset of GB2312; the functions carry
/// the name GB2312), Windows code page 1252 and a family of single-byte code pages.
///
/// The functions keep no state, take no locks and allocate nothing; any thread may call them.
/// They are safe on arbitrary input bytes (invalid or overlong UTF-8, surrogates, truncated
/// sequences, unmapped pairs): they read input only up to the length they are given or the
/// terminating NUL of a text argument, whichever the function documents, and write only within
/// the output size they are given. Null pointers give the documented failure result. Only
/// UCS4ToUtf8 logs anything.
///
/// The UTF-8 forms are those of the original definition: 1 to 6 bytes for values up to
/// 0x7FFFFFFF; a form is valid when every continuation byte is 10xxxxxx and the value is not
/// below the smallest value of its length (no overlong forms). Encoded surrogate values
/// (U+D800-U+DFFF) are ordinary values to these functions.
#ifndef INFRA_CHARSET_H
#define INFRA_CHARSET_H

#include "infra/Defs.h"

namespace Tovix {
namespace Utils {

// ---- UTF-8 and UCS-2 ------------------------------------------------------------------------

/// Decodes one UTF-8 sequence of at most `n` bytes at `s` and stores its value in *out, cut to 16
/// bits (values above 0xFFFF keep their low 16 bits). Returns the sequence length (1 to 6), or -1
/// when the lead byte is invalid (0x80-0xBF, 0xFE, 0xFF), a continuation byte is not 10xxxxxx,
/// the sequence would need more than `n` bytes, the form is overlong, `n` is below 1 or `s` is
/// null. A null `out` decodes without storing. Reads only bytes that belong to the sequence.
INFRA_API int utf8_mbtowc(unsigned short* out, unsigned char const* s, int n);

/// Converts up to `n` bytes of UTF-8 at `s` to UCS-2, stopping early at a NUL byte. A byte below
/// 0x80 gives one unit, a valid sequence one unit (cut to 16 bits as by utf8_mbtowc), and an
/// invalid byte is skipped (the walk goes on with the next byte). Returns the number of units
/// written; writes no terminator. `out` must hold one unit per source byte. Null pointers or `n`
/// below 1 give 0.
INFRA_API int utf8_mbstowcs(unsigned short* out, unsigned char const* s, int n);

/// Encodes `wc` at `s` in its shortest UTF-8 form (1 to 3 bytes). Returns the byte count, 0 when
/// `s` is null, or -1 (nothing written) when the form is longer than `maxlen`.
INFRA_API int utf8_wctomb(unsigned char* s, unsigned short wc, int maxlen);

/// Converts units from `w` until a 0 unit, or until `maxlen` bytes of allowance are used up.
/// Every byte written counts against the allowance; a unit whose form does not fit in the bytes
/// left uses up one byte of the allowance and produces nothing (a shorter unit after it may still
/// be written). Returns the bytes written; writes no terminator and never more than `maxlen`
/// bytes. `w` must be 0-terminated or hold enough units. Null pointers give 0.
INFRA_API int utf8_wcstombs(unsigned char* s, unsigned short const* w, int maxlen);

/// Decodes the first character of the NUL-terminated text `s` and stores its length in *len:
///  - a byte 0x01-0x7F gives itself, length 1;
///  - a NUL gives 0, length 0 (nothing consumed: the text has ended);
///  - a lead byte 0xC0-0xDF announces 2 bytes, 0xE0-0xEF 3 bytes (no overlong check); the
///    continuation bytes supply 6 bits each and the value is returned with the announced length;
///  - a first byte 0x80-0xBF or 0xF0-0xFF gives 0, length 0;
///  - a sequence cut short by a NUL gives 0; one cut short by another lead byte or a byte below
///    0x80 gives the bits gathered so far; *len is the announced length in both cases.
/// Never reads past the first byte that is not a continuation byte. A null `s` gives 0 and length
/// 0; a null `len` decodes without storing the length.
INFRA_API unsigned short GetUnicodeFromUtf8(char const* s, int* len);

/// Converts `ucs4Len` bytes of 32-bit values (machine byte order, any alignment) at `ucs4` to
/// UTF-8 at `utf8`: each value gives its 1- to 6-byte form; values with the top bit set produce
/// nothing. Returns the bytes written; writes no terminator. Failures log a warning and return:
///  - 0 with "ucs4 is invalid\n" when `ucs4` is null, "utf8 is invalid\n" when `utf8` is null,
///    "UCS4ToUtf8 ucs4Len error\n" when `ucs4Len` is negative or not a multiple of 4;
///  - the bytes written so far with "UCS4ToUtf8 utf8Size error\n" when the next form would take
///    the output past `utf8Size` bytes.
INFRA_API int UCS4ToUtf8(char* ucs4, int ucs4Len, unsigned char* utf8, int utf8Size);

// ---- Code page 936 ----------------------------------------------------------------------------
//
// Single bytes: 0x00-0x7F are ASCII, 0x80 is U+20AC and 0x81-0xFF stand for U+0081-U+00FF (a lead
// byte without its trail byte keeps its value this way). Double bytes: a lead byte 0x81-0xFE and
// a trail byte give the character of the published code page 936 mapping.

/// Converts one character of at most `len` bytes at `s` into *out. If `len` is at least 2, the
/// first byte is a lead byte and the second byte is not 0, the pair is converted: returns 2, or -1
/// when the pair is unmapped. Otherwise the first byte alone is converted and 1 returned. Returns
/// -1 when `len` is below 1 or a pointer is null; *out is unchanged on -1.
INFRA_API int char2uni(unsigned char const* s, int len, unsigned short* out);

/// Converts `u` to code page 936 at `out`, which holds `outLen` bytes. A character with a
/// double-byte form gives its two bytes and 2 (or -1 when `outLen` is below 2). Any other value
/// from U+0001 to U+00FF gives the single byte of its low 8 bits and 1. Everything else (U+0000,
/// U+20AC, unmapped characters, surrogates) gives -1, as do `outLen` below 1 and a null `out`.
INFRA_API int uni2char(unsigned short u, unsigned char* out, int outLen);

/// Converts the NUL-terminated code page 936 text `gb` to UCS-2: clears `n` units of `out`, then
/// converts character by character (char2uni) until the text ends or `n` units are written; the
/// units after the last one written stay 0. An unmapped pair produces nothing: when its second
/// byte is a possible trail byte (0x40-0x7E, 0x80-0xFE) the pair is skipped, otherwise only the
/// lead byte is, so an ASCII byte after a stray lead byte survives. Returns the number of units;
/// null pointers or `n` below 1 give 0.
INFRA_API int Gb2312ToUni(char* gb, unsigned short* out, int n);

/// Converts UCS-2 to code page 936: clears `outSize` bytes of `out`, then appends the bytes of
/// each unit (uni2char) until a 0 unit or `n` units, keeping the text NUL-terminated within
/// `outSize` bytes. Returns the number of units converted; stops early, returning the units
/// converted so far, when the next character would not fit with the terminator. Returns -1 as
/// soon as a unit has no code page 936 form (what was converted before it stays in `out`). Null
/// pointers give 0.
INFRA_API int UniTGb2312(unsigned short* u, int n, char* out, int outSize);

/// Converts the NUL-terminated code page 936 text `gb` to UTF-8 at `utf8`, as Gb2312ToUni
/// followed by utf8_wcstombs with the allowance `n`: clears `n` bytes of `utf8` and returns the
/// bytes written. Null pointers or an empty `gb` give 0.
INFRA_API int Gb2312TUtf8(char* gb, unsigned char* utf8, int n);

/// Converts at most `n` bytes of the UTF-8 text `utf8` (stopping at a NUL) to code page 936, as
/// utf8_mbstowcs followed by UniTGb2312(..., gb, gbSize): invalid UTF-8 bytes are skipped. Returns
/// the units converted, or -1 when a character has no code page 936 form; a character beyond
/// U+FFFF counts as one (code page 936 has none). Null pointers or an empty `utf8` give 0 with
/// `gb` untouched; `n` below 1 gives 0 with `gb` cleared.
INFRA_API int utf8TGb2312(unsigned char* utf8, char* gb, int n, int gbSize);

// ---- Code page 1252 ---------------------------------------------------------------------------

/// Converts `srcLen` bytes of code page 1252 to UTF-8. The mapping stops at the first byte that is
/// undefined in code page 1252 (0x81, 0x8D, 0x8F, 0x90, 0x9D): that byte and every byte after it
/// give one NUL byte each, as does a 0x00 byte, so the output always has one UTF-8 form per source
/// byte. Returns 0 when the output fits in `dstLen` bytes (it is written to `dst`, without
/// terminator), else the number of bytes needed (nothing written; a null `dst` asks for the size
/// this way). Returns -1 when `src` is null, `srcLen` is below 1 or the size would not fit in an
/// int.
INFRA_API int cp1252_to_utf8(unsigned char* dst, int dstLen, unsigned char const* src, int srcLen);

/// Converts `srcLen` bytes of UTF-8 to code page 1252. Sequences of 1 to 4 bytes are decoded;
/// a character without a code page 1252 form produces nothing. The walk ends at a continuation
/// byte in lead position, at a malformed, overlong or cut sequence, at a 5- or 6-byte lead byte,
/// or when `dstLen` bytes are written. Returns the bytes written (no terminator); null pointers or
/// lengths below 1 give 0.
INFRA_API int utf8_to_cp1252(unsigned char const* src, int srcLen, unsigned char* dst, int dstLen);

/// ---- Single-byte code pages -------------------------------------------------------------------
///
/// Each converts bytes of one code page to UTF-8: IBM code page 862, code page 874, Windows-1250,
/// Windows-1251 and ISO/IEC 8859 parts 1-10 and 13-16. The tables are the published ones except:
/// byte 0x00 is undefined everywhere; code page 874 has no 0x80; ISO 8859-6 maps the digits
/// 0x30-0x39 to U+0660-U+0669; ISO 8859-7 maps 0xA1 to U+02BD and 0xA2 to U+02BC and leaves 0xA4,
/// 0xA5 and 0xAA undefined.
///
/// Contract of every function: returns -1 (both lengths unchanged) when `dst` or `src` is null,
/// `srcLen` is below 1 or `dstLen` is below `srcLen`. Otherwise converts the source bytes in
/// order: an undefined byte is skipped, a defined one is written in UTF-8 if its form fits in the
/// room left, else the conversion stops before it. Then sets `srcLen` to the source bytes taken,
/// `dstLen` to the bytes written (no terminator), and returns 0.
INFRA_API int cp862_to_utf8(unsigned char* dst, int& dstLen, unsigned char const* src, int& srcLen);
INFRA_API int cp874_to_utf8(unsigned char* dst, int& dstLen, unsigned char const* src, int& srcLen);
INFRA_API int cp1250_to_utf8(unsigned char* dst, int& dstLen, unsigned char const* src,
                             int& srcLen);
INFRA_API int cp1251_to_utf8(unsigned char* dst, int& dstLen, unsigned char const* src,
                             int& srcLen);
INFRA_API int iso8859_1_to_utf8(unsigned char* dst, int& dstLen, unsigned char const* src,
                                int& srcLen);
INFRA_API int iso8859_2_to_utf8(unsigned char* dst, int& dstLen, unsigned char const* src,
                                int& srcLen);
INFRA_API int iso8859_3_to_utf8(unsigned char* dst, int& dstLen, unsigned char const* src,
                                int& srcLen);
INFRA_API int iso8859_4_to_utf8(unsigned char* dst, int& dstLen, unsigned char const* src,
                                int& srcLen);
INFRA_API int iso8859_5_to_utf8(unsigned char* dst, int& dstLen, unsigned char const* src,
                                int& srcLen);
INFRA_API int iso8859_6_to_utf8(unsigned char* dst, int& dstLen, unsigned char const* src,
                                int& srcLen);
INFRA_API int iso8859_7_to_utf8(unsigned char* dst, int& dstLen, unsigned char const* src,
                                int& srcLen);
INFRA_API int iso8859_8_to_utf8(unsigned char* dst, int& dstLen, unsigned char const* src,
                                int& srcLen);
INFRA_API int iso8859_9_to_utf8(unsigned char* dst, int& dstLen, unsigned char const* src,
                                int& srcLen);
INFRA_API int iso8859_10_to_utf8(unsigned char* dst, int& dstLen, unsigned char const* src,
                                 int& srcLen);
INFRA_API int iso8859_13_to_utf8(unsigned char* dst, int& dstLen, unsigned char const* src,
                                 int& srcLen);
INFRA_API int iso8859_14_to_utf8(unsigned char* dst, int& dstLen, unsigned char const* src,
                                 int& srcLen);
INFRA_API int iso8859_15_to_utf8(unsigned char* dst, int& dstLen, unsigned char const* src,
                                 int& srcLen);
INFRA_API int iso8859_16_to_utf8(unsigned char* dst, int& dstLen, unsigned char const* src,
                                 int& srcLen);

}  // namespace Utils
}  // namespace Tovix

#endif  // INFRA_CHARSET_H
