// Character-set conversion: the tables against glibc's iconv where found (each difference that
// remains listed), the UTF-8 forms against a decoder written here, the one-pass code page 936
// conversions against their two-step definitions, and every converter's bounds on bad input.
#include "infra/CharSet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "UtilsTestHelpers.h"
#include "support/LogCapture.h"

#if defined(INFRA_HAVE_ICONV)
#include <iconv.h>
#endif

using namespace Tovix::Utils;
using namespace UtilsTest;

namespace {

// A NUL-terminated copy in a block of exactly its size: a read past the NUL is an
// AddressSanitizer report.
std::vector<char> cText(const Bytes& b) {
    std::vector<char> t(b.begin(), b.end());
    t.push_back('\0');
    return t;
}

unsigned char* u8(std::vector<char>& t) {
    return reinterpret_cast<unsigned char*>(t.data());
}

// The UTF-8 forms of 1 to 6 bytes, shortest forms only, decoded from their definition.
int modelDecode(const unsigned char* s, int n, std::uint32_t* value) {
    static const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000, 0x200000, 0x4000000};
    int length = 1;
    while (length < 7 && (s[0] << length & 0x80) != 0) {
        ++length;
    }
    length = s[0] < 0x80 ? 1 : length == 1 || length == 7 ? 0 : length;
    if (length == 0 || length > n) {
        return -1;
    }
    std::uint32_t v = length == 1 ? s[0] : s[0] & (0x7Fu >> length);
    for (int i = 1; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80) {
            return -1;
        }
        v = v << 6 | (s[i] & 0x3Fu);
    }
    *value = v;
    return v < smallest[length] ? -1 : length;
}

#if defined(INFRA_HAVE_ICONV)
// Converts all of `in` with iconv; false when it refuses any of it.
bool iconvText(const char* to, const char* from, const Bytes& in, Bytes* out) {
    const iconv_t cd = iconv_open(to, from);
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1)) << from << " to " << to;
    Bytes copy(in);
    out->assign(in.size() * 4 + 16, 0);
    char* ip = reinterpret_cast<char*>(copy.data());
    char* op = reinterpret_cast<char*>(out->data());
    std::size_t il = copy.size();
    std::size_t ol = out->size();
    const bool ok = iconv(cd, &ip, &il, &op, &ol) != static_cast<std::size_t>(-1) && il == 0;
    iconv_close(cd);
    out->resize(out->size() - ol);
    return ok;
}

// The one code point iconv reads from `in`, -1 when it refuses it or reads more than one.
long iconvPoint(const char* from, const Bytes& in) {
    Bytes out;
    std::uint32_t u = 0;
    if (!iconvText("UTF-32LE", from, in, &out) || out.size() != 4) {
        return -1;
    }
    std::memcpy(&u, out.data(), 4);
    return static_cast<long>(u);
}
#endif

// Random code page 936 text without NUL: ASCII, pairs with any trail byte, stray high bytes.
Bytes randomGb(std::mt19937& rng, std::size_t length) {
    Bytes out;
    while (out.size() < length) {
        const unsigned k = rng() % 10;
        if (k < 3) {
            out.push_back(static_cast<unsigned char>(1 + rng() % 127));
        } else if (k < 8) {
            out.push_back(static_cast<unsigned char>(0x81 + rng() % 0x7E));
            out.push_back(static_cast<unsigned char>(0x40 + rng() % 0xBF));
        } else {
            out.push_back(static_cast<unsigned char>(1 + rng() % 255));
        }
    }
    out.resize(length);
    return out;
}

// Random UTF-8 text without NUL: ASCII, forms of 16-bit values and stray bytes.
Bytes randomUtf8(std::mt19937& rng, std::size_t length) {
    Bytes out;
    while (out.size() < length) {
        const unsigned k = rng() % 10;
        unsigned char form[3] = {static_cast<unsigned char>('a' + k), 0, 0};
        const int n = k < 3 ? 1 : k < 9 ? utf8_wctomb(form, 0x80 + rng() % 0xFF80, 3) : 1;
        form[0] = k == 9 ? static_cast<unsigned char>(0x80 + rng() % 0x40) : form[0];
        out.insert(out.end(), form, form + n);
    }
    out.resize(length);
    return out;
}

using SingleByteConverter = int (*)(unsigned char*, int&, unsigned char const*, int&);

// The single-byte converters, the iconv name of their code page and the bytes where the tables
// here deliberately differ from it (-1: undefined here). Byte 0x00 is undefined in every table.
// Code page 874 has no 0x80 (a later addition); ISO 8859-6 maps its digits to U+0660-U+0669;
// ISO 8859-7 follows its 1987 edition (0xA1, 0xA2 are U+02BD, U+02BC; 0xA4, 0xA5, 0xAA, added
// in 2003, are undefined).
const struct SingleByteTable {
    SingleByteConverter convert;
    const char* name;
    std::map<int, long> differences;
} kSingleByte[] = {
    {cp862_to_utf8, "CP862", {}},
    {cp874_to_utf8, "CP874", {{0x80, -1}}},
    {cp1250_to_utf8, "CP1250", {}},
    {cp1251_to_utf8, "CP1251", {}},
    {iso8859_1_to_utf8, "ISO-8859-1", {}},
    {iso8859_2_to_utf8, "ISO-8859-2", {}},
    {iso8859_3_to_utf8, "ISO-8859-3", {}},
    {iso8859_4_to_utf8, "ISO-8859-4", {}},
    {iso8859_5_to_utf8, "ISO-8859-5", {}},
    {iso8859_6_to_utf8,
     "ISO-8859-6",
     {{0x30, 0x660},
      {0x31, 0x661},
      {0x32, 0x662},
      {0x33, 0x663},
      {0x34, 0x664},
      {0x35, 0x665},
      {0x36, 0x666},
      {0x37, 0x667},
      {0x38, 0x668},
      {0x39, 0x669}}},
    {iso8859_7_to_utf8,
     "ISO-8859-7",
     {{0xA1, 0x2BD}, {0xA2, 0x2BC}, {0xA4, -1}, {0xA5, -1}, {0xAA, -1}}},
    {iso8859_8_to_utf8, "ISO-8859-8", {}},
    {iso8859_9_to_utf8, "ISO-8859-9", {}},
    {iso8859_10_to_utf8, "ISO-8859-10", {}},
    {iso8859_13_to_utf8, "ISO-8859-13", {}},
    {iso8859_14_to_utf8, "ISO-8859-14", {}},
    {iso8859_15_to_utf8, "ISO-8859-15", {}},
    {iso8859_16_to_utf8, "ISO-8859-16", {}},
};

}  // namespace

// ---- UTF-8, UCS-2 and UCS-4 ---------------------------------------------------------------------

TEST(Utf8Conversion, DecodingFollowsTheFormTableOnEverySequence) {
    std::mt19937 rng(8);
    for (int round = 0; round < 300000; ++round) {
        // Every two-byte sequence, then longer ones with mostly continuation bytes.
        Bytes s = {static_cast<unsigned char>(round >> 8), static_cast<unsigned char>(round)};
        if (round >= 0x10000) {
            s.assign(1 + rng() % 6, 0);
            s[0] = static_cast<unsigned char>(0xC0 + rng() % 0x40);
            for (std::size_t i = 1; i < s.size(); ++i) {
                s[i] = static_cast<unsigned char>(rng() % 8 ? 0x80 + rng() % 0x40 : rng());
            }
        }
        const int n = round < 0x10000 ? 2 : static_cast<int>(s.size() - rng() % 2);
        std::uint32_t v = 0;
        const int length = modelDecode(s.data(), n, &v);
        unsigned short u = 0x1234;
        ASSERT_EQ(utf8_mbtowc(&u, s.data(), n), length) << toHex(s.data(), s.size()) << " " << n;
        ASSERT_EQ(u, length < 0 ? 0x1234 : v & 0xFFFF) << toHex(s.data(), s.size());
    }
    unsigned char s[3] = {0xE4, 0xB8, 0x80};
    EXPECT_EQ(utf8_mbtowc(nullptr, s, 3), 3);
    EXPECT_EQ(utf8_mbtowc(nullptr, nullptr, 3), -1);
    EXPECT_EQ(utf8_mbtowc(nullptr, s, 0), -1);
}

TEST(Utf8Conversion, EveryUnitEncodesInItsShortestForm) {
    for (std::uint32_t u = 0; u <= 0xFFFF; ++u) {
        unsigned char s[3];
        const int length = utf8_wctomb(s, static_cast<unsigned short>(u), 3);
        ASSERT_EQ(length, u < 0x80 ? 1 : (u < 0x800 ? 2 : 3)) << u;
        ASSERT_EQ(utf8_wctomb(s, static_cast<unsigned short>(u), length - 1), -1);
        std::uint32_t v = 0;
        ASSERT_EQ(modelDecode(s, length, &v), length);
        ASSERT_EQ(v, u);
#if defined(INFRA_HAVE_ICONV)
        Bytes theirs;  // iconv refuses lone surrogates, which are ordinary values here
        if (u != 0 && (u < 0xD800 || u > 0xDFFF)) {
            const Bytes point = {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8),
                                 0, 0};
            ASSERT_TRUE(iconvText("UTF-8", "UTF-32LE", point, &theirs));
            ASSERT_EQ(Bytes(s, s + length), theirs) << u;
        }
#endif
    }
    EXPECT_EQ(utf8_wctomb(nullptr, 0x41, 4), 0);
}

TEST(Utf8Conversion, TextsSkipBadBytesAndCountEveryByteAgainstTheAllowance) {
    unsigned short out[16] = {};
    const Bytes skip = {'a', 0xFF, 'b', 0xC3, 0xA9, 0x80, 'c', 0, 'd'};
    ASSERT_EQ(utf8_mbstowcs(out, skip.data(), static_cast<int>(skip.size())), 4);
    EXPECT_EQ(std::vector<unsigned short>(out, out + 4),
              (std::vector<unsigned short>{'a', 'b', 0xE9, 'c'}));
    EXPECT_EQ(utf8_mbstowcs(out, skip.data(), 1), 1);
    const Bytes cut = {'a', 0xE4, 0xB8};  // a form cut by the length: each byte skipped alone
    EXPECT_EQ(utf8_mbstowcs(out, cut.data(), 3), 1);
    EXPECT_EQ(utf8_mbstowcs(out, cut.data(), 0), 0);
    EXPECT_EQ(utf8_mbstowcs(nullptr, cut.data(), 3), 0);

    // 'a' takes one byte; 0x4E00 does not fit in the two left and costs one; 'b' takes the last.
    const unsigned short text[] = {'a', 0x4E00, 'b', 0xE9, 0};
    Guarded whole(8);
    EXPECT_EQ(utf8_wcstombs(whole.data(), text, 8), 7);
    EXPECT_EQ(whole.contents(), bytes({'a', 0xE4, 0xB8, 0x80, 'b', 0xC3, 0xA9, Guarded::kFill}));
    Guarded small(3);
    EXPECT_EQ(utf8_wcstombs(small.data(), text, 3), 2);
    EXPECT_EQ(small.contents(), bytes({'a', 'b', Guarded::kFill}));
    EXPECT_TRUE(small.guardsIntact());
    EXPECT_EQ(utf8_wcstombs(small.data(), text, 0), 0);
    EXPECT_EQ(utf8_wcstombs(nullptr, text, 2), 0);
}

TEST(GetUnicodeFromUtf8, DecodesTheFirstCharacterWithItsOwnRules) {
    const struct {
        const char* text;
        unsigned short value;
        int length;
    } cases[] = {
        {"A", 0x41, 1},
        {"", 0, 0},
        {"\xC3\xA9z", 0xE9, 2},
        {"\xC0\xAF", 0x2F, 2},  // no overlong check here
        {"\xE4\xB8\x80", 0x4E00, 3},
        {"\x80", 0, 0},
        {"\xBF\x80", 0, 0},
        {"\xF0\x9F\x98\x80", 0, 0},
        {"\xFF", 0, 0},
        {"\xE4\xB8", 0, 3},  // cut by the NUL
        {"\xC3", 0, 2},
        {"\xE4\x41", 0x4, 3},  // cut by another byte: the bits so far
        {"\xE4\xB8\xC3", 0x138, 3},
        {"\xC3\xE4\xB8\x80", 0x3, 2},
    };
    for (const auto& c : cases) {
        std::vector<char> text = cText(Bytes(c.text, c.text + std::strlen(c.text)));
        int length = -7;
        EXPECT_EQ(GetUnicodeFromUtf8(text.data(), &length), c.value) << c.text;
        EXPECT_EQ(length, c.length) << c.text;
    }
    int length = -7;
    EXPECT_EQ(GetUnicodeFromUtf8(nullptr, &length), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(GetUnicodeFromUtf8("\xC3\xA9", nullptr), 0xE9);
}

TEST(UCS4ToUtf8, EncodesOneToSixByteFormsAndReportsBadArguments) {
    const std::uint32_t values[] = {0x41, 0xE9, 0x4E00, 0x1F600, 0x80000000u, 0x7FFFFFFF};
    std::vector<char> ucs4(1 + sizeof values);  // one byte ahead: the values are unaligned
    std::memcpy(ucs4.data() + 1, values, sizeof values);
    char* const v = ucs4.data() + 1;
    const Bytes all = {0x41, 0xC3, 0xA9, 0xE4, 0xB8, 0x80, 0xF0, 0x9F,
                       0x98, 0x80, 0xFD, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF};
    // Input, length, output size: result, bytes written, the warning ("" for none).
    const struct {
        char* ucs4;
        int length;
        int size;
        bool nullOut;
        int result;
        const char* warning;
    } cases[] = {{v, 24, 17, false, 16, ""},
                 {v, 16, 9, false, 6, "UCS4ToUtf8 utf8Size error\n"},  // U+1F600 does not fit
                 {v, 16, 10, false, 10, ""},
                 {v, 6, 16, false, 0, "UCS4ToUtf8 ucs4Len error\n"},
                 {v, -4, 16, false, 0, "UCS4ToUtf8 ucs4Len error\n"},
                 {nullptr, 8, 16, false, 0, "ucs4 is invalid\n"},
                 {v, 8, 16, true, 0, "utf8 is invalid\n"},
                 {v, 0, 16, false, 0, ""}};
    for (const auto& c : cases) {
        TestSupport::LogCapture log;
        Guarded out(static_cast<std::size_t>(c.size));
        EXPECT_EQ(UCS4ToUtf8(c.ucs4, c.length, c.nullOut ? nullptr : out.data(), c.size), c.result);
        EXPECT_EQ(Bytes(out.data(), out.data() + c.result),
                  Bytes(all.begin(), all.begin() + c.result));
        EXPECT_EQ(out.data()[c.result], Guarded::kFill);  // no terminator
        const std::string text = log.text();
        EXPECT_EQ(text.empty() ? "" : text.substr(text.size() - std::strlen(c.warning)), c.warning);
    }
}

// ---- Code page 936 ------------------------------------------------------------------------------

TEST(CodePage936, SingleCharactersFollowTheDocumentedRules) {
    const struct {
        Bytes in;
        int len;
        int result;
        unsigned short value;
    } decoded[] = {
        {{0xB0, 0xA1}, 2, 2, 0x554A},  {{0xB0, 0xA1}, 1, 1, 0xB0},  // a lead byte alone is itself
        {{0x80, 0x41}, 2, 1, 0x20AC},  {{0xFF, 0xA1}, 2, 1, 0xFF},
        {{0xB0, 0x00}, 2, 1, 0xB0},    {{0x00}, 1, 1, 0},
        {{0x81, 0x7F}, 2, -1, 0x1234}, {{0xAA, 0xA1}, 2, -1, 0x1234},
        {{0xB0, 0xA1}, 0, -1, 0x1234},
    };
    for (const auto& c : decoded) {
        unsigned short u = 0x1234;
        EXPECT_EQ(char2uni(c.in.data(), c.len, &u), c.result) << toHex(c.in.data(), c.in.size());
        EXPECT_EQ(u, c.value);
    }
    unsigned short u = 0;
    EXPECT_EQ(char2uni(nullptr, 2, &u), -1);
    EXPECT_EQ(char2uni(decoded[0].in.data(), 2, nullptr), -1);

    // U+00B7 and the like take their pair: a byte of theirs would be a lead byte and swallow
    // the next character. Latin-1 characters without a pair give the byte of their value.
    const struct {
        unsigned short u;
        int outLen;
        int result;
        Bytes out;
    } encoded[] = {{0x554A, 2, 2, {0xB0, 0xA1}}, {0x554A, 1, -1, {}},
                   {0x41, 1, 1, {0x41}},         {0x00B7, 2, 2, {0xA1, 0xA4}},
                   {0x00E9, 2, 2, {0xA8, 0xA6}}, {0x00B7, 1, -1, {}},
                   {0x00C0, 1, 1, {0xC0}},       {0, 2, -1, {}},
                   {0x20AC, 2, -1, {}},          {0xD800, 2, -1, {}},
                   {0xE000, 2, -1, {}},          {0x41, 0, -1, {}}};
    for (const auto& c : encoded) {
        Guarded out(2);
        EXPECT_EQ(uni2char(c.u, out.data(), c.outLen), c.result) << c.u;
        Bytes want = c.out;
        want.resize(2, Guarded::kFill);
        EXPECT_EQ(out.contents(), want) << c.u;
    }
    EXPECT_EQ(uni2char(0x41, nullptr, 2), -1);
}

TEST(CodePage936, Gb2312ToUniWalksForwardPastUnmappedPairs) {
    // The user-area pair AA A1 is skipped whole; B0 and 81 are skipped alone, since 0A and 7F
    // cannot be trail bytes; the final B0 has no trail byte and stands for itself.
    std::vector<char> text =
        cText({'A', 0xB0, 0xA1, 'B', 0xAA, 0xA1, 'C', 0xB0, 0x0A, 0x81, 0x7F, 0xB0});
    const std::vector<unsigned short> expected = {'A', 0x554A, 'B', 'C', 0x0A, 0x7F, 0xB0, 0};
    for (int n = 0; n <= 8; ++n) {
        Guarded out(static_cast<std::size_t>(n) * 2);
        ASSERT_EQ(Gb2312ToUni(text.data(), out.units(), n), std::min(n, 7));
        ASSERT_EQ(std::vector<unsigned short>(out.units(), out.units() + n),
                  std::vector<unsigned short>(expected.begin(), expected.begin() + n));
        ASSERT_TRUE(out.guardsIntact());
    }
    unsigned short out[2];
    EXPECT_EQ(Gb2312ToUni(nullptr, out, 2), 0);
    EXPECT_EQ(Gb2312ToUni(text.data(), nullptr, 2), 0);
}

TEST(CodePage936, UniTGb2312KeepsTheTextTerminatedWithinOutSize) {
    unsigned short text[] = {0x554A, 'A', 0x554A, 0};
    const struct {
        int n;
        int outSize;
        int result;
        Bytes written;
    } cases[] = {{8, 6, 3, {0xB0, 0xA1, 'A', 0xB0, 0xA1, 0}},
                 {8, 5, 2, {0xB0, 0xA1, 'A', 0, 0}},
                 {8, 4, 2, {0xB0, 0xA1, 'A', 0}},
                 {8, 3, 1, {0xB0, 0xA1, 0}},
                 {8, 2, 0, {0, 0}},
                 {8, 1, 0, {0}},
                 {8, 0, 0, {}},
                 {2, 6, 2, {0xB0, 0xA1, 'A', 0, 0, 0}}};
    for (const auto& c : cases) {
        Guarded out(static_cast<std::size_t>(c.outSize));
        EXPECT_EQ(UniTGb2312(text, c.n, out.text(), c.outSize), c.result) << c.outSize;
        EXPECT_EQ(out.contents(), c.written) << c.outSize;
        EXPECT_TRUE(out.guardsIntact());
    }
    unsigned short bad[] = {'A', 0x20AC, 'B', 0};
    Guarded partial(4);
    EXPECT_EQ(UniTGb2312(bad, 8, partial.text(), 4), -1);
    EXPECT_EQ(partial.contents(), bytes({'A', 0, 0, 0}));
    EXPECT_EQ(UniTGb2312(nullptr, 8, partial.text(), 4), 0);
}

TEST(CodePage936, TextsRoundTripThroughUtf8AndRefuseCharactersBeyondTheBmp) {
    // U+554A U+4E2D U+6587 " ok" U+00B7 U+00E9.
    const Bytes gb = {0xB0, 0xA1, 0xD6, 0xD0, 0xCE, 0xC4, ' ', 'o', 'k', 0xA1, 0xA4, 0xA8, 0xA6};
    const Bytes utf8 = {0xE5, 0x95, 0x8A, 0xE4, 0xB8, 0xAD, 0xE6, 0x96,
                        0x87, ' ',  'o',  'k',  0xC2, 0xB7, 0xC3, 0xA9};
    std::vector<char> gbText = cText(gb);
    Guarded u(20);
    ASSERT_EQ(Gb2312TUtf8(gbText.data(), u.data(), 20), 16);
    Bytes want = utf8;
    want.resize(20, 0);  // the rest of the allowance is cleared
    EXPECT_EQ(u.contents(), want);
    std::vector<char> utf8Text = cText(utf8);
    Guarded g(16);
    ASSERT_EQ(utf8TGb2312(u8(utf8Text), g.text(), 16, 16), 8);
    want = gb;
    want.resize(16, 0);
    EXPECT_EQ(g.contents(), want);
    std::vector<char> empty = cText({});
    EXPECT_EQ(Gb2312TUtf8(empty.data(), u.data(), 20), 0);
    EXPECT_EQ(utf8TGb2312(u8(empty), g.text(), 4, 16), 0);
    EXPECT_EQ(Gb2312TUtf8(nullptr, u.data(), 20), 0);
    EXPECT_EQ(utf8TGb2312(nullptr, g.text(), 4, 16), 0);
    // U+24E00 would become U+4E00 if it were cut to 16 bits.
    std::vector<char> wide = cText({'a', 0xF0, 0xA4, 0xB8, 0x80});
    EXPECT_EQ(utf8TGb2312(u8(wide), g.text(), 5, 16), -1);
    EXPECT_EQ(std::string(g.text()), "a");
}

TEST(CodePage936, Gb2312TUtf8EqualsGb2312ToUniThenUtf8Wcstombs) {
    std::mt19937 rng(936);
    for (int round = 0; round < 3000; ++round) {
        const Bytes gb = randomGb(rng, rng() % 40);
        std::vector<char> text = cText(gb);
        const int n = static_cast<int>(rng() % (3 * gb.size() + 4));
        Guarded oneStep(static_cast<std::size_t>(n));
        Guarded twoStep(static_cast<std::size_t>(n));
        int expected = 0;
        if (!gb.empty()) {
            std::vector<unsigned short> units(gb.size() + 1);
            Gb2312ToUni(text.data(), units.data(), static_cast<int>(units.size()));
            std::fill(twoStep.data(), twoStep.data() + n, 0);
            expected = utf8_wcstombs(twoStep.data(), units.data(), n);
        }
        ASSERT_EQ(Gb2312TUtf8(text.data(), oneStep.data(), n), expected) << round;
        ASSERT_EQ(oneStep.contents(), twoStep.contents()) << round;
        ASSERT_TRUE(oneStep.guardsIntact());
    }
}

TEST(CodePage936, Utf8TGb2312EqualsUtf8MbstowcsThenUniTGb2312) {
    std::mt19937 rng(8);
    for (int round = 0; round < 3000; ++round) {
        Bytes utf8 = randomUtf8(rng, rng() % 40);
        if (round % 2 == 0) {  // mostly characters the code page has, to convert to the end
            Bytes kept;
            for (std::size_t i = 0; i < utf8.size(); ++i) {
                unsigned short u = 0;
                unsigned char pair[2];
                const int n = utf8_mbtowc(&u, utf8.data() + i, static_cast<int>(utf8.size() - i));
                if (n < 0 || uni2char(u, pair, 2) > 0) {
                    kept.insert(kept.end(), utf8.begin() + static_cast<long>(i),
                                utf8.begin() + static_cast<long>(i) + std::max(n, 1));
                }
                i += static_cast<std::size_t>(std::max(n, 1)) - 1;
            }
            utf8 = kept;
        }
        std::vector<char> text = cText(utf8);
        const int n = static_cast<int>(rng() % (utf8.size() + 3));  // may pass the NUL
        const int gbSize = static_cast<int>(rng() % (2 * utf8.size() + 4));
        Guarded oneStep(static_cast<std::size_t>(gbSize));
        Guarded twoStep(static_cast<std::size_t>(gbSize));
        int expected = 0;
        if (!(n > 0 && utf8.empty())) {
            std::vector<unsigned short> units(static_cast<std::size_t>(std::max(n, 0)) + 1);
            const int count = utf8_mbstowcs(units.data(), u8(text), n);
            expected = UniTGb2312(units.data(), count, twoStep.text(), gbSize);
        }
        ASSERT_EQ(utf8TGb2312(u8(text), oneStep.text(), n, gbSize), expected) << round;
        ASSERT_EQ(oneStep.contents(), twoStep.contents()) << round;
        ASSERT_TRUE(oneStep.guardsIntact());
    }
}

// ---- Code page 1252 and the single-byte family --------------------------------------------------

TEST(CodePage1252, ToUtf8WritesOnlyWhenTheWholeOutputFits) {
    const Bytes euro = {0x80};
    Guarded out(3);
    EXPECT_EQ(cp1252_to_utf8(out.data(), 2, euro.data(), 1), 3);
    EXPECT_EQ(out.contents(), Bytes(3, Guarded::kFill));
    EXPECT_EQ(cp1252_to_utf8(nullptr, 0, euro.data(), 1), 3);  // a size query
    EXPECT_EQ(cp1252_to_utf8(out.data(), 3, euro.data(), 1), 0);
    EXPECT_EQ(out.contents(), bytes({0xE2, 0x82, 0xAC}));
    for (int srcLen : {0, -1}) {
        EXPECT_EQ(cp1252_to_utf8(out.data(), 3, euro.data(), srcLen), -1);
    }
    EXPECT_EQ(cp1252_to_utf8(out.data(), 3, nullptr, 1), -1);
    // The mapping stops at the first undefined byte: from there on, and for 0x00, each byte
    // gives one NUL.
    const Bytes src = {'A', 0x00, 0xE9, 0x8D, 'B', 0x80};
    Guarded stop(8);
    EXPECT_EQ(cp1252_to_utf8(stop.data(), 6, src.data(), 6), 7);
    EXPECT_EQ(cp1252_to_utf8(stop.data(), 8, src.data(), 6), 0);
    EXPECT_EQ(stop.contents(), bytes({'A', 0, 0xC3, 0xA9, 0, 0, 0, Guarded::kFill}));
    EXPECT_TRUE(stop.guardsIntact());
}

TEST(CodePage1252, AmpleAndExactOutputsGiveTheSameBytes) {
    std::mt19937 rng(1252);
    for (int round = 0; round < 2000; ++round) {
        Bytes src(1 + rng() % 80);
        for (unsigned char& b : src) {
            const unsigned r = rng() % 16;
            b = static_cast<unsigned char>(r < 10      ? 'a' + rng() % 26
                                           : r < 14    ? 0x80 + rng() % 128
                                           : r == 14   ? 0
                                           : round % 3 ? 'z'
                                                       : 0x8D);
        }
        const int n = static_cast<int>(src.size());
        const int needed = cp1252_to_utf8(nullptr, 0, src.data(), n);
        ASSERT_GE(needed, n);
        Guarded exact(static_cast<std::size_t>(needed));
        Guarded ample(static_cast<std::size_t>(3 * n));
        ASSERT_EQ(cp1252_to_utf8(exact.data(), needed, src.data(), n), 0);
        ASSERT_EQ(cp1252_to_utf8(ample.data(), 3 * n, src.data(), n), 0);
        Bytes want = exact.contents();
        want.resize(static_cast<std::size_t>(3 * n), Guarded::kFill);
        ASSERT_EQ(ample.contents(), want) << round;
        ASSERT_TRUE(ample.guardsIntact() && exact.guardsIntact());
    }
}

TEST(CodePage1252, FromUtf8WritesTheByteOfEachKnownCharacter) {
    const Bytes src = {0xC3, 0xBF, 0xE2, 0x82, 0xAC, 'a',  0xE4, 0xB8,
                       0x80, 0xE2, 0x84, 0xA2, 0xC2, 0x81, 0x00, 'b'};
    Guarded out(8);
    EXPECT_EQ(utf8_to_cp1252(src.data(), static_cast<int>(src.size()), out.data(), 8), 7);
    EXPECT_EQ(out.contents(), bytes({0xFF, 0x80, 'a', 0x99, 0x81, 0x00, 'b', Guarded::kFill}));
    // The walk ends at a stray continuation byte, a broken or overlong form, a cut form and the
    // lead of a 5-byte form.
    const Bytes enders[] = {{'a', 0x80, 'b'},
                            {'a', 0xC3, 0x41, 'b'},
                            {'a', 0xC1, 0x81, 'b'},
                            {'a', 0xE2, 0x82},
                            {'a', 0xF8, 0x88, 0x80, 0x80, 0x80, 'b'}};
    for (const Bytes& e : enders) {
        Guarded o(8);
        EXPECT_EQ(utf8_to_cp1252(e.data(), static_cast<int>(e.size()), o.data(), 8), 1);
        EXPECT_EQ(o.data()[0], 'a');
    }
    Guarded two(2);
    EXPECT_EQ(utf8_to_cp1252(src.data(), static_cast<int>(src.size()), two.data(), 2), 2);
    EXPECT_TRUE(two.guardsIntact());
    EXPECT_EQ(utf8_to_cp1252(nullptr, 4, two.data(), 2), 0);
    EXPECT_EQ(utf8_to_cp1252(src.data(), 0, two.data(), 2), 0);
}

TEST(SingleByte, ConversionTakesWholeFormsWhileTheyFit) {
    const Bytes src = {0xE9, 0x00, 'a'};
    unsigned char dst[8];
    int dstLen = 8;
    int srcLen = 3;
    EXPECT_EQ(iso8859_1_to_utf8(dst, dstLen, src.data(), srcLen), 0);
    EXPECT_EQ(Bytes(dst, dst + dstLen), bytes({0xC3, 0xA9, 'a'}));  // 0x00 is skipped
    EXPECT_EQ(srcLen, 3);
    dstLen = 2;
    EXPECT_EQ(iso8859_1_to_utf8(dst, dstLen, src.data(), srcLen), -1);  // less room than source
    for (int badLen : {0, -1}) {
        srcLen = badLen;
        EXPECT_EQ(iso8859_1_to_utf8(dst, dstLen, src.data(), srcLen), -1);
    }
    srcLen = 1;
    EXPECT_EQ(iso8859_1_to_utf8(nullptr, dstLen, src.data(), srcLen), -1);
    EXPECT_EQ(iso8859_1_to_utf8(dst, dstLen, nullptr, srcLen), -1);

    std::mt19937 rng(1252);
    for (const SingleByteTable& table : kSingleByte) {
        std::vector<Bytes> forms(256);  // each byte's form, as converted alone
        for (int b = 0; b < 256; ++b) {
            const unsigned char one = static_cast<unsigned char>(b);
            dstLen = 8;
            srcLen = 1;
            ASSERT_EQ(table.convert(dst, dstLen, &one, srcLen), 0);
            forms[static_cast<std::size_t>(b)].assign(dst, dst + dstLen);
        }
        for (int round = 0; round < 300; ++round) {
            Bytes in(1 + rng() % 64);
            for (unsigned char& b : in) {
                const unsigned r = rng() % 8;
                b = static_cast<unsigned char>(r < 5   ? 'a' + rng() % 26
                                               : r < 7 ? 0x80 + rng() % 128
                                                       : 0);
            }
            const int room = static_cast<int>(in.size() + rng() % (2 * in.size() + 1));
            Bytes expected;
            int taken = 0;
            for (; taken < static_cast<int>(in.size()); ++taken) {
                const Bytes& f = forms[in[static_cast<std::size_t>(taken)]];
                if (expected.size() + f.size() > static_cast<std::size_t>(room)) {
                    break;
                }
                expected.insert(expected.end(), f.begin(), f.end());
            }
            Guarded out(static_cast<std::size_t>(room));
            dstLen = room;
            srcLen = static_cast<int>(in.size());
            ASSERT_EQ(table.convert(out.data(), dstLen, in.data(), srcLen), 0);
            ASSERT_EQ(srcLen, taken) << table.name;
            expected.resize(static_cast<std::size_t>(room), Guarded::kFill);
            ASSERT_EQ(
                dstLen + std::count(expected.begin() + dstLen, expected.end(), Guarded::kFill),
                room);
            ASSERT_EQ(out.contents(), expected) << table.name;
            ASSERT_TRUE(out.guardsIntact());
        }
    }
}

// ---- The tables against iconv
// ---------------------------------------------------------------------

#if defined(INFRA_HAVE_ICONV)
TEST(CodePageTables, EverySingleByteTableMatchesIconvExceptTheListedDifferences) {
    for (const SingleByteTable& table : kSingleByte) {
        int defined = 0;
        for (int b = 0; b < 256; ++b) {
            const unsigned char one = static_cast<unsigned char>(b);
            unsigned char dst[8];
            int dstLen = 8;
            int srcLen = 1;
            std::uint32_t ours = 0;
            ASSERT_EQ(table.convert(dst, dstLen, &one, srcLen), 0);
            const long value = dstLen == 0                                 ? -1
                               : modelDecode(dst, dstLen, &ours) == dstLen ? static_cast<long>(ours)
                                                                           : -2;
            const long theirs = b == 0 ? 0 : iconvPoint(table.name, {one});
            const auto listed = table.differences.find(b);
            if (b == 0 || listed != table.differences.end()) {
                EXPECT_EQ(value, b == 0 ? -1 : listed->second) << table.name << " " << b;
                EXPECT_NE(value, theirs) << table.name << " " << b << " is no difference";
            } else {
                EXPECT_EQ(value, theirs) << table.name << " " << b;
            }
            defined += value >= 0;
        }
        EXPECT_GT(defined, 127) << table.name;
    }
}

TEST(CodePageTables, CodePage1252MatchesIconvBothWays) {
    // The bytes undefined in the code page keep their own value in the table: as source bytes
    // they end the mapping (one NUL each), and U+0081 and the like find them.
    const Bytes undefined = {0x81, 0x8D, 0x8F, 0x90, 0x9D};
    for (std::uint32_t u = 0; u <= 0xFFFF; ++u) {
        Bytes theirs;
        if (u < 256) {
            const unsigned char b = static_cast<unsigned char>(u);
            unsigned char dst[4];
            const int length = cp1252_to_utf8(nullptr, 0, &b, 1);
            ASSERT_EQ(cp1252_to_utf8(dst, 4, &b, 1), 0);
            const bool known = iconvText("UTF-8", "CP1252", {b}, &theirs);
            const bool odd = std::count(undefined.begin(), undefined.end(), b) != 0;
            EXPECT_EQ(known, !odd) << u;
            EXPECT_EQ(Bytes(dst, dst + length), odd ? Bytes{0} : theirs) << u;
        }
        if (u == 0 || (u >= 0xD800 && u <= 0xDFFF)) {
            continue;
        }
        unsigned char form[3];
        unsigned char dst[4];
        const int length = utf8_wctomb(form, static_cast<unsigned short>(u), 3);
        const int n = utf8_to_cp1252(form, length, dst, 4);
        if (u < 256 && std::count(undefined.begin(), undefined.end(), u) != 0) {
            EXPECT_FALSE(iconvText("CP1252", "UTF-8", Bytes(form, form + length), &theirs));
            theirs = {static_cast<unsigned char>(u)};
        } else if (!iconvText("CP1252", "UTF-8", Bytes(form, form + length), &theirs)) {
            theirs.clear();
        }
        ASSERT_EQ(Bytes(dst, dst + n), theirs) << u;
    }
}

TEST(CodePageTables, EveryCodePage936PairAndCharacterMatchesIconv) {
    int pairs = 0;
    for (int lead = 0x81; lead <= 0xFE; ++lead) {
        for (int trail = 0x01; trail <= 0xFF; ++trail) {
            const Bytes pair = {static_cast<unsigned char>(lead),
                                static_cast<unsigned char>(trail)};
            const long theirs = iconvPoint("GBK", pair);
            unsigned short u = 0;
            ASSERT_EQ(char2uni(pair.data(), 2, &u), theirs < 0 ? -1 : 2) << lead << " " << trail;
            ASSERT_TRUE(theirs < 0 || u == theirs) << lead << " " << trail;
            pairs += theirs >= 0;
        }
    }
    EXPECT_EQ(pairs, 21791);  // the pairs of the published mapping
    // A byte 0x81-0xFF alone is refused by iconv; here it keeps its value, so a cut pair loses
    // nothing. U+20AC has no pair and so no form here; iconv writes the byte 0x80.
    for (int b = 0; b < 256; ++b) {
        const unsigned char one = static_cast<unsigned char>(b);
        unsigned short u = 0;
        ASSERT_EQ(char2uni(&one, 1, &u), 1);
        EXPECT_EQ(u, b <= 0x80 ? iconvPoint("GBK", {one}) : b) << b;
    }
    pairs = 0;
    for (std::uint32_t u = 1; u <= 0xFFFF; ++u) {
        const Bytes point = {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8), 0,
                             0};
        Bytes theirs;
        const bool known = u != 0x20AC && iconvText("GBK", "UTF-32LE", point, &theirs);
        unsigned char out[2];
        const int n = uni2char(static_cast<unsigned short>(u), out, 2);
        if (!known && u >= 0x80 && u <= 0xFF) {  // Latin-1 without a pair: the byte of its value
            theirs = {static_cast<unsigned char>(u)};
        }
        ASSERT_EQ(n < 0 ? Bytes() : Bytes(out, out + n), known || u <= 0xFF ? theirs : Bytes())
            << u;
        pairs += n == 2;
    }
    EXPECT_EQ(pairs, 21791);
}

TEST(CodePageTables, WholeTextsConvertLikeIconv) {
    Bytes gb;  // every pair once, with ASCII between the runs of pairs
    for (int lead = 0x81; lead <= 0xFE; ++lead) {
        for (int trail = 0x40; trail <= 0xFE; ++trail) {
            unsigned short u;
            const unsigned char pair[2] = {static_cast<unsigned char>(lead),
                                           static_cast<unsigned char>(trail)};
            if (char2uni(pair, 2, &u) == 2) {
                gb.insert(gb.end(), pair, pair + 2);
            }
        }
        gb.push_back(static_cast<unsigned char>('A' + lead % 26));
    }
    Bytes expected;
    ASSERT_TRUE(iconvText("UTF-8", "GBK", gb, &expected));
    std::vector<char> text = cText(gb);
    Bytes utf8(expected.size() + 1);
    ASSERT_EQ(Gb2312TUtf8(text.data(), utf8.data(), static_cast<int>(utf8.size())),
              static_cast<int>(expected.size()));
    expected.push_back(0);
    EXPECT_EQ(utf8, expected);
    std::vector<char> back(gb.size() + 1);
    EXPECT_EQ(utf8TGb2312(utf8.data(), back.data(), static_cast<int>(utf8.size()),
                          static_cast<int>(back.size())),
              static_cast<int>(gb.size()) - 21791);
    EXPECT_EQ(cText(gb), back);
}
#endif

// ---- Bad input ----------------------------------------------------------------------------------

// Every converter on random bytes, inputs in blocks of exactly their size, outputs between guard
// bytes: nothing is read or written outside (AddressSanitizer sees the reads).
TEST(CharSetBadInput, ConvertersStayInsideTheirBuffersOnRandomBytes) {
    std::mt19937 rng(2024);
    TestSupport::LogCapture quiet;
    for (int round = 0; round < 4000; ++round) {
        const std::size_t size = rng() % 24;
        const Bytes in = randomBytes(rng, size);
        std::vector<char> text = cText(in);
        const int n = static_cast<int>(size);
        const int room = static_cast<int>(rng() % (3 * size + 2));
        Guarded out(static_cast<std::size_t>(room) * 2 + 2);
        Guarded units(size * 2);
        unsigned short u = 0;
        int len = 0;
        EXPECT_LE(utf8_mbtowc(&u, in.data(), n), n);
        EXPECT_LE(utf8_mbstowcs(units.units(), in.data(), n), n);
        GetUnicodeFromUtf8(text.data(), &len);
        EXPECT_LE(len, 3);
        EXPECT_LE(char2uni(in.data(), n, &u), std::max(n, 0) > 1 ? 2 : 1);
        EXPECT_LE(Gb2312ToUni(text.data(), out.units(), room), room);
        EXPECT_LE(Gb2312TUtf8(text.data(), out.data(), room), room);
        EXPECT_LE(utf8TGb2312(u8(text), out.text(), n, room), room);
        EXPECT_LE(utf8_to_cp1252(in.data(), n, out.data(), room), room);
        const int needed = cp1252_to_utf8(out.data(), room, in.data(), n);
        EXPECT_TRUE(n == 0 ? needed == -1 : needed == 0 || needed > room);
        int dstLen = room;
        int srcLen = n;
        if (cp1251_to_utf8(out.data(), dstLen, in.data(), srcLen) == 0) {
            EXPECT_TRUE(dstLen <= room && srcLen <= n);
        }
        std::vector<unsigned short> wide(size / 2 + 1, 0);
        std::memcpy(wide.data(), in.data(), size / 2 * 2);
        EXPECT_LE(UniTGb2312(wide.data(), static_cast<int>(wide.size()), out.text(), room), room);
        EXPECT_LE(utf8_wcstombs(out.data(), wide.data(), room), room);
        EXPECT_LE(UCS4ToUtf8(text.data(), n / 4 * 4, out.data(), room), room);
        ASSERT_TRUE(out.guardsIntact() && units.guardsIntact()) << round;
    }
}
