// Character-set conversion: tables against glibc's iconv where found (differences listed), UTF-8
// against a decoder written here, whole texts against models built from single characters.
#include "infra/CharSet.h"

#include "UtilsTestHelpers.h"

#if defined(INFRA_HAVE_ICONV)
#include <iconv.h>
#endif

using namespace Tovix::Utils;
using namespace UtilsTest;

namespace {

// A NUL-terminated copy in a block of its size: AddressSanitizer sees a read past the NUL.
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

// Random text without NUL: ASCII, stray bytes, and pairs with any trail byte (kind 0), or UTF-8
// forms of 16-bit values (kind 1) or of the pairs' characters (kind 2).
Bytes randomText(std::mt19937& rng, std::size_t length, int kind) {
    Bytes out;
    while (out.size() < length) {
        const unsigned k = rng() % 10;
        unsigned char c[3] = {static_cast<unsigned char>(
                                  k < 3 ? 1 + rng() % 127 : 0x81 + rng() % (kind ? 0x6F : 0x7F)),
                              static_cast<unsigned char>(0x40 + rng() % 0xBF)};
        unsigned short u = static_cast<unsigned short>(0x80 + rng() % 0xFF80);
        if (kind == 2) {
            char2uni(c, 2, &u);  // the pair's character where mapped
        }
        const int n = k < 3 || k == 9 ? 1 : kind == 0 ? 2 : utf8_wctomb(c, u, 3);
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

// Code page 1252 as a converter of one byte.
int cp1252One(unsigned char* dst, int& dstLen, unsigned char const* src, int&) {
    dstLen = cp1252_to_utf8(nullptr, 0, src, 1);
    return cp1252_to_utf8(dst, dstLen, src, 1);
}

using SingleByteConverter = int (*)(unsigned char*, int&, unsigned char const*, int&);

const SingleByteConverter kConverters[] = {
    cp862_to_utf8,      cp874_to_utf8,      cp1250_to_utf8,     cp1251_to_utf8,
    iso8859_1_to_utf8,  iso8859_2_to_utf8,  iso8859_3_to_utf8,  iso8859_4_to_utf8,
    iso8859_5_to_utf8,  iso8859_6_to_utf8,  iso8859_7_to_utf8,  iso8859_8_to_utf8,
    iso8859_9_to_utf8,  iso8859_10_to_utf8, iso8859_13_to_utf8, iso8859_14_to_utf8,
    iso8859_15_to_utf8, iso8859_16_to_utf8, cp1252One};
const char* const kNames[] = {"CP862",       "CP874",       "CP1250",      "CP1251",
                              "ISO-8859-1",  "ISO-8859-2",  "ISO-8859-3",  "ISO-8859-4",
                              "ISO-8859-5",  "ISO-8859-6",  "ISO-8859-7",  "ISO-8859-8",
                              "ISO-8859-9",  "ISO-8859-10", "ISO-8859-13", "ISO-8859-14",
                              "ISO-8859-15", "ISO-8859-16", "CP1252"};

// The UTF-8 form a converter gives for one byte alone.
Bytes formOf(SingleByteConverter convert, unsigned char b) {
    unsigned char dst[8];
    int dstLen = 8;
    int srcLen = 1;
    EXPECT_EQ(convert(dst, dstLen, &b, srcLen), 0);
    return Bytes(dst, dst + dstLen);
}

}  // namespace

// Every two-byte sequence and random longer ones decode as the model says; every 16-bit value
// encodes in its shortest form.
TEST(Utf8Conversion, FormsFollowTheFormTable) {
    std::mt19937 rng(8);
    for (int round = 0; round < 300000; ++round) {
        Bytes s = {static_cast<unsigned char>(round >> 8), static_cast<unsigned char>(round)};
        for (std::size_t i = 0; round >= 0x10000 && i < s.size(); ++i) {
            s.resize(i == 0 ? 1 + rng() % 6 : s.size());  // mostly continuation bytes
            s[i] = static_cast<unsigned char>(i > 0 && rng() % 8 ? 0x80 | (rng() & 0x3F)
                                                                 : rng() | (i ? 0 : 0x80));
        }
        const int n = static_cast<int>(s.size() - (round >= 0x10000 ? rng() % 2 : 0));
        std::uint32_t v = 0;
        const int length = modelDecode(s.data(), n, &v);
        unsigned short u = 0x1234;
        ASSERT_EQ(utf8_mbtowc(&u, s.data(), n), length) << toHex(s) << " " << n;
        ASSERT_EQ(u, length < 0 ? 0x1234 : v & 0xFFFF) << toHex(s);
    }
    for (std::uint32_t u = 0; u <= 0xFFFF; ++u) {
        unsigned char s[3];
        std::uint32_t v = 0;
        const int length = utf8_wctomb(s, static_cast<unsigned short>(u), 3);
        ASSERT_EQ(length, u < 0x80 ? 1 : (u < 0x800 ? 2 : 3)) << u;
        ASSERT_EQ(utf8_wctomb(s + 1, static_cast<unsigned short>(u), length - 1), -1);
        ASSERT_TRUE(modelDecode(s, length, &v) == length && v == u) << u;
    }
    EXPECT_EQ(utf8_mbtowc(nullptr, fromHex("e4b880").data(), 3) + utf8_mbtowc(nullptr, nullptr, 3) +
                  utf8_wctomb(nullptr, 0x41, 4),
              2);
}

// utf8_wcstombs counts every byte against the allowance, and a unit that does not fit costs one.
// GetUnicodeFromUtf8 (text: value, length) has no overlong check; a NUL within the form gives 0,
// another byte the bits gathered so far.
TEST(Utf8Conversion, TextRulesAndTheFirstCharacter) {
    const unsigned short text[] = {'a', 0x4E00, 'b', 0xE9, 0};
    Guarded o(8);
    EXPECT_EQ(utf8_wcstombs(o.data(), text, 8) + utf8_wcstombs(o.data() + 7, text, 0), 7);
    EXPECT_EQ(utf8_wcstombs(o.data(), text, 3), 2);
    EXPECT_EQ(toHex(o.contents()), "6162b88062c3a9a5");  // nothing written past the allowance
    int length = -7;
    EXPECT_EQ(GetUnicodeFromUtf8("\xC0\xAF", &length) + length, 0x2F + 2);  // no overlong check
    EXPECT_EQ(GetUnicodeFromUtf8("\xE4\xB8", &length) + length, 3);         // cut by the NUL: 0
    EXPECT_EQ(GetUnicodeFromUtf8("\xE4\xB8\xC3", &length) + length, 0x138 + 3);  // the bits so far
    EXPECT_EQ(GetUnicodeFromUtf8("\xF0\x9F\x98\x80", &length) + length, 0);
    EXPECT_EQ(GetUnicodeFromUtf8(nullptr, &length) + length, 0);
}

// Forms of 1 to 6 bytes, none for values with the top bit set, no terminator; bad arguments and
// an output that is too small are logged as warnings.
TEST(UCS4ToUtf8, EncodesOneToSixByteFormsAndReportsBadArguments) {
    const std::uint32_t values[] = {0x41, 0xE9, 0x4E00, 0x1F600, 0x80000000u, 0x7FFFFFFF};
    std::vector<char> ucs4(1 + sizeof values);  // one byte ahead: the values are unaligned
    std::memcpy(ucs4.data() + 1, values, sizeof values);
    TestSupport::LogCapture log;
    Guarded out(17);
    EXPECT_EQ(UCS4ToUtf8(ucs4.data() + 1, 24, out.data(), 17), 16);
    EXPECT_EQ(UCS4ToUtf8(ucs4.data() + 1, 16, out.data(), 9), 6);  // U+1F600 does not fit
    EXPECT_EQ(toHex(out.data(), 18), "41c3a9e4b880f09f9880fdbfbfbfbfbfa5a5");
    EXPECT_EQ(UCS4ToUtf8(ucs4.data(), 6, out.data(), 16) + UCS4ToUtf8(nullptr, 8, out.data(), 16) +
                  UCS4ToUtf8(ucs4.data(), 8, nullptr, 16) +
                  UCS4ToUtf8(ucs4.data(), -4, out.data(), 16),
              0);
    EXPECT_TRUE(log.contains("UCS4ToUtf8 utf8Size error\n") &&
                log.contains("UCS4ToUtf8 ucs4Len error\n") && log.contains("ucs4 is invalid\n") &&
                log.contains("utf8 is invalid\n"))
        << log.text();
}

// char2uni (bytes, len: result, value): a lead byte alone or before a NUL is itself, 0x80 is
// U+20AC. uni2char (unit, outLen: result, bytes): U+00B7 and the like take their pair, a byte of
// theirs being a lead byte. UniTGb2312 (n, outSize: result, bytes): terminated within outSize.
TEST(CodePage936, DocumentedCases) {
    for (const char* row : {"b0a1 2 2 0x554a", "b0a1 1 1 0xb0", "b000 2 1 0xb0", "8041 2 1 0x20ac",
                            "ffa1 2 1 0xff", "aaa1 2 -1 0x1234", "b0a1 0 -1 0x1234"}) {
        const auto f = fields(row);
        unsigned short u = 0x1234;
        EXPECT_EQ(char2uni(fromHex(f[0]).data(), num(f[1]), &u), num(f[2])) << row;
        EXPECT_EQ(u, num(f[3])) << row;
    }
    for (const char* row : {"0x554a 2 2 b0a1", "0x554a 1 -1 a5a5", "0xb7 2 2 a1a4",
                            "0xb7 1 -1 a5a5", "0xc0 1 1 c0a5", "0x41 0 -1 a5a5", "0 2 -1 a5a5"}) {
        const auto f = fields(row);
        Guarded out(2);
        EXPECT_EQ(uni2char(static_cast<unsigned short>(num(f[0])), out.data(), num(f[1])),
                  num(f[2]))
            << row;
        EXPECT_EQ(toHex(out.data(), 2), f[3]) << row;
    }
    unsigned short u = 0;
    EXPECT_EQ(char2uni(nullptr, 2, &u) + char2uni(fromHex("41").data(), 1, nullptr), -2);
    EXPECT_EQ(uni2char(0x41, nullptr, 2), -1);
    unsigned short text[] = {0x554A, 'A', 0x554A, 0};
    unsigned short bad[] = {'A', 0x20AC, 'B', 0};
    for (const char* row :
         {"8 6 3 b0a141b0a100a5", "8 5 2 b0a1410000a5", "8 4 2 b0a14100a5", "8 3 1 b0a100a5",
          "8 1 0 00a5", "8 0 0 a5", "2 6 2 b0a141000000a5", "bad 4 -1 41000000a5"}) {
        const auto f = fields(row);
        Guarded out(static_cast<std::size_t>(num(f[1])));
        EXPECT_EQ(UniTGb2312(f[0] == "bad" ? bad : text, f[0] == "bad" ? 8 : num(f[0]), out.text(),
                             num(f[1])),
                  num(f[2]))
            << row;
        EXPECT_EQ(toHex(out.data(), f[3].size() / 2), f[3]) << row;
    }
    EXPECT_EQ(UniTGb2312(nullptr, 8, reinterpret_cast<char*>(text), 4), 0);
}

// Empty or null texts give 0; U+24E00 has no form (it is not U+4E00).
TEST(CodePage936, EmptyOrNullTextsAndCharactersBeyondTheBmp) {
    std::vector<char> gb = cText(fromHex("b0a1"));
    Guarded u(20);
    Guarded g(16);
    std::vector<char> empty = cText({});
    EXPECT_EQ(Gb2312TUtf8(empty.data(), u.data(), 20) + Gb2312TUtf8(nullptr, u.data(), 20), 0);
    EXPECT_EQ(utf8TGb2312(u8(empty), g.text(), 4, 16) + utf8TGb2312(nullptr, g.text(), 4, 16), 0);
    EXPECT_EQ(Gb2312ToUni(nullptr, u.units(), 2) + Gb2312ToUni(gb.data(), nullptr, 2), 0);
    std::vector<char> wide = cText(fromHex("61f0a4b880"));
    EXPECT_EQ(utf8TGb2312(u8(wide), g.text(), 5, 16), -1);
    EXPECT_EQ(std::string(g.text()), "a");
}

// Gb2312ToUni, and the one-pass Gb2312TUtf8 and utf8TGb2312 as their definitions: through the
// units, with utf8_wcstombs into a cleared allowance, or utf8_mbstowcs and UniTGb2312.
TEST(CodePage936, TextsFollowTheCharacterWalkAndTheTwoStepDefinitions) {
    std::mt19937 rng(936);
    for (int round = 0; round < 4000; ++round) {
        const Bytes gb =
            round == 0 ? fromHex("41b0a142aaa143b00a817fb0") : randomText(rng, rng() % 40, 0);
        std::vector<char> text = cText(gb);
        std::vector<unsigned short> units = modelGbUnits(gb);
        const int n = static_cast<int>(rng() % (units.size() + 3));
        Guarded out(static_cast<std::size_t>(n) * 2);
        ASSERT_EQ(Gb2312ToUni(text.data(), out.units(), n),
                  std::min<int>(n, static_cast<int>(units.size())));
        units.resize(units.size() + static_cast<std::size_t>(n) + 1, 0);
        ASSERT_TRUE(std::equal(out.units(), out.units() + n, units.begin()) && out.guardsIntact())
            << round;
        const int room = static_cast<int>(rng() % (3 * gb.size() + 4));
        Guarded oneStep(static_cast<std::size_t>(room));
        Guarded twoStep(static_cast<std::size_t>(room));
        std::fill(twoStep.data(), twoStep.data() + (gb.empty() ? 0 : room), 0);
        int expected = gb.empty() ? 0 : utf8_wcstombs(twoStep.data(), units.data(), room);
        ASSERT_EQ(Gb2312TUtf8(text.data(), oneStep.data(), room), expected) << round;
        ASSERT_TRUE(oneStep.contents() == twoStep.contents() && oneStep.guardsIntact()) << round;

        const Bytes utf8 = randomText(rng, rng() % 40, 1 + round % 2);
        std::vector<char> utf8Text = cText(utf8);
        const int length = static_cast<int>(rng() % (utf8.size() + 3));  // may pass the NUL
        Guarded gb1(static_cast<std::size_t>(room));
        Guarded gb2(static_cast<std::size_t>(room));
        units.assign(static_cast<std::size_t>(length) + 1, 0);
        const int count = utf8_mbstowcs(units.data(), u8(utf8Text), length);
        expected =
            length > 0 && utf8.empty() ? 0 : UniTGb2312(units.data(), count, gb2.text(), room);
        ASSERT_EQ(utf8TGb2312(u8(utf8Text), gb1.text(), length, room), expected) << round;
        ASSERT_TRUE(gb1.contents() == gb2.contents() && gb1.guardsIntact()) << round;
    }
}

// The mapping stops at the first undefined byte, which and each byte after it give one NUL; the
// output is written only when all of it fits, else its size is returned. The walk back ends at a
// stray continuation byte, a broken or overlong form, a cut form, a 5-byte lead.
TEST(CodePage1252, TextsConvertUpToTheFirstUndefinedByte) {
    const std::string plain = "6162636465666768696a6b6c6d6e6f70";  // 16 ASCII letters
    const Bytes src = fromHex("41e98099" + plain + "00" + plain + "8d4280");
    const std::string utf8 = "41c3a9e282ace284a2" + plain + "00" + plain + "000000";
    for (const int room : {44, 45, 120}) {  // too small, exact, room for three bytes a byte
        Guarded out(static_cast<std::size_t>(room));
        ASSERT_EQ(cp1252_to_utf8(out.data(), room, src.data(), 40), room < 45 ? 45 : 0);
        Bytes want = room < 45 ? Bytes() : fromHex(utf8);
        want.resize(static_cast<std::size_t>(room), Guarded::kFill);
        EXPECT_TRUE(out.contents() == want && out.guardsIntact()) << room;
    }
    EXPECT_EQ(cp1252_to_utf8(nullptr, 0, src.data(), 0) + cp1252_to_utf8(nullptr, 0, nullptr, 1),
              -2);
    unsigned char back[8];
    EXPECT_EQ(utf8_to_cp1252(fromHex("c3bfe282ac61e4b880e284a2c2810062").data(), 16, back, 8), 7);
    EXPECT_EQ(toHex(back, 7), "ff806199810062");
    for (const char* ender : {"618062", "61c34162", "61c18162", "61e282", "61f88880808062"}) {
        EXPECT_EQ(utf8_to_cp1252(fromHex(ender).data(), static_cast<int>(std::strlen(ender) / 2),
                                 back, 8),
                  1);
    }
}

// Forms match iconv's but byte 0x00 (undefined; code page 1252 stops there, as at its undefined
// bytes), code page 874's 0x80 (added later), ISO 8859-6's digits (Arabic-Indic) and ISO 8859-7's
// 1987 edition (0xA1, 0xA2 are U+02BD, U+02BC; 0xA4, 0xA5, 0xAA undefined). Texts take whole
// forms while they fit in the room, at least the source's length.
TEST(SingleByte, TablesAndWholeTexts) {
    for (std::size_t t = 0; t < 19; ++t) {
        const std::string name = kNames[t];
        for (int b = 0; b < 256; ++b) {
#if defined(INFRA_HAVE_ICONV)
            const Bytes form = formOf(kConverters[t], static_cast<unsigned char>(b));
            std::uint32_t ours = 0;
            const long value = form.empty() ? -1
                               : modelDecode(form.data(), static_cast<int>(form.size()), &ours) >= 0
                                   ? static_cast<long>(ours)
                                   : -2;
            long expected = b == 0 ? -1 : iconvPoint(name.c_str(), {static_cast<unsigned char>(b)});
            expected = name == "ISO-8859-6" && b >= 0x30 && b <= 0x39 ? 0x660 + b - 0x30 : expected;
            for (const char* row :
                 {"CP874 0x80 -1", "ISO-8859-7 0xa1 0x2bd", "ISO-8859-7 0xa2 0x2bc",
                  "ISO-8859-7 0xa4 -1", "ISO-8859-7 0xa5 -1", "ISO-8859-7 0xaa -1", "CP1252 0 0",
                  "CP1252 0x81 0", "CP1252 0x8d 0", "CP1252 0x8f 0", "CP1252 0x90 0",
                  "CP1252 0x9d 0"}) {
                const auto f = fields(row);
                expected = f[0] == name && num(f[1]) == b ? num(f[2]) : expected;
            }
            EXPECT_EQ(value, expected) << name << " " << b;
#endif
        }
        Bytes in(256);  // every byte in order, the form of each taken whole while it fits
        for (std::size_t b = 0; b < 256; ++b) {
            in[b] = static_cast<unsigned char>(b * 7);
        }
        for (const int room : {256, 333, 400, 512}) {
            Bytes expected;
            int taken = 0;
            for (Bytes f; taken < 256 && name != "CP1252"; ++taken) {
                f = formOf(kConverters[t], in[static_cast<std::size_t>(taken)]);
                if (expected.size() + f.size() > static_cast<std::size_t>(room)) {
                    break;
                }
                expected.insert(expected.end(), f.begin(), f.end());
            }
            Guarded out(static_cast<std::size_t>(room));
            int dstLen = room;
            int srcLen = 256;
            ASSERT_TRUE(name == "CP1252" ||
                        (kConverters[t](out.data(), dstLen, in.data(), srcLen) == 0 &&
                         srcLen == taken && dstLen == static_cast<int>(expected.size())))
                << name << " " << room;
            expected.resize(static_cast<std::size_t>(room), Guarded::kFill);
            ASSERT_TRUE(name == "CP1252" || out.contents() == expected) << name << " " << room;
        }
    }
    unsigned char abc[3] = {'a', 'b', 'c'};
    int dstLen = 2;  // less room than source, or no source
    int srcLen = 3;
    EXPECT_EQ(iso8859_1_to_utf8(abc, dstLen, abc, srcLen) +
                  iso8859_1_to_utf8(abc, dstLen, nullptr, srcLen),
              -2);
}

#if defined(INFRA_HAVE_ICONV)
// A byte 0x81-0xFF alone keeps its value (iconv refuses it); U+20AC has no pair and so no form
// (iconv writes 0x80); Latin-1 without a pair gives its own byte.
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
