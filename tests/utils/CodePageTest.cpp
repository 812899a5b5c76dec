// The conversion tables against glibc's iconv, an independent implementation of the published
// mappings: every single-byte table, every code page 936 pair in both directions, code page 1252
// in both directions and the UTF-8 forms. Each difference that remains is listed and explained.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "infra/CharSet.h"

using namespace Tovix::Utils;

namespace {

using Bytes = std::vector<unsigned char>;

class Iconv {
public:
    Iconv(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~Iconv() {
        if (ok()) {
            iconv_close(m_cd);
        }
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;

    bool ok() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    // Converts all of `in`; false when iconv refuses any of it.
    bool convert(const Bytes& in, Bytes* out) {
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        out->assign(in.size() * 4 + 16, 0);
        Bytes copy(in);
        char* ip = reinterpret_cast<char*>(copy.data());
        std::size_t il = copy.size();
        char* op = reinterpret_cast<char*>(out->data());
        std::size_t ol = out->size();
        if (iconv(m_cd, &ip, &il, &op, &ol) == static_cast<std::size_t>(-1) || il != 0) {
            return false;
        }
        if (iconv(m_cd, nullptr, nullptr, &op, &ol) == static_cast<std::size_t>(-1)) {
            return false;
        }
        out->resize(out->size() - ol);
        return true;
    }

    // The code points of `in` (for a UTF-32LE target); false when iconv refuses it.
    bool codePoints(const Bytes& in, std::vector<std::uint32_t>* out) {
        Bytes raw;
        if (!convert(in, &raw)) {
            return false;
        }
        out->assign(raw.size() / 4, 0);
        std::memcpy(out->data(), raw.data(), out->size() * 4);
        return true;
    }

private:
    iconv_t m_cd;
};

// The UTF-8 form of a 16-bit value, written out here so the tables are checked without the
// library's own encoder.
Bytes utf8Of(std::uint32_t u) {
    if (u < 0x80) {
        return {static_cast<unsigned char>(u)};
    }
    if (u < 0x800) {
        return {static_cast<unsigned char>(0xC0 | (u >> 6)),
                static_cast<unsigned char>(0x80 | (u & 0x3F))};
    }
    return {static_cast<unsigned char>(0xE0 | (u >> 12)),
            static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F)),
            static_cast<unsigned char>(0x80 | (u & 0x3F))};
}

bool isSurrogate(std::uint32_t u) {
    return u >= 0xD800 && u <= 0xDFFF;
}

using SingleByteConverter = int (*)(unsigned char*, int&, unsigned char const*, int&);

// The code point the converter gives for one byte, -1 when the byte is skipped.
long singleByteValue(SingleByteConverter convert, unsigned char b) {
    unsigned char dst[8];
    int dstLen = 8;
    int srcLen = 1;
    if (convert(dst, dstLen, &b, srcLen) != 0 || dstLen == 0) {
        return -1;
    }
    unsigned short u = 0;
    EXPECT_EQ(utf8_mbtowc(&u, dst, dstLen), dstLen);
    return u;
}

}  // namespace

TEST(CodePageTables, EverySingleByteTableMatchesIconvExceptTheListedDifferences) {
    struct Table {
        SingleByteConverter convert;
        const char* iconvName;
        std::map<int, long> differences;  // byte -> our value (-1: undefined here)
    };
    // Byte 0x00 is undefined in every table: the converters skip it, iconv gives U+0000.
    // Code page 874 has no 0x80 here (iconv: U+20AC, a later addition to the code page).
    // ISO 8859-6 maps its digits to the Arabic-Indic digits U+0660-U+0669 here.
    // ISO 8859-7 follows its 1987 edition here: 0xA1/0xA2 are U+02BD/U+02BC, and 0xA4, 0xA5 and
    // 0xAA (U+20AC, U+20AF, U+037A, added in 2003) are undefined.
    const std::map<int, long> none;
    std::map<int, long> cp874 = {{0x80, -1}};
    std::map<int, long> iso6;
    for (int d = 0; d < 10; ++d) {
        iso6[0x30 + d] = 0x0660 + d;
    }
    std::map<int, long> iso7 = {{0xA1, 0x02BD}, {0xA2, 0x02BC}, {0xA4, -1}, {0xA5, -1}, {0xAA, -1}};
    const Table tables[] = {
        {cp862_to_utf8, "CP862", none},
        {cp874_to_utf8, "CP874", cp874},
        {cp1250_to_utf8, "CP1250", none},
        {cp1251_to_utf8, "CP1251", none},
        {iso8859_1_to_utf8, "ISO-8859-1", none},
        {iso8859_2_to_utf8, "ISO-8859-2", none},
        {iso8859_3_to_utf8, "ISO-8859-3", none},
        {iso8859_4_to_utf8, "ISO-8859-4", none},
        {iso8859_5_to_utf8, "ISO-8859-5", none},
        {iso8859_6_to_utf8, "ISO-8859-6", iso6},
        {iso8859_7_to_utf8, "ISO-8859-7", iso7},
        {iso8859_8_to_utf8, "ISO-8859-8", none},
        {iso8859_9_to_utf8, "ISO-8859-9", none},
        {iso8859_10_to_utf8, "ISO-8859-10", none},
        {iso8859_13_to_utf8, "ISO-8859-13", none},
        {iso8859_14_to_utf8, "ISO-8859-14", none},
        {iso8859_15_to_utf8, "ISO-8859-15", none},
        {iso8859_16_to_utf8, "ISO-8859-16", none},
    };
    for (const Table& t : tables) {
        Iconv cd("UTF-32LE", t.iconvName);
        ASSERT_TRUE(cd.ok()) << t.iconvName;
        std::map<int, long> differences = t.differences;
        differences[0x00] = -1;
        int defined = 0;
        for (int b = 0; b < 256; ++b) {
            std::vector<std::uint32_t> points;
            const long theirs =
                cd.codePoints({static_cast<unsigned char>(b)}, &points) && points.size() == 1
                    ? static_cast<long>(points[0])
                    : -1;
            const long ours = singleByteValue(t.convert, static_cast<unsigned char>(b));
            const auto listed = differences.find(b);
            if (listed != differences.end()) {
                EXPECT_EQ(ours, listed->second) << t.iconvName << " byte " << b;
                EXPECT_NE(ours, theirs) << t.iconvName << " byte " << b << " is no difference";
            } else {
                EXPECT_EQ(ours, theirs) << t.iconvName << " byte " << b;
            }
            defined += ours >= 0;
        }
        EXPECT_GT(defined, 127) << t.iconvName;
    }
}

TEST(CodePageTables, CodePage1252MatchesIconvBothWays) {
    Iconv toUtf8("UTF-8", "CP1252");
    Iconv fromUtf8("CP1252", "UTF-8");
    ASSERT_TRUE(toUtf8.ok() && fromUtf8.ok());
    const std::vector<int> undefined = {0x81, 0x8D, 0x8F, 0x90, 0x9D};
    for (int b = 0; b < 256; ++b) {
        const unsigned char src = static_cast<unsigned char>(b);
        unsigned char dst[4];
        ASSERT_EQ(cp1252_to_utf8(dst, 4, &src, 1), 0);
        const int length = cp1252_to_utf8(nullptr, 0, &src, 1);
        Bytes theirs;
        const bool known = toUtf8.convert({src}, &theirs);
        if (std::find(undefined.begin(), undefined.end(), b) != undefined.end()) {
            // Undefined in the code page (iconv refuses the byte); the mapping stops there and
            // the byte gives a NUL.
            EXPECT_FALSE(known) << b;
            EXPECT_EQ(Bytes(dst, dst + length), Bytes{0}) << b;
        } else {
            ASSERT_TRUE(known) << b;
            EXPECT_EQ(Bytes(dst, dst + length), theirs) << b;
        }
    }
    for (std::uint32_t u = 1; u <= 0xFFFF; ++u) {
        if (isSurrogate(u)) {
            continue;
        }
        const Bytes form = utf8Of(u);
        unsigned char dst[4];
        const int n = utf8_to_cp1252(form.data(), static_cast<int>(form.size()), dst, 4);
        Bytes theirs;
        const bool known = fromUtf8.convert(form, &theirs);
        if (u >= 0x80 && u < 0xA0 &&
            std::find(undefined.begin(), undefined.end(), static_cast<int>(u)) != undefined.end()) {
            // The undefined bytes keep their own value in the table, so U+0081 and the like
            // find them; iconv has no byte for these characters.
            EXPECT_FALSE(known) << u;
            EXPECT_EQ(Bytes(dst, dst + n), Bytes{static_cast<unsigned char>(u)}) << u;
        } else if (known) {
            EXPECT_EQ(Bytes(dst, dst + n), theirs) << u;
        } else {
            EXPECT_EQ(n, 0) << u;
        }
    }
}

TEST(CodePageTables, EveryCodePage936PairMatchesIconv) {
    Iconv cd("UTF-32LE", "GBK");
    ASSERT_TRUE(cd.ok());
    int mapped = 0;
    for (int lead = 0x81; lead <= 0xFE; ++lead) {
        for (int trail = 0x01; trail <= 0xFF; ++trail) {
            const Bytes pair = {static_cast<unsigned char>(lead),
                                static_cast<unsigned char>(trail)};
            std::vector<std::uint32_t> points;
            const bool one = cd.codePoints(pair, &points) && points.size() == 1;
            unsigned short u = 0;
            const int n = char2uni(pair.data(), 2, &u);
            if (one) {
                ASSERT_EQ(n, 2) << lead << " " << trail;
                ASSERT_EQ(u, points[0]) << lead << " " << trail;
                ++mapped;
            } else {
                ASSERT_EQ(n, -1) << lead << " " << trail;
            }
        }
    }
    EXPECT_EQ(mapped, 21791);  // the pairs of the published mapping

    // Single bytes: ASCII and 0x80 (U+20AC) agree. A byte 0x81-0xFF alone is refused by iconv;
    // here it keeps its value as U+0081-U+00FF, so a cut pair loses nothing.
    for (int b = 0; b < 256; ++b) {
        const Bytes single = {static_cast<unsigned char>(b)};
        std::vector<std::uint32_t> points;
        const bool known = cd.codePoints(single, &points) && points.size() == 1;
        unsigned short u = 0;
        ASSERT_EQ(char2uni(single.data(), 1, &u), 1);
        if (b <= 0x80) {
            ASSERT_TRUE(known) << b;
            EXPECT_EQ(u, points[0]) << b;
        } else {
            EXPECT_FALSE(known) << b;
            EXPECT_EQ(u, b);
        }
    }
}

TEST(CodePageTables, EveryUnicodeCharacterEncodesLikeIconv) {
    Iconv cd("GBK", "UTF-32LE");
    ASSERT_TRUE(cd.ok());
    int pairs = 0;
    for (std::uint32_t u = 1; u <= 0xFFFF; ++u) {
        if (isSurrogate(u)) {
            unsigned char out[2];
            EXPECT_EQ(uni2char(static_cast<unsigned short>(u), out, 2), -1);
            continue;
        }
        Bytes in(4);
        std::memcpy(in.data(), &u, 4);
        Bytes theirs;
        const bool known = cd.convert(in, &theirs);
        unsigned char out[2];
        const int n = uni2char(static_cast<unsigned short>(u), out, 2);
        if (u == 0x20AC) {
            // iconv writes the single byte 0x80; here U+20AC has no form (it has no pair).
            EXPECT_EQ(n, -1);
        } else if (!known && u >= 0x80 && u <= 0xFF) {
            // Latin-1 characters without a pair give the byte of their value, as a byte read
            // alone gives them back; iconv has no form for them.
            ASSERT_EQ(n, 1) << u;
            EXPECT_EQ(out[0], u);
        } else if (known) {
            ASSERT_EQ(n, static_cast<int>(theirs.size())) << u;
            EXPECT_EQ(Bytes(out, out + n), theirs) << u;
            pairs += n == 2;
        } else {
            ASSERT_EQ(n, -1) << u;
        }
    }
    EXPECT_EQ(pairs, 21791);
}

TEST(CodePageTables, WholeTextsConvertLikeIconv) {
    // Every mapped pair once, with ASCII between runs of pairs.
    Bytes gb;
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
    Iconv toUtf8("UTF-8", "GBK");
    Iconv toGb("GBK", "UTF-8");
    ASSERT_TRUE(toUtf8.ok() && toGb.ok());
    Bytes expectedUtf8;
    ASSERT_TRUE(toUtf8.convert(gb, &expectedUtf8));

    std::vector<char> text(gb.begin(), gb.end());
    text.push_back('\0');
    Bytes utf8(expectedUtf8.size() + 1);
    ASSERT_EQ(Gb2312TUtf8(text.data(), utf8.data(), static_cast<int>(utf8.size())),
              static_cast<int>(expectedUtf8.size()));
    utf8.pop_back();
    EXPECT_EQ(utf8, expectedUtf8);

    Bytes expectedGb;
    ASSERT_TRUE(toGb.convert(utf8, &expectedGb));
    EXPECT_EQ(expectedGb, gb);
    std::vector<char> back(gb.size() + 1);
    utf8.push_back(0);
    EXPECT_GT(utf8TGb2312(utf8.data(), back.data(), static_cast<int>(utf8.size()),
                          static_cast<int>(back.size())),
              21791);
    EXPECT_EQ(Bytes(back.begin(), back.end() - 1), gb);
}

TEST(CodePageTables, Utf8FormsMatchIconv) {
    Iconv encode("UTF-8", "UTF-32LE");
    Iconv decode("UTF-32LE", "UTF-8");
    ASSERT_TRUE(encode.ok() && decode.ok());
    for (std::uint32_t u = 1; u <= 0xFFFF; ++u) {
        unsigned char form[3];
        const int n = utf8_wctomb(form, static_cast<unsigned short>(u), 3);
        Bytes in(4);
        std::memcpy(in.data(), &u, 4);
        Bytes theirs;
        if (isSurrogate(u)) {
            // Encoded here as any other value; iconv refuses lone surrogates.
            EXPECT_FALSE(encode.convert(in, &theirs));
            EXPECT_EQ(n, 3);
        } else {
            ASSERT_TRUE(encode.convert(in, &theirs));
            EXPECT_EQ(Bytes(form, form + n), theirs) << u;
        }
    }

    // Every one-, two- and three-byte sequence, and the four-byte ones over all leads and second
    // bytes. Valid forms agree in value (cut to 16 bits here); the forms accepted here only are
    // encoded surrogates and four-byte values beyond U+10FFFF, which the original definition of
    // UTF-8 allows and iconv refuses.
    std::vector<Bytes> sequences;
    for (int a = 0; a < 256; ++a) {
        sequences.push_back({static_cast<unsigned char>(a)});
    }
    for (int a = 0xC0; a < 0xE0; ++a) {
        for (int b = 0; b < 256; ++b) {
            sequences.push_back({static_cast<unsigned char>(a), static_cast<unsigned char>(b)});
        }
    }
    for (int a = 0xE0; a < 0xF0; ++a) {
        for (int b = 0x70; b < 0xD0; ++b) {
            for (int c = 0x7F; c < 0xC1; ++c) {
                sequences.push_back({static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                                     static_cast<unsigned char>(c)});
            }
        }
    }
    for (int a = 0xF0; a < 0xF8; ++a) {
        for (int b = 0x7F; b < 0xC1; ++b) {
            for (int c : {0x80, 0xBF, 0x41}) {
                sequences.push_back({static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                                     static_cast<unsigned char>(c), 0x80});
            }
        }
    }
    int agreed = 0;
    for (const Bytes& s : sequences) {
        unsigned short ours = 0;
        const bool valid =
            utf8_mbtowc(&ours, s.data(), static_cast<int>(s.size())) == static_cast<int>(s.size());
        std::vector<std::uint32_t> points;
        const bool theirs = decode.codePoints(s, &points) && points.size() == 1;
        if (theirs) {
            ASSERT_TRUE(valid);
            EXPECT_EQ(ours, points[0] & 0xFFFF);
            ++agreed;
            continue;
        }
        if (valid) {
            std::uint32_t v = 0;
            for (std::size_t i = 1; i < s.size(); ++i) {
                v = (v << 6) | (s[i] & 0x3F);
            }
            v |= static_cast<std::uint32_t>(s[0] & (0x3F >> (s.size() - 1)))
                 << (6 * (s.size() - 1));
            EXPECT_TRUE((s.size() == 3 && isSurrogate(v)) || (s.size() == 4 && v > 0x10FFFF))
                << std::hex << v;
        }
    }
    EXPECT_GT(agreed, 60000);
}
