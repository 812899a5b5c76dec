// Character-set conversion: the tables against glibc's iconv where found (each difference that
// remains is listed), the UTF-8 forms against a decoder written here, and whole texts against
// models built from single characters.
#include "infra/CharSet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

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
    int length = 0;
    while (length < 7 && (s[0] << length & 0x80) != 0) {
        ++length;
    }
    length = length == 0 ? 1 : length == 1 || length == 7 ? -1 : length;
    std::uint32_t v = s[0] & (0xFFu >> (length == 1 ? 1 : length + 1));
    for (int i = 1; i < length && i < n; ++i) {
        length = (s[i] & 0xC0) != 0x80 ? -1 : length;
        v = v << 6 | (s[i] & 0x3Fu);
    }
    *value = v;
    return length < 0 || length > n || v < smallest[length] ? -1 : length;
}

// Code page 936 text to units as documented: an unmapped pair is skipped whole when its second
// byte could be a trail byte (0x40-0xFE but 0x7F), else its lead byte alone is skipped.
std::vector<unsigned short> modelGbUnits(const Bytes& gb) {
    std::vector<unsigned short> units;
    for (std::size_t i = 0; i < gb.size();) {
        unsigned short u = 0;
        const int n = char2uni(&gb[i], gb.size() - i > 1 ? 2 : 1, &u);
        const unsigned t = gb.size() - i > 1 ? gb[i + 1] : 0;
        units.insert(units.end(), n > 0 ? 1 : 0, u);
        i += n > 0 ? static_cast<std::size_t>(n) : t >= 0x40 && t <= 0xFE && t != 0x7F ? 2 : 1;
    }
    return units;
}

// Random text without NUL. Code page 936: ASCII, pairs with any trail byte, stray high bytes.
// UTF-8: ASCII, forms of 16-bit values, stray bytes.
Bytes randomText(std::mt19937& rng, std::size_t length, bool gb) {
    Bytes out;
    while (out.size() < length) {
        const unsigned k = rng() % 10;
        unsigned char c[3] = {
            static_cast<unsigned char>(k < 3 ? 1 + rng() % 127 : 0x80 + rng() % 0x70),
            static_cast<unsigned char>(0x40 + rng() % 0xBF)};
        c[0] = static_cast<unsigned char>(gb && k >= 3 ? 0x81 + rng() % 0x7F : c[0]);
        const int n = k < 3 || k == 9 ? 1 : gb ? 2 : utf8_wctomb(c, 0x80 + rng() % 0xFF80, 3);
        out.insert(out.end(), c, c + n);
    }
    out.resize(length);
    return out;
}

#if defined(INFRA_HAVE_ICONV)
// Converts all of `in` with iconv; false when it refuses any of it.
bool iconvText(const char* to, const char* from, Bytes in, Bytes* out) {
    const iconv_t cd = iconv_open(to, from);
    out->assign(in.size() * 4 + 16, 0);
    char* ip = reinterpret_cast<char*>(in.data());
    char* op = reinterpret_cast<char*>(out->data());
    std::size_t il = in.size();
    std::size_t ol = out->size();
    const bool ok = iconv(cd, &ip, &il, &op, &ol) != static_cast<std::size_t>(-1) && il == 0;
    iconv_close(cd);
    out->resize(out->size() - ol);
    return ok;
}

// The one code point iconv reads from `in`, -1 when it refuses it or reads more than one.
long iconvPoint(const char* from, const Bytes& in) {
    Bytes out;
    const bool one = iconvText("UTF-32LE", from, in, &out) && out.size() == 4;
    return one ? out[0] | out[1] << 8 | out[2] << 16 : -1;
}
#endif

using SingleByteConverter = int (*)(unsigned char*, int&, unsigned char const*, int&);

const struct {
    SingleByteConverter convert;
    const char* name;
} kSingleByte[] = {{cp862_to_utf8, "CP862"},
                   {cp874_to_utf8, "CP874"},
                   {cp1250_to_utf8, "CP1250"},
                   {cp1251_to_utf8, "CP1251"},
                   {iso8859_1_to_utf8, "ISO-8859-1"},
                   {iso8859_2_to_utf8, "ISO-8859-2"},
                   {iso8859_3_to_utf8, "ISO-8859-3"},
                   {iso8859_4_to_utf8, "ISO-8859-4"},
                   {iso8859_5_to_utf8, "ISO-8859-5"},
                   {iso8859_6_to_utf8, "ISO-8859-6"},
                   {iso8859_7_to_utf8, "ISO-8859-7"},
                   {iso8859_8_to_utf8, "ISO-8859-8"},
                   {iso8859_9_to_utf8, "ISO-8859-9"},
                   {iso8859_10_to_utf8, "ISO-8859-10"},
                   {iso8859_13_to_utf8, "ISO-8859-13"},
                   {iso8859_14_to_utf8, "ISO-8859-14"},
                   {iso8859_15_to_utf8, "ISO-8859-15"},
                   {iso8859_16_to_utf8, "ISO-8859-16"}};

// The UTF-8 form a converter gives for one byte alone.
template <class Convert>
Bytes formOf(Convert convert, unsigned char b) {
    unsigned char dst[8];
    int dstLen = 8;
    int srcLen = 1;
    EXPECT_EQ(convert(dst, dstLen, &b, srcLen), 0);
    return Bytes(dst, dst + dstLen);
}

}  // namespace

TEST(Utf8Conversion, EverySequenceDecodesByTheFormTable) {
    std::mt19937 rng(8);
    for (int round = 0; round < 300000; ++round) {
        // Every two-byte sequence, then longer ones of mostly continuation bytes.
        Bytes s = {static_cast<unsigned char>(round >> 8), static_cast<unsigned char>(round)};
        if (round >= 0x10000) {
            s = randomBytes(rng, 1 + rng() % 6);
            for (std::size_t i = 0; i < s.size(); ++i) {
                s[i] = static_cast<unsigned char>(i > 0 && rng() % 8 ? 0x80 | (s[i] & 0x3F)
                                                                     : s[i] | (i ? 0 : 0x80));
            }
        }
        const int n = static_cast<int>(s.size() - (round >= 0x10000 ? rng() % 2 : 0));
        std::uint32_t v = 0;
        const int length = modelDecode(s.data(), n, &v);
        unsigned short u = 0x1234;
        ASSERT_EQ(utf8_mbtowc(&u, s.data(), n), length) << toHex(s.data(), s.size()) << " " << n;
        ASSERT_EQ(u, length < 0 ? 0x1234 : v & 0xFFFF) << toHex(s.data(), s.size());
    }
    EXPECT_EQ(utf8_mbtowc(nullptr, fromHex("e4b880").data(), 3), 3);
    EXPECT_EQ(utf8_mbtowc(nullptr, nullptr, 3), -1);
}

TEST(Utf8Conversion, EveryUnitEncodesInItsShortestForm) {
    for (std::uint32_t u = 0; u <= 0xFFFF; ++u) {
        unsigned char s[3];
        std::uint32_t v = 0;
        const int length = utf8_wctomb(s, static_cast<unsigned short>(u), 3);
        ASSERT_EQ(length, u < 0x80 ? 1 : (u < 0x800 ? 2 : 3)) << u;
        ASSERT_EQ(utf8_wctomb(s + 1, static_cast<unsigned short>(u), length - 1), -1);
        ASSERT_EQ(modelDecode(s, length, &v), length);
        ASSERT_EQ(v, u);
#if defined(INFRA_HAVE_ICONV)
        Bytes theirs;  // iconv refuses lone surrogates, which are ordinary values here
        const Bytes unit = {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8)};
        ASSERT_TRUE(
            u == 0 || (u >= 0xD800 && u <= 0xDFFF) ||
            (iconvText("UTF-8", "UTF-16LE", unit, &theirs) && Bytes(s, s + length) == theirs))
            << u;
#endif
    }
    EXPECT_EQ(utf8_wctomb(nullptr, 0x41, 4), 0);
}

TEST(Utf8Conversion, TextsSkipBadBytesAndCountEveryByteAgainstTheAllowance) {
    std::vector<unsigned short> out(6);
    EXPECT_EQ(utf8_mbstowcs(out.data(), fromHex("61ff62c3a98063006400").data(), 9), 4);
    EXPECT_EQ(out, (std::vector<unsigned short>{'a', 'b', 0xE9, 'c', 0, 0}));  // NUL ends it
    EXPECT_EQ(utf8_mbstowcs(out.data(), fromHex("61e4b8").data(), 3), 1);      // a cut form
    EXPECT_EQ(utf8_mbstowcs(nullptr, fromHex("61").data(), 1), 0);
    // 'a' takes one byte; 0x4E00 does not fit in the two left and costs one; 'b' takes the last.
    const unsigned short text[] = {'a', 0x4E00, 'b', 0xE9, 0};
    for (const char* row : {"8 7 61e4b88062c3a9a5", "3 2 6162a5", "0 0 a5"}) {
        const auto f = fields(row);
        Guarded o(static_cast<std::size_t>(num(f[0])));
        EXPECT_EQ(utf8_wcstombs(o.data(), text, num(f[0])), num(f[1]));
        EXPECT_EQ(toHex(o.data(), f[2].size() / 2), f[2]);
    }
    EXPECT_EQ(utf8_wcstombs(nullptr, text, 2), 0);
}

TEST(GetUnicodeFromUtf8, DecodesTheFirstCharacterWithItsOwnRules) {
    // Text, value, length: no overlong check; a NUL within the form gives 0, another byte the
    // bits gathered so far.
    const char* const rows[] = {"41 0x41 1",       "- 0 0",         "c3a97a 0xe9 2", "c0af 0x2f 2",
                                "e4b880 0x4e00 3", "80 0 0",        "bf80 0 0",      "f09f9880 0 0",
                                "ff 0 0",          "e4b8 0 3",      "c3 0 2",        "e441 0x4 3",
                                "e4b8c3 0x138 3",  "c3e4b880 0x3 2"};
    for (const char* row : rows) {
        const auto f = fields(row);
        std::vector<char> text = cText(fromHex(f[0]));
        int length = -7;
        EXPECT_EQ(GetUnicodeFromUtf8(text.data(), &length), num(f[1])) << row;
        EXPECT_EQ(length, num(f[2])) << row;
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
    const std::string all = "41c3a9e4b880f09f9880fdbfbfbfbfbf";
    // Input length, output size (-1: no output, -2: no input too), result, warning.
    const char* const rows[] = {"24 17 16",
                                "16 9 6 UCS4ToUtf8 utf8Size error",
                                "16 10 10",
                                "6 16 0 UCS4ToUtf8 ucs4Len error",
                                "-4 16 0 UCS4ToUtf8 ucs4Len error",
                                "8 -2 0 ucs4 is invalid",
                                "8 -1 0 utf8 is invalid",
                                "0 16 0"};
    for (const char* row : rows) {
        const auto f = fields(row);
        const int size = num(f[1]);
        TestSupport::LogCapture log;
        Guarded out(static_cast<std::size_t>(std::max(size, 0)));
        EXPECT_EQ(UCS4ToUtf8(size == -2 ? nullptr : ucs4.data() + 1, num(f[0]),
                             size < 0 ? nullptr : out.data(), size),
                  num(f[2]));
        EXPECT_EQ(toHex(out.data(), static_cast<std::size_t>(num(f[2]) + 1)),
                  all.substr(0, 2 * static_cast<std::size_t>(num(f[2]))) + "a5");
        const std::string row0(row);
        const std::string warning = f.size() > 3 ? row0.substr(row0.find(f[3])) + "\n" : "";
        const std::string text = log.text();  // the warning ends the one line logged, if any
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), warning.empty() ? 0 : 1) << text;
        EXPECT_EQ(text.substr(text.size() - std::min(text.size(), warning.size())), warning);
    }
}

TEST(CodePage936, SingleCharactersFollowTheDocumentedRules) {
    // Bytes, len: result, value. A lead byte alone, or before a NUL, stands for itself; 0x80 is
    // U+20AC; 0xFF leads nothing.
    const char* const decoded[] = {"b0a1 2 2 0x554a",  "b0a1 1 1 0xb0",    "8041 2 1 0x20ac",
                                   "ffa1 2 1 0xff",    "b000 2 1 0xb0",    "00 1 1 0",
                                   "817f 2 -1 0x1234", "aaa1 2 -1 0x1234", "b0a1 0 -1 0x1234"};
    for (const char* row : decoded) {
        const auto f = fields(row);
        unsigned short u = 0x1234;
        EXPECT_EQ(char2uni(fromHex(f[0]).data(), num(f[1]), &u), num(f[2])) << row;
        EXPECT_EQ(u, num(f[3])) << row;
    }
    unsigned short u = 0;
    EXPECT_EQ(char2uni(nullptr, 2, &u), -1);
    EXPECT_EQ(char2uni(fromHex("b0a1").data(), 2, nullptr), -1);
    // Unit, outLen: result, bytes. U+00B7 and the like take their pair, as a byte of theirs would
    // be a lead byte and swallow the next character; Latin-1 without a pair gives its own byte.
    const char* const encoded[] = {"0x554a 2 2 b0a1",  "0x554a 1 -1 a5a5", "0x41 1 1 41a5",
                                   "0xb7 2 2 a1a4",    "0xe9 2 2 a8a6",    "0xb7 1 -1 a5a5",
                                   "0xc0 1 1 c0a5",    "0 2 -1 a5a5",      "0x20ac 2 -1 a5a5",
                                   "0xd800 2 -1 a5a5", "0xe000 2 -1 a5a5", "0x41 0 -1 a5a5"};
    for (const char* row : encoded) {
        const auto f = fields(row);
        Guarded out(2);
        EXPECT_EQ(uni2char(static_cast<unsigned short>(num(f[0])), out.data(), num(f[1])),
                  num(f[2]))
            << row;
        EXPECT_EQ(toHex(out.data(), 2), f[3]) << row;
    }
    EXPECT_EQ(uni2char(0x41, nullptr, 2), -1);
}

TEST(CodePage936, UniTGb2312KeepsTheTextTerminatedWithinOutSize) {
    unsigned short text[] = {0x554A, 'A', 0x554A, 0};
    // n, outSize: result, the output and the byte after it.
    const char* const rows[] = {
        "8 6 3 b0a141b0a100a5", "8 5 2 b0a1410000a5", "8 4 2 b0a14100a5", "8 3 1 b0a100a5",
        "8 2 0 0000a5",         "8 1 0 00a5",         "8 0 0 a5",         "2 6 2 b0a141000000a5"};
    for (const char* row : rows) {
        const auto f = fields(row);
        Guarded out(static_cast<std::size_t>(num(f[1])));
        EXPECT_EQ(UniTGb2312(text, num(f[0]), out.text(), num(f[1])), num(f[2])) << row;
        EXPECT_EQ(toHex(out.data(), f[3].size() / 2), f[3]) << row;
    }
    unsigned short bad[] = {'A', 0x20AC, 'B', 0};
    Guarded partial(4);
    EXPECT_EQ(UniTGb2312(bad, 8, partial.text(), 4), -1);
    EXPECT_EQ(toHex(partial.data(), 4), "41000000");
    EXPECT_EQ(UniTGb2312(nullptr, 8, partial.text(), 4), 0);
}

TEST(CodePage936, TextsRoundTripThroughUtf8AndRefuseCharactersBeyondTheBmp) {
    // U+554A U+4E2D U+6587 " ok" U+00B7 U+00E9.
    std::vector<char> gb = cText(fromHex("b0a1d6d0cec4206f6ba1a4a8a6"));
    std::vector<char> utf8 = cText(fromHex("e5958ae4b8ade69687206f6bc2b7c3a9"));
    Guarded u(20);
    Guarded g(16);
    ASSERT_EQ(Gb2312TUtf8(gb.data(), u.data(), 20), 16);
    EXPECT_EQ(toHex(u.data(), 20), "e5958ae4b8ade69687206f6bc2b7c3a900000000");
    ASSERT_EQ(utf8TGb2312(u8(utf8), g.text(), 16, 16), 8);
    EXPECT_EQ(toHex(g.data(), 16), "b0a1d6d0cec4206f6ba1a4a8a6000000");
    std::vector<char> empty = cText({});
    EXPECT_EQ(Gb2312TUtf8(empty.data(), u.data(), 20) + Gb2312TUtf8(nullptr, u.data(), 20), 0);
    EXPECT_EQ(utf8TGb2312(u8(empty), g.text(), 4, 16) + utf8TGb2312(nullptr, g.text(), 4, 16), 0);
    EXPECT_EQ(Gb2312ToUni(nullptr, u.units(), 2) + Gb2312ToUni(gb.data(), nullptr, 2), 0);
    // U+24E00 would become U+4E00 if it were cut to 16 bits.
    std::vector<char> wide = cText(fromHex("61f0a4b880"));
    EXPECT_EQ(utf8TGb2312(u8(wide), g.text(), 5, 16), -1);
    EXPECT_EQ(std::string(g.text()), "a");
}

// Gb2312ToUni, and the one-pass Gb2312TUtf8 as its definition: the units, then utf8_wcstombs
// into a cleared allowance.
TEST(CodePage936, TextToUnitsAndUtf8FollowTheCharacterWalk) {
    std::mt19937 rng(936);
    for (int round = 0; round < 4000; ++round) {
        const Bytes gb =
            round == 0 ? fromHex("41b0a142aaa143b00a817fb0") : randomText(rng, rng() % 40, true);
        std::vector<char> text = cText(gb);
        std::vector<unsigned short> units = modelGbUnits(gb);
        const int n = static_cast<int>(rng() % (units.size() + 3));
        Guarded out(static_cast<std::size_t>(n) * 2);
        ASSERT_EQ(Gb2312ToUni(text.data(), out.units(), n),
                  std::min<int>(n, static_cast<int>(units.size())));
        units.resize(units.size() + static_cast<std::size_t>(n) + 1, 0);
        ASSERT_TRUE(std::equal(out.units(), out.units() + n, units.begin())) << round;
        ASSERT_TRUE(out.guardsIntact());

        const int room = static_cast<int>(rng() % (3 * gb.size() + 4));
        Guarded oneStep(static_cast<std::size_t>(room));
        Guarded twoStep(static_cast<std::size_t>(room));
        std::fill(twoStep.data(), twoStep.data() + (gb.empty() ? 0 : room), 0);
        const int expected = gb.empty() ? 0 : utf8_wcstombs(twoStep.data(), units.data(), room);
        ASSERT_EQ(Gb2312TUtf8(text.data(), oneStep.data(), room), expected) << round;
        ASSERT_EQ(oneStep.contents(), twoStep.contents()) << round;
        ASSERT_TRUE(oneStep.guardsIntact());
    }
}

TEST(CodePage936, Utf8TGb2312EqualsUtf8MbstowcsThenUniTGb2312) {
    std::mt19937 rng(8);
    for (int round = 0; round < 4000; ++round) {
        Bytes utf8 = randomText(rng, rng() % 40, false);
        for (std::size_t i = 0; i < utf8.size() && round % 2 == 0;) {
            // Mostly characters the code page has, so that most texts convert to the end.
            unsigned short u = 0;
            unsigned char pair[2];
            const int n = utf8_mbtowc(&u, &utf8[i], static_cast<int>(utf8.size() - i));
            const bool keep = n < 0 || uni2char(u, pair, 2) > 0;
            utf8.erase(
                utf8.begin() + static_cast<long>(i),
                utf8.begin() + static_cast<long>(keep ? i : i + static_cast<std::size_t>(n)));
            i += keep ? static_cast<std::size_t>(std::max(n, 1)) : 0;
        }
        std::vector<char> text = cText(utf8);
        const int n = static_cast<int>(rng() % (utf8.size() + 3));  // may pass the NUL
        const int gbSize = static_cast<int>(rng() % (2 * utf8.size() + 4));
        Guarded oneStep(static_cast<std::size_t>(gbSize));
        Guarded twoStep(static_cast<std::size_t>(gbSize));
        std::vector<unsigned short> units(static_cast<std::size_t>(n) + 1);
        const int count = utf8_mbstowcs(units.data(), u8(text), n);
        const int expected =
            n > 0 && utf8.empty() ? 0 : UniTGb2312(units.data(), count, twoStep.text(), gbSize);
        ASSERT_EQ(utf8TGb2312(u8(text), oneStep.text(), n, gbSize), expected) << round;
        ASSERT_EQ(oneStep.contents(), twoStep.contents()) << round;
        ASSERT_TRUE(oneStep.guardsIntact());
    }
}

// Against the forms of single bytes: the mapping stops at the first undefined byte, which and
// each byte after it give one NUL; the output is written only when all of it fits, else its
// size is returned; with and without room to spare.
TEST(CodePage1252, TextsConvertByteByByteUpToTheFirstUndefinedByte) {
    const auto one = [](unsigned char* d, int& dl, const unsigned char* s, int&) {
        return cp1252_to_utf8(d, dl = cp1252_to_utf8(nullptr, 0, s, 1), s, 1);
    };
    const std::string undefined = "\x81\x8D\x8F\x90\x9D";
    std::mt19937 rng(1252);
    for (int round = 0; round < 2000; ++round) {
        Bytes src = round == 0 ? fromHex("4100e98d4280") : randomBytes(rng, 1 + rng() % 80);
        Bytes expected;
        bool stopped = false;
        for (std::size_t i = 0; i < src.size(); ++i) {
            const unsigned r = rng() % 16;
            src[i] = round == 0 || r == 15
                         ? src[i]
                         : static_cast<unsigned char>(r < 10 ? 'a' + r : src[i] | 0x80);
            src[i] = round % 3 && undefined.find(static_cast<char>(src[i])) != std::string::npos
                         ? 'z'
                         : src[i];
            stopped = stopped || undefined.find(static_cast<char>(src[i])) != std::string::npos;
            const Bytes form = stopped ? Bytes{0} : formOf(one, src[i]);
            expected.insert(expected.end(), form.begin(), form.end());
        }
        const int n = static_cast<int>(src.size());
        const int needed = static_cast<int>(expected.size());
        for (const int room : {needed - 1, needed, 3 * n}) {
            Guarded out(static_cast<std::size_t>(room));
            ASSERT_EQ(cp1252_to_utf8(out.data(), room, src.data(), n), room < needed ? needed : 0);
            Bytes want = room < needed ? Bytes() : expected;
            want.resize(static_cast<std::size_t>(room), Guarded::kFill);
            ASSERT_EQ(out.contents(), want) << round << " " << room;
            ASSERT_TRUE(out.guardsIntact());
        }
    }
    EXPECT_EQ(cp1252_to_utf8(nullptr, 0, fromHex("80").data(), 1), 3);  // a size query
    EXPECT_EQ(cp1252_to_utf8(nullptr, 0, fromHex("80").data(), 0) +
                  cp1252_to_utf8(nullptr, 0, nullptr, 1),
              -2);
}

TEST(CodePage1252, FromUtf8WalkEndsAtAnyBrokenForm) {
    Guarded out(8);
    EXPECT_EQ(utf8_to_cp1252(fromHex("c3bfe282ac61e4b880e284a2c2810062").data(), 16, out.data(), 8),
              7);
    EXPECT_EQ(toHex(out.data(), 8), "ff806199810062a5");
    // A stray continuation byte, a broken or overlong form, a cut form, a 5-byte lead.
    for (const char* ender : {"618062", "61c34162", "61c18162", "61e282", "61f88880808062"}) {
        EXPECT_EQ(utf8_to_cp1252(fromHex(ender).data(), static_cast<int>(std::strlen(ender) / 2),
                                 out.data(), 8),
                  1);
    }
    EXPECT_EQ(
        utf8_to_cp1252(nullptr, 4, out.data(), 2) + utf8_to_cp1252(out.data(), 0, out.data(), 2),
        0);
}

// Each converter takes whole forms of its bytes while they fit in the room, which must be at
// least the source's length, and reports what it took and wrote.
TEST(SingleByte, ConversionTakesWholeFormsWhileTheyFit) {
    std::mt19937 rng(1252);
    for (const auto& table : kSingleByte) {
        for (int round = 0; round < 300; ++round) {
            Bytes in = randomBytes(rng, 1 + rng() % 64);
            for (unsigned char& b : in) {
                b = static_cast<unsigned char>(rng() % 8 < 5 ? 'a' + b % 26 : b % 4 ? b | 0x80 : 0);
            }
            const int room = static_cast<int>(in.size() + rng() % (2 * in.size() + 1));
            Bytes expected;
            int taken = 0;
            for (; taken < static_cast<int>(in.size()); ++taken) {
                const Bytes f = formOf(table.convert, in[static_cast<std::size_t>(taken)]);
                if (expected.size() + f.size() > static_cast<std::size_t>(room)) {
                    break;
                }
                expected.insert(expected.end(), f.begin(), f.end());
            }
            Guarded out(static_cast<std::size_t>(room));
            int dstLen = room;
            int srcLen = static_cast<int>(in.size());
            ASSERT_EQ(table.convert(out.data(), dstLen, in.data(), srcLen), 0);
            ASSERT_EQ(srcLen, taken) << table.name;
            ASSERT_EQ(dstLen, static_cast<int>(expected.size())) << table.name;
            expected.resize(static_cast<std::size_t>(room), Guarded::kFill);
            ASSERT_EQ(out.contents(), expected) << table.name;
        }
    }
    unsigned char b[3] = {'a', 'b', 'c'};
    for (const char* row : {"2 3 0", "3 0 0", "3 -1 0", "1 1 1", "1 1 2"}) {  // dstLen srcLen null
        const auto f = fields(row);
        int dstLen = num(f[0]);
        int srcLen = num(f[1]);
        EXPECT_EQ(
            iso8859_1_to_utf8(f[2] == "1" ? nullptr : b, dstLen, f[2] == "2" ? nullptr : b, srcLen),
            -1);
    }
}

#if defined(INFRA_HAVE_ICONV)
// Byte 0x00 is undefined in every table. Code page 874 has no 0x80 (a later addition); ISO 8859-6
// maps its digits to U+0660-U+0669; ISO 8859-7 follows its 1987 edition (0xA1, 0xA2 are U+02BD,
// U+02BC; 0xA4, 0xA5 and 0xAA, added in 2003, are undefined).
TEST(CodePageTables, EverySingleByteTableMatchesIconvExceptTheListedDifferences) {
    const char* const differences[] = {"CP874 0x80 -1",         "ISO-8859-7 0xa1 0x2bd",
                                       "ISO-8859-7 0xa2 0x2bc", "ISO-8859-7 0xa4 -1",
                                       "ISO-8859-7 0xa5 -1",    "ISO-8859-7 0xaa -1"};
    for (const auto& table : kSingleByte) {
        int defined = 0;
        for (int b = 0; b < 256; ++b) {
            const Bytes form = formOf(table.convert, static_cast<unsigned char>(b));
            std::uint32_t ours = 0;
            const long value = form.empty() ? -1
                               : modelDecode(form.data(), static_cast<int>(form.size()), &ours) >= 0
                                   ? static_cast<long>(ours)
                                   : -2;
            long expected = b == 0 ? -1 : iconvPoint(table.name, {static_cast<unsigned char>(b)});
            expected = std::string(table.name) == "ISO-8859-6" && b >= 0x30 && b <= 0x39
                           ? 0x660 + b - 0x30
                           : expected;
            for (const char* row : differences) {
                const auto f = fields(row);
                expected = f[0] == table.name && num(f[1]) == b ? num(f[2]) : expected;
            }
            EXPECT_EQ(value, expected) << table.name << " " << b;
            defined += value >= 0;
        }
        EXPECT_GT(defined, 127) << table.name;
    }
}

// The bytes undefined in code page 1252 keep their own value in the table, so that U+0081 and
// the like find them.
TEST(CodePageTables, CodePage1252MatchesIconvBothWays) {
    const std::string undefined = "\x81\x8D\x8F\x90\x9D";
    for (std::uint32_t u = 1; u <= 0xFFFF; ++u) {
        const bool odd = u < 256 && undefined.find(static_cast<char>(u)) != std::string::npos;
        Bytes theirs;
        unsigned char dst[4];
        const unsigned char b = static_cast<unsigned char>(u);
        if (u < 256) {
            ASSERT_NE(iconvText("UTF-8", "CP1252", {b}, &theirs), odd) << u;
            ASSERT_EQ(cp1252_to_utf8(dst, 4, &b, 1), 0);
            ASSERT_EQ(Bytes(dst, dst + cp1252_to_utf8(nullptr, 0, &b, 1)), odd ? Bytes{0} : theirs)
                << u;
        }
        unsigned char form[3];
        const int length = utf8_wctomb(form, static_cast<unsigned short>(u), 3);
        if (!iconvText("CP1252", "UTF-8", Bytes(form, form + length), &theirs)) {
            theirs = odd ? Bytes{b} : Bytes();
        }
        ASSERT_EQ(Bytes(dst, dst + utf8_to_cp1252(form, length, dst, 4)), theirs) << u;
    }
}

// A byte 0x81-0xFF alone is refused by iconv; here it keeps its value, so a cut pair loses
// nothing. U+20AC has no pair and so no form here (iconv writes the byte 0x80); Latin-1
// characters without a pair give the byte of their value.
TEST(CodePageTables, EveryCodePage936PairAndCharacterMatchesIconv) {
    int pairs = 0;
    for (int code = 0x8100; code <= 0xFEFF; ++code) {
        const Bytes pair = {static_cast<unsigned char>(code >> 8),
                            static_cast<unsigned char>(code)};
        const long theirs = pair[1] == 0 ? -1 : iconvPoint("GBK", pair);
        unsigned short u = 0;
        ASSERT_EQ(char2uni(pair.data(), 2, &u), pair[1] == 0 ? 1 : theirs < 0 ? -1 : 2) << code;
        ASSERT_TRUE(theirs < 0 || u == theirs) << code;
        pairs += theirs >= 0;
    }
    EXPECT_EQ(pairs, 21791);  // the pairs of the published mapping
    for (int b = 0; b < 256; ++b) {
        unsigned short u = 0;
        const unsigned char one = static_cast<unsigned char>(b);
        ASSERT_EQ(char2uni(&one, 1, &u), 1);
        EXPECT_EQ(u, b <= 0x80 ? iconvPoint("GBK", {one}) : b) << b;
    }
    for (std::uint32_t u = 1; u <= 0xFFFF; ++u) {
        Bytes theirs;
        const Bytes unit = {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8)};
        if (u == 0x20AC || !iconvText("GBK", "UTF-16LE", unit, &theirs)) {
            theirs = u >= 0x80 && u <= 0xFF ? Bytes{unit[0]} : Bytes();
        }
        unsigned char out[2];
        const int n = uni2char(static_cast<unsigned short>(u), out, 2);
        ASSERT_EQ(n < 0 ? Bytes() : Bytes(out, out + n), theirs) << u;
        pairs -= n == 2;
    }
    EXPECT_EQ(pairs, 0);
}
#endif
