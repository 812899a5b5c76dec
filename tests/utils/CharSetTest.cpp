// Character-set conversion: the documented behaviour of every converter, its bounds on bad input,
// and the one-pass code page 936 conversions against their two-step definitions.
#include "infra/CharSet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "infra/Function.h"
#include "infra/PrintLog.h"

using namespace Tovix::Utils;

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytes(const char* text) {
    return Bytes(text, text + std::strlen(text));
}

Bytes bytes(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) {
        out.push_back(static_cast<unsigned char>(v));
    }
    return out;
}

// An output buffer with guard bytes on both sides, so a write outside it is noticed.
class Guarded {
public:
    static constexpr std::size_t kGuard = 16;
    static constexpr unsigned char kFill = 0xA5;

    explicit Guarded(std::size_t size) : m_size(size), m_storage(size + 2 * kGuard, kFill) {}

    unsigned char* data() { return m_storage.data() + kGuard; }
    char* text() { return reinterpret_cast<char*>(data()); }
    unsigned short* units() { return reinterpret_cast<unsigned short*>(data()); }
    std::size_t size() const { return m_size; }

    bool guardsIntact() const {
        for (std::size_t i = 0; i < kGuard; ++i) {
            if (m_storage[i] != kFill || m_storage[kGuard + m_size + i] != kFill) {
                return false;
            }
        }
        return true;
    }
    Bytes contents() const {
        return Bytes(m_storage.begin() + kGuard, m_storage.begin() + kGuard + m_size);
    }

private:
    std::size_t m_size;
    Bytes m_storage;
};

// A NUL-terminated copy in a heap block of exactly its size, so reading past the NUL is an
// error under AddressSanitizer.
std::vector<char> cText(const Bytes& b) {
    std::vector<char> t(b.begin(), b.end());
    t.push_back('\0');
    return t;
}

// Lines shown by the log while a test captures them.
std::mutex g_logMutex;
std::vector<std::string> g_logLines;

void captureLine(const char* line) {
    std::lock_guard<std::mutex> guard(g_logMutex);
    g_logLines.emplace_back(line);
}

class LogCapture {
public:
    LogCapture() {
        std::lock_guard<std::mutex> guard(g_logMutex);
        g_logLines.clear();
        Tovix::Infra::setLogPrinter(Tovix::Infra::TFunction1<void, const char*>(&captureLine));
    }
    ~LogCapture() { Tovix::Infra::setLogPrinter(Tovix::Infra::TFunction1<void, const char*>()); }

    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> guard(g_logMutex);
        return g_logLines;
    }
    // True when exactly one line was logged and it ends with `message`.
    bool onlyLineEndsWith(const std::string& message) {
        const auto all = lines();
        return all.size() == 1 && all[0].size() >= message.size() &&
               all[0].compare(all[0].size() - message.size(), message.size(), message) == 0;
    }
};

}  // namespace

// ---- UTF-8 and UCS-2 --------------------------------------------------------------------------

TEST(Utf8Mbtowc, DecodesEveryFormLengthAndKeepsTheLow16Bits) {
    struct Case {
        Bytes in;
        int length;
        unsigned short value;
    };
    const Case cases[] = {
        {bytes({0x41}), 1, 0x41},
        {bytes({0xC3, 0xA9}), 2, 0xE9},
        {bytes({0xDF, 0xBF}), 2, 0x7FF},
        {bytes({0xE4, 0xB8, 0x80}), 3, 0x4E00},
        {bytes({0xEF, 0xBF, 0xBF}), 3, 0xFFFF},
        {bytes({0xED, 0xA0, 0x80}), 3, 0xD800},  // an encoded surrogate is an ordinary value
        {bytes({0xF0, 0x9F, 0x98, 0x80}), 4, 0xF600},
        {bytes({0xF8, 0x88, 0x80, 0x80, 0x80}), 5, 0x0000},
        {bytes({0xFD, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF}), 6, 0xFFFF},
    };
    for (const Case& c : cases) {
        unsigned short out = 0x1234;
        EXPECT_EQ(utf8_mbtowc(&out, c.in.data(), static_cast<int>(c.in.size())), c.length);
        EXPECT_EQ(out, c.value);
    }
}

TEST(Utf8Mbtowc, RejectsInvalidLeadBadContinuationOverlongAndTruncatedForms) {
    const Bytes invalid[] = {
        bytes({0xC0, 0xAF}),              // overlong "/"
        bytes({0xC1, 0xBF}),              // overlong 0x7F
        bytes({0xE0, 0x80, 0xAF}),        // overlong "/" in three bytes
        bytes({0xF0, 0x80, 0x80, 0xAF}),  // and in four
        bytes({0xF8, 0x80, 0x80, 0x80, 0xAF}),
        bytes({0xFC, 0x80, 0x80, 0x80, 0x80, 0xAF}),
        bytes({0x80}),
        bytes({0xBF, 0x80}),
        bytes({0xFE, 0x80}),
        bytes({0xFF}),
        bytes({0xE4, 0x41, 0x80}),  // continuation byte not 10xxxxxx
        bytes({0xE4, 0xB8, 0xC0}),
        bytes({0xE4, 0xB8}),  // cut by the length
        bytes({0xC3}),
    };
    for (const Bytes& in : invalid) {
        unsigned short out = 0x1234;
        EXPECT_EQ(utf8_mbtowc(&out, in.data(), static_cast<int>(in.size())), -1);
        EXPECT_EQ(out, 0x1234);
    }
    const Bytes ok = bytes({0xE4, 0xB8, 0x80});
    unsigned short out = 0;
    EXPECT_EQ(utf8_mbtowc(&out, ok.data(), 2), -1);  // `n` bounds the form
    EXPECT_EQ(utf8_mbtowc(&out, ok.data(), 0), -1);
    EXPECT_EQ(utf8_mbtowc(&out, nullptr, 3), -1);
    EXPECT_EQ(utf8_mbtowc(nullptr, ok.data(), 3), 3);
}

TEST(Utf8Mbstowcs, SkipsInvalidBytesStopsAtNulAndAtTheLength) {
    unsigned short out[16] = {};
    const Bytes skip = bytes({'a', 0xFF, 'b', 0xC3, 0xA9, 0x80, 'c'});
    ASSERT_EQ(utf8_mbstowcs(out, skip.data(), static_cast<int>(skip.size())), 4);
    EXPECT_EQ(out[0], 'a');
    EXPECT_EQ(out[1], 'b');
    EXPECT_EQ(out[2], 0xE9);
    EXPECT_EQ(out[3], 'c');

    const Bytes nul = bytes({'a', 'b', 0, 'c'});
    EXPECT_EQ(utf8_mbstowcs(out, nul.data(), 4), 2);
    EXPECT_EQ(utf8_mbstowcs(out, nul.data(), 1), 1);

    // A form cut by the length is invalid: each of its bytes is skipped alone.
    const Bytes cut = bytes({'a', 0xE4, 0xB8});
    EXPECT_EQ(utf8_mbstowcs(out, cut.data(), 3), 1);
    EXPECT_EQ(utf8_mbstowcs(out, cut.data(), 0), 0);
    EXPECT_EQ(utf8_mbstowcs(nullptr, cut.data(), 3), 0);
}

TEST(Utf8Wctomb, EncodesTheShortestFormWithinMaxlen) {
    unsigned char s[4] = {};
    EXPECT_EQ(utf8_wctomb(s, 0x41, 1), 1);
    EXPECT_EQ(s[0], 0x41);
    EXPECT_EQ(utf8_wctomb(s, 0xE9, 1), -1);
    EXPECT_EQ(utf8_wctomb(s, 0xE9, 2), 2);
    EXPECT_EQ(Bytes(s, s + 2), bytes({0xC3, 0xA9}));
    EXPECT_EQ(utf8_wctomb(s, 0x4E00, 2), -1);
    EXPECT_EQ(utf8_wctomb(s, 0x4E00, 3), 3);
    EXPECT_EQ(Bytes(s, s + 3), bytes({0xE4, 0xB8, 0x80}));
    EXPECT_EQ(utf8_wctomb(s, 0x41, 0), -1);
    EXPECT_EQ(utf8_wctomb(nullptr, 0x41, 4), 0);
}

TEST(Utf8Wctomb, EveryUnitRoundTripsThroughMbtowc) {
    for (unsigned int u = 0; u <= 0xFFFF; ++u) {
        unsigned char s[3];
        const int length = utf8_wctomb(s, static_cast<unsigned short>(u), 3);
        ASSERT_EQ(length, u < 0x80 ? 1 : (u < 0x800 ? 2 : 3)) << u;
        unsigned short back = 0;
        ASSERT_EQ(utf8_mbtowc(&back, s, length), length) << u;
        ASSERT_EQ(back, u);
    }
}

TEST(Utf8Wcstombs, EveryByteCountsAgainstTheAllowance) {
    const unsigned short text[] = {'a', 0x4E00, 'b', 0xE9, 0};
    Guarded out(8);
    EXPECT_EQ(utf8_wcstombs(out.data(), text, 8), 7);
    EXPECT_EQ(Bytes(out.data(), out.data() + 7), bytes({'a', 0xE4, 0xB8, 0x80, 'b', 0xC3, 0xA9}));

    // 'a' takes one byte; 0x4E00 does not fit in the two left and costs one; 'b' takes the last.
    Guarded small(3);
    EXPECT_EQ(utf8_wcstombs(small.data(), text, 3), 2);
    EXPECT_EQ(Bytes(small.data(), small.data() + 2), bytes({'a', 'b'}));
    EXPECT_EQ(small.data()[2], Guarded::kFill);
    EXPECT_TRUE(small.guardsIntact());

    Guarded ascii(2);
    const unsigned short plain[] = {'x', 'y', 'z', 0};
    EXPECT_EQ(utf8_wcstombs(ascii.data(), plain, 2), 2);
    EXPECT_TRUE(ascii.guardsIntact());
    EXPECT_EQ(utf8_wcstombs(ascii.data(), plain, 0), 0);
    EXPECT_EQ(utf8_wcstombs(nullptr, plain, 2), 0);
}

TEST(GetUnicodeFromUtf8, DecodesTheFirstCharacterAndReportsItsLength) {
    struct Case {
        const char* text;
        unsigned short value;
        int length;
    };
    const Case cases[] = {
        {"A", 0x41, 1},
        {"", 0, 0},
        {"\xC3\xA9z", 0xE9, 2},
        {"\xC0\xAF", 0x2F, 2},  // no overlong check here
        {"\xE4\xB8\x80", 0x4E00, 3},
        {"\x80", 0, 0},
        {"\xBF\x80", 0, 0},
        {"\xF0\x9F\x98\x80", 0, 0},
        {"\xFF", 0, 0},
        {"\xE4\xB8", 0, 3},          // cut by the NUL
        {"\xC3", 0, 2},              // cut by the NUL
        {"\xE4\x41", 0x4, 3},        // cut by a byte below 0x80: the bits so far
        {"\xE4\xB8\xC3", 0x138, 3},  // cut by another lead byte
        {"\xC3\xE4\xB8\x80", 0x3, 2},
    };
    for (const Case& c : cases) {
        const std::vector<char> text = cText(bytes(c.text));
        int length = -7;
        EXPECT_EQ(GetUnicodeFromUtf8(text.data(), &length), c.value) << c.text;
        EXPECT_EQ(length, c.length) << c.text;
    }
    int length = -7;
    EXPECT_EQ(GetUnicodeFromUtf8(nullptr, &length), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(GetUnicodeFromUtf8("\xC3\xA9", nullptr), 0xE9);
}

// ---- UCS-4 ------------------------------------------------------------------------------------

TEST(UCS4ToUtf8, EncodesOneToSixByteFormsAndSkipsNegativeValues) {
    const std::uint32_t values[] = {0x41, 0xE9, 0x4E00, 0x1F600, 0x80000000u, 0x7FFFFFFF};
    std::vector<char> ucs4(1 + sizeof values);  // one byte ahead: the values are unaligned
    std::memcpy(ucs4.data() + 1, values, sizeof values);
    Guarded out(32);
    LogCapture log;
    const int n = UCS4ToUtf8(ucs4.data() + 1, static_cast<int>(sizeof values), out.data(), 32);
    const Bytes expected = bytes({0x41, 0xC3, 0xA9, 0xE4, 0xB8, 0x80, 0xF0, 0x9F, 0x98, 0x80, 0xFD,
                                  0xBF, 0xBF, 0xBF, 0xBF, 0xBF});
    ASSERT_EQ(n, static_cast<int>(expected.size()));
    EXPECT_EQ(Bytes(out.data(), out.data() + n), expected);
    EXPECT_EQ(out.data()[n], Guarded::kFill);  // no terminator
    EXPECT_TRUE(log.lines().empty());
}

TEST(UCS4ToUtf8, ReportsBadArgumentsWithTheirWarnings) {
    const std::uint32_t values[] = {0x1F600, 0x41};
    char* ucs4 = const_cast<char*>(reinterpret_cast<const char*>(values));
    unsigned char out[16];
    {
        LogCapture log;
        EXPECT_EQ(UCS4ToUtf8(ucs4, 6, out, 16), 0);
        EXPECT_TRUE(log.onlyLineEndsWith("UCS4ToUtf8 ucs4Len error\n"));
    }
    {
        LogCapture log;
        EXPECT_EQ(UCS4ToUtf8(ucs4, -4, out, 16), 0);
        EXPECT_TRUE(log.onlyLineEndsWith("UCS4ToUtf8 ucs4Len error\n"));
    }
    {
        LogCapture log;
        EXPECT_EQ(UCS4ToUtf8(nullptr, 8, out, 16), 0);
        EXPECT_TRUE(log.onlyLineEndsWith("ucs4 is invalid\n"));
    }
    {
        LogCapture log;
        EXPECT_EQ(UCS4ToUtf8(ucs4, 8, nullptr, 16), 0);
        EXPECT_TRUE(log.onlyLineEndsWith("utf8 is invalid\n"));
    }
    {
        // The four bytes of U+1F600 fit in 4, then "A" does not: the bytes so far are returned.
        LogCapture log;
        Guarded small(4);
        EXPECT_EQ(UCS4ToUtf8(ucs4, 8, small.data(), 4), 4);
        EXPECT_EQ(small.contents(), bytes({0xF0, 0x9F, 0x98, 0x80}));
        EXPECT_TRUE(small.guardsIntact());
        EXPECT_TRUE(log.onlyLineEndsWith("UCS4ToUtf8 utf8Size error\n"));
    }
    {
        LogCapture log;
        EXPECT_EQ(UCS4ToUtf8(ucs4, 8, out, 3), 0);
        EXPECT_TRUE(log.onlyLineEndsWith("UCS4ToUtf8 utf8Size error\n"));
    }
    {
        LogCapture log;
        EXPECT_EQ(UCS4ToUtf8(ucs4, 0, out, 16), 0);
        EXPECT_TRUE(log.lines().empty());
    }
}

// ---- Code page 936 ----------------------------------------------------------------------------

TEST(CodePage936, Char2uniConvertsPairsAndSingleBytes) {
    unsigned short u = 0;
    const Bytes pair = bytes({0xB0, 0xA1});
    EXPECT_EQ(char2uni(pair.data(), 2, &u), 2);
    EXPECT_EQ(u, 0x554A);
    EXPECT_EQ(char2uni(pair.data(), 1, &u), 1);  // a lead byte alone stands for itself
    EXPECT_EQ(u, 0xB0);

    const Bytes euro = bytes({0x80, 0x41});
    EXPECT_EQ(char2uni(euro.data(), 2, &u), 1);
    EXPECT_EQ(u, 0x20AC);
    const Bytes ff = bytes({0xFF, 0xA1});
    EXPECT_EQ(char2uni(ff.data(), 2, &u), 1);
    EXPECT_EQ(u, 0xFF);
    const Bytes leadNul = bytes({0xB0, 0x00});
    EXPECT_EQ(char2uni(leadNul.data(), 2, &u), 1);
    EXPECT_EQ(u, 0xB0);
    const Bytes nul = bytes({0x00});
    EXPECT_EQ(char2uni(nul.data(), 1, &u), 1);
    EXPECT_EQ(u, 0);

    u = 0x1234;
    const Bytes unmapped = bytes({0x81, 0x7F});
    EXPECT_EQ(char2uni(unmapped.data(), 2, &u), -1);
    const Bytes userArea = bytes({0xAA, 0xA1});
    EXPECT_EQ(char2uni(userArea.data(), 2, &u), -1);
    EXPECT_EQ(u, 0x1234);
    EXPECT_EQ(char2uni(pair.data(), 0, &u), -1);
    EXPECT_EQ(char2uni(nullptr, 2, &u), -1);
    EXPECT_EQ(char2uni(pair.data(), 2, nullptr), -1);
}

TEST(CodePage936, Uni2charGivesPairsAsciiAndFailures) {
    unsigned char out[2] = {};
    EXPECT_EQ(uni2char(0x554A, out, 2), 2);
    EXPECT_EQ(out[0], 0xB0);
    EXPECT_EQ(out[1], 0xA1);
    EXPECT_EQ(uni2char(0x554A, out, 1), -1);
    EXPECT_EQ(uni2char(0x0041, out, 1), 1);
    EXPECT_EQ(out[0], 0x41);
    EXPECT_EQ(uni2char(0x0000, out, 2), -1);
    EXPECT_EQ(uni2char(0x20AC, out, 2), -1);
    EXPECT_EQ(uni2char(0xD800, out, 2), -1);
    EXPECT_EQ(uni2char(0xE000, out, 2), -1);
    EXPECT_EQ(uni2char(0x41, out, 0), -1);
    EXPECT_EQ(uni2char(0x41, nullptr, 2), -1);
}

TEST(CodePage936, Latin1CharactersWithAPairTakeThePair) {
    // U+00B7 separates the parts of transcribed names in Chinese text; its single byte would be
    // a lead byte and swallow the next character.
    unsigned char out[2] = {};
    EXPECT_EQ(uni2char(0x00B7, out, 2), 2);
    EXPECT_EQ(Bytes(out, out + 2), bytes({0xA1, 0xA4}));
    EXPECT_EQ(uni2char(0x00E9, out, 2), 2);
    EXPECT_EQ(Bytes(out, out + 2), bytes({0xA8, 0xA6}));
    EXPECT_EQ(uni2char(0x00B7, out, 1), -1);
    // Without a pair the byte stands for itself, as char2uni reads it back.
    EXPECT_EQ(uni2char(0x00C0, out, 1), 1);
    EXPECT_EQ(out[0], 0xC0);
}

TEST(CodePage936, Gb2312ToUniWalksForwardPastUnmappedPairs) {
    Guarded out(8 * sizeof(unsigned short));
    std::vector<char> text =
        cText(bytes({'A', 0xB0, 0xA1, 'B', 0xAA, 0xA1, 'C', 0xB0, 0x0A, 0x81, 0x7F, 0xB0}));
    ASSERT_EQ(Gb2312ToUni(text.data(), out.units(), 8), 7);
    const unsigned short* u = out.units();
    // The user-area pair AA A1 is skipped whole; B0 and 81 are skipped alone, since 0A and 7F
    // cannot be trail bytes; the final B0 has no trail byte and stands for itself.
    const unsigned short expected[] = {'A', 0x554A, 'B', 'C', 0x0A, 0x7F, 0xB0, 0};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(u[i], expected[i]) << i;
    }
    EXPECT_TRUE(out.guardsIntact());

    Guarded two(2 * sizeof(unsigned short));
    EXPECT_EQ(Gb2312ToUni(text.data(), two.units(), 2), 2);
    EXPECT_TRUE(two.guardsIntact());
    EXPECT_EQ(Gb2312ToUni(text.data(), two.units(), 0), 0);
    EXPECT_EQ(Gb2312ToUni(nullptr, two.units(), 2), 0);
    EXPECT_EQ(Gb2312ToUni(text.data(), nullptr, 2), 0);
}

TEST(CodePage936, UniTGb2312KeepsTheTextTerminatedWithinOutSize) {
    unsigned short text[] = {0x554A, 'A', 0x554A, 0};
    struct Case {
        int outSize;
        int result;
        Bytes written;
    };
    const Case cases[] = {
        {6, 3, bytes({0xB0, 0xA1, 'A', 0xB0, 0xA1, 0})},
        {5, 2, bytes({0xB0, 0xA1, 'A', 0, 0})},
        {4, 2, bytes({0xB0, 0xA1, 'A', 0})},
        {3, 1, bytes({0xB0, 0xA1, 0})},
        {2, 0, bytes({0, 0})},
        {1, 0, bytes({0})},
    };
    for (const Case& c : cases) {
        Guarded out(static_cast<std::size_t>(c.outSize));
        EXPECT_EQ(UniTGb2312(text, 8, out.text(), c.outSize), c.result) << c.outSize;
        EXPECT_EQ(out.contents(), c.written) << c.outSize;
        EXPECT_TRUE(out.guardsIntact());
    }
    Guarded out(8);
    EXPECT_EQ(UniTGb2312(text, 2, out.text(), 8), 2);  // `n` bounds the units
    EXPECT_EQ(UniTGb2312(text, 8, out.text(), 0), 0);

    unsigned short bad[] = {'A', 0x20AC, 'B', 0};
    Guarded partial(8);
    EXPECT_EQ(UniTGb2312(bad, 8, partial.text(), 8), -1);
    EXPECT_EQ(partial.contents(), bytes({'A', 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(UniTGb2312(nullptr, 8, partial.text(), 8), 0);
}

TEST(CodePage936, TextRoundTripsThroughUtf8) {
    // U+554A U+4E2D U+6587 " ok" U+00B7 U+00E9 in code page 936 and in UTF-8.
    const Bytes gb =
        bytes({0xB0, 0xA1, 0xD6, 0xD0, 0xCE, 0xC4, ' ', 'o', 'k', 0xA1, 0xA4, 0xA8, 0xA6});
    const Bytes utf8 = bytes({0xE5, 0x95, 0x8A, 0xE4, 0xB8, 0xAD, 0xE6, 0x96, 0x87, ' ', 'o', 'k',
                              0xC2, 0xB7, 0xC3, 0xA9});
    std::vector<char> gbText = cText(gb);
    Guarded u(32);
    ASSERT_EQ(Gb2312TUtf8(gbText.data(), u.data(), 32), static_cast<int>(utf8.size()));
    EXPECT_EQ(Bytes(u.data(), u.data() + utf8.size()), utf8);
    for (std::size_t i = utf8.size(); i < 32; ++i) {
        EXPECT_EQ(u.data()[i], 0);  // the rest of the allowance is cleared
    }

    std::vector<char> utf8Text = cText(utf8);
    Guarded g(32);
    ASSERT_EQ(utf8TGb2312(reinterpret_cast<unsigned char*>(utf8Text.data()), g.text(),
                          static_cast<int>(utf8.size()), 32),
              8);
    EXPECT_EQ(Bytes(g.data(), g.data() + gb.size()), gb);
    EXPECT_EQ(g.data()[gb.size()], 0);

    std::vector<char> empty = cText(Bytes());
    EXPECT_EQ(Gb2312TUtf8(empty.data(), u.data(), 32), 0);
    EXPECT_EQ(utf8TGb2312(reinterpret_cast<unsigned char*>(empty.data()), g.text(), 4, 32), 0);
    EXPECT_EQ(Gb2312TUtf8(nullptr, u.data(), 32), 0);
    EXPECT_EQ(utf8TGb2312(nullptr, g.text(), 4, 32), 0);
}

TEST(CodePage936, Utf8TGb2312RefusesCharactersBeyondTheBmp) {
    // U+24E00 would become U+4E00 if it were cut to 16 bits.
    std::vector<char> text = cText(bytes({'a', 0xF0, 0xA4, 0xB8, 0x80}));
    Guarded g(16);
    EXPECT_EQ(utf8TGb2312(reinterpret_cast<unsigned char*>(text.data()), g.text(), 5, 16), -1);
    EXPECT_EQ(g.data()[0], 'a');
    EXPECT_EQ(g.data()[1], 0);
}

namespace {

// Random code page 936 text: ASCII, mapped pairs, lead bytes with arbitrary followers and stray
// high bytes, without NUL.
Bytes randomGb(std::mt19937& rng, std::size_t length) {
    Bytes out;
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<int> byte(1, 255);
    std::uniform_int_distribution<int> lead(0x81, 0xFE);
    std::uniform_int_distribution<int> trail(0x40, 0xFE);
    while (out.size() < length) {
        const int k = kind(rng);
        if (k < 3) {
            const int b = byte(rng) & 0x7F;
            out.push_back(static_cast<unsigned char>(b != 0 ? b : 'x'));
        } else if (k < 8) {
            out.push_back(static_cast<unsigned char>(lead(rng)));
            out.push_back(static_cast<unsigned char>(trail(rng)));
        } else {
            out.push_back(static_cast<unsigned char>(byte(rng)));
        }
    }
    out.resize(length);
    return out;
}

// Random UTF-8 text of valid and broken forms, without NUL and without forms beyond U+FFFF.
Bytes randomUtf8(std::mt19937& rng, std::size_t length) {
    Bytes out;
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<int> unit(0x80, 0xFFFF);
    std::uniform_int_distribution<int> byte(0x80, 0xF7);
    while (out.size() < length) {
        const int k = kind(rng);
        if (k < 3) {
            out.push_back(static_cast<unsigned char>('a' + k));
        } else if (k < 9) {
            unsigned char form[3];
            const int n = utf8_wctomb(form, static_cast<unsigned short>(unit(rng)), 3);
            out.insert(out.end(), form, form + n);
        } else {
            const unsigned char b = static_cast<unsigned char>(byte(rng));
            out.push_back(b >= 0xF0 ? 0xC0 : b);  // no four-byte leads
        }
    }
    out.resize(length);
    return out;
}

}  // namespace

TEST(CodePage936, Gb2312TUtf8EqualsGb2312ToUniThenUtf8Wcstombs) {
    std::mt19937 rng(936);
    for (int round = 0; round < 3000; ++round) {
        const Bytes gb = randomGb(rng, rng() % 40);
        std::vector<char> text = cText(gb);
        const int n = static_cast<int>(rng() % (3 * gb.size() + 4));

        Guarded oneStep(static_cast<std::size_t>(n));
        const int got = Gb2312TUtf8(text.data(), oneStep.data(), n);

        Guarded twoStep(static_cast<std::size_t>(n));
        int expected = 0;
        if (!gb.empty()) {
            std::memset(twoStep.data(), 0, static_cast<std::size_t>(n));
            std::vector<unsigned short> units(gb.size() + 1);
            Gb2312ToUni(text.data(), units.data(), static_cast<int>(units.size()));
            expected = utf8_wcstombs(twoStep.data(), units.data(), n);
        }
        ASSERT_EQ(got, expected) << round;
        ASSERT_EQ(oneStep.contents(), twoStep.contents()) << round;
        ASSERT_TRUE(oneStep.guardsIntact());
    }
}

TEST(CodePage936, Utf8TGb2312EqualsUtf8MbstowcsThenUniTGb2312) {
    std::mt19937 rng(8);
    for (int round = 0; round < 3000; ++round) {
        Bytes utf8 = randomUtf8(rng, rng() % 40);
        // Keep the characters the code page has, so most rounds convert to the end.
        if (round % 2 == 0) {
            Bytes kept;
            for (std::size_t i = 0; i < utf8.size();) {
                unsigned short u = 0;
                const int n = utf8_mbtowc(&u, utf8.data() + i, static_cast<int>(utf8.size() - i));
                unsigned char pair[2];
                if (n < 0) {
                    kept.push_back(utf8[i++]);
                    continue;
                }
                if (uni2char(u, pair, 2) > 0) {
                    kept.insert(kept.end(), utf8.begin() + static_cast<long>(i),
                                utf8.begin() + static_cast<long>(i) + n);
                }
                i += static_cast<std::size_t>(n);
            }
            utf8 = kept;
        }
        std::vector<char> text = cText(utf8);
        unsigned char* src = reinterpret_cast<unsigned char*>(text.data());
        const int n = static_cast<int>(rng() % (utf8.size() + 3));  // may pass the NUL
        const int gbSize = static_cast<int>(rng() % (2 * utf8.size() + 4));

        Guarded oneStep(static_cast<std::size_t>(gbSize));
        const int got = utf8TGb2312(src, oneStep.text(), n, gbSize);

        Guarded twoStep(static_cast<std::size_t>(gbSize));
        int expected = 0;
        if (!(n > 0 && utf8.empty())) {
            std::vector<unsigned short> units(static_cast<std::size_t>(n > 0 ? n : 0) + 1);
            const int count = utf8_mbstowcs(units.data(), src, n);
            expected = UniTGb2312(units.data(), count, twoStep.text(), gbSize);
        }
        ASSERT_EQ(got, expected) << round;
        ASSERT_EQ(oneStep.contents(), twoStep.contents()) << round;
        ASSERT_TRUE(oneStep.guardsIntact());
    }
}

// ---- Code page 1252 ---------------------------------------------------------------------------

TEST(CodePage1252, ToUtf8WritesOnlyWhenTheWholeOutputFits) {
    const Bytes euro = bytes({0x80});
    Guarded out(3);
    EXPECT_EQ(cp1252_to_utf8(out.data(), 3, euro.data(), 1), 0);
    EXPECT_EQ(out.contents(), bytes({0xE2, 0x82, 0xAC}));

    Guarded small(2);
    EXPECT_EQ(cp1252_to_utf8(small.data(), 2, euro.data(), 1), 3);
    EXPECT_EQ(small.contents(), bytes({Guarded::kFill, Guarded::kFill}));
    EXPECT_EQ(cp1252_to_utf8(nullptr, 0, euro.data(), 1), 3);  // a size query

    EXPECT_EQ(cp1252_to_utf8(out.data(), 3, nullptr, 1), -1);
    EXPECT_EQ(cp1252_to_utf8(out.data(), 3, euro.data(), 0), -1);
    EXPECT_EQ(cp1252_to_utf8(out.data(), 3, euro.data(), -1), -1);
}

TEST(CodePage1252, MappingStopsAtTheFirstUndefinedByte) {
    // Each byte from the undefined one on, and the 0x00 byte, gives one NUL.
    const Bytes src = bytes({'A', 0x00, 0xE9, 0x8D, 'B', 0x80});
    Guarded out(8);
    EXPECT_EQ(cp1252_to_utf8(out.data(), 8, src.data(), static_cast<int>(src.size())), 0);
    EXPECT_EQ(out.contents(), bytes({'A', 0, 0xC3, 0xA9, 0, 0, 0, Guarded::kFill}));
    EXPECT_TRUE(out.guardsIntact());
    EXPECT_EQ(cp1252_to_utf8(out.data(), 6, src.data(), static_cast<int>(src.size())), 7);
}

TEST(CodePage1252, AmpleAndExactOutputsGiveTheSameBytes) {
    // With three bytes of room per source byte the output is written without a sizing pass;
    // either way the bytes are the same and nothing past the output is touched.
    std::mt19937 rng(1252);
    for (int round = 0; round < 2000; ++round) {
        Bytes src(1 + rng() % 80);
        for (unsigned char& b : src) {
            const unsigned r = rng() % 16;
            b = static_cast<unsigned char>(
                r < 10 ? 'a' + rng() % 26 : (r < 14 ? 0x80 + rng() % 128 : (r == 14 ? 0 : 0x8D)));
        }
        if (round % 3 != 0) {
            std::replace(src.begin(), src.end(), static_cast<unsigned char>(0x8D),
                         static_cast<unsigned char>('z'));
        }
        const int n = static_cast<int>(src.size());
        const int needed = cp1252_to_utf8(nullptr, 0, src.data(), n);
        ASSERT_GE(needed, n);
        Guarded exact(static_cast<std::size_t>(needed));
        ASSERT_EQ(cp1252_to_utf8(exact.data(), needed, src.data(), n), 0);
        Guarded ample(static_cast<std::size_t>(3 * n));
        ASSERT_EQ(cp1252_to_utf8(ample.data(), 3 * n, src.data(), n), 0);
        ASSERT_EQ(Bytes(ample.data(), ample.data() + needed), exact.contents()) << round;
        for (int i = needed; i < 3 * n; ++i) {
            ASSERT_EQ(ample.data()[i], Guarded::kFill) << round;
        }
        ASSERT_TRUE(ample.guardsIntact() && exact.guardsIntact());
    }
}

TEST(CodePage1252, FromUtf8WritesTheByteOfEachKnownCharacter) {
    const Bytes src = bytes({0xC3, 0xBF, 0xE2, 0x82, 0xAC, 'a', 0xE4, 0xB8, 0x80, 0xE2, 0x84, 0xA2,
                             0xC2, 0x81, 0x00, 'b'});
    Guarded out(16);
    EXPECT_EQ(utf8_to_cp1252(src.data(), static_cast<int>(src.size()), out.data(), 16), 7);
    EXPECT_EQ(Bytes(out.data(), out.data() + 7), bytes({0xFF, 0x80, 'a', 0x99, 0x81, 0x00, 'b'}));
    EXPECT_EQ(out.data()[7], Guarded::kFill);

    // The walk ends at a stray continuation byte, a broken or overlong form, a cut form and the
    // leads of 5- and 6-byte forms.
    const Bytes enders[] = {
        bytes({'a', 0x80, 'b'}),
        bytes({'a', 0xC3, 0x41, 'b'}),
        bytes({'a', 0xC1, 0x81, 'b'}),
        bytes({'a', 0xE2, 0x82}),
        bytes({'a', 0xF8, 0x88, 0x80, 0x80, 0x80, 'b'}),
    };
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

// ---- Single-byte family -----------------------------------------------------------------------

namespace {

using SingleByteConverter = int (*)(unsigned char*, int&, unsigned char const*, int&);

const SingleByteConverter kFamily[] = {
    cp862_to_utf8,      cp874_to_utf8,      cp1250_to_utf8,     cp1251_to_utf8,
    iso8859_1_to_utf8,  iso8859_2_to_utf8,  iso8859_3_to_utf8,  iso8859_4_to_utf8,
    iso8859_5_to_utf8,  iso8859_6_to_utf8,  iso8859_7_to_utf8,  iso8859_8_to_utf8,
    iso8859_9_to_utf8,  iso8859_10_to_utf8, iso8859_13_to_utf8, iso8859_14_to_utf8,
    iso8859_15_to_utf8, iso8859_16_to_utf8,
};

// The UTF-8 form of each byte, as the converter gives it for the byte alone.
std::vector<Bytes> formsOf(SingleByteConverter convert) {
    std::vector<Bytes> forms(256);
    for (int b = 0; b < 256; ++b) {
        const unsigned char src = static_cast<unsigned char>(b);
        unsigned char dst[8];
        int dstLen = 8;
        int srcLen = 1;
        EXPECT_EQ(convert(dst, dstLen, &src, srcLen), 0);
        EXPECT_EQ(srcLen, 1);
        forms[static_cast<std::size_t>(b)] = Bytes(dst, dst + dstLen);
    }
    return forms;
}

}  // namespace

TEST(SingleByte, Iso8859_1Examples) {
    const Bytes src = bytes({0xE9, 0x00, 'a'});
    unsigned char dst[8];
    int dstLen = 8;
    int srcLen = 3;
    EXPECT_EQ(iso8859_1_to_utf8(dst, dstLen, src.data(), srcLen), 0);
    EXPECT_EQ(srcLen, 3);
    ASSERT_EQ(dstLen, 3);
    EXPECT_EQ(Bytes(dst, dst + 3), bytes({0xC3, 0xA9, 'a'}));

    dstLen = 2;
    srcLen = 3;
    EXPECT_EQ(iso8859_1_to_utf8(dst, dstLen, src.data(), srcLen), -1);
    EXPECT_EQ(dstLen, 2);
    EXPECT_EQ(srcLen, 3);

    // Two bytes of room for two source bytes: the first form fills it and the second stops.
    const Bytes two = bytes({0xE9, 0xE9});
    dstLen = 2;
    srcLen = 2;
    EXPECT_EQ(iso8859_1_to_utf8(dst, dstLen, two.data(), srcLen), 0);
    EXPECT_EQ(srcLen, 1);
    EXPECT_EQ(dstLen, 2);

    srcLen = 0;
    EXPECT_EQ(iso8859_1_to_utf8(dst, dstLen, two.data(), srcLen), -1);
    srcLen = 1;
    EXPECT_EQ(iso8859_1_to_utf8(nullptr, dstLen, two.data(), srcLen), -1);
    EXPECT_EQ(iso8859_1_to_utf8(dst, dstLen, nullptr, srcLen), -1);
}

TEST(SingleByte, BoundedConversionFollowsTheByteByByteRule) {
    std::mt19937 rng(1252);
    for (SingleByteConverter convert : kFamily) {
        const std::vector<Bytes> forms = formsOf(convert);
        for (int round = 0; round < 300; ++round) {
            // Runs of ASCII with high bytes and NULs between them, so every path is taken.
            Bytes src(1 + rng() % 64);
            for (unsigned char& b : src) {
                const unsigned r = rng() % 8;
                b = static_cast<unsigned char>(r < 5 ? 'a' + rng() % 26
                                                     : (r < 7 ? 0x80 + rng() % 128 : 0));
            }
            const int srcSize = static_cast<int>(src.size());
            const int room = srcSize + static_cast<int>(rng() % (2 * src.size() + 1));

            Bytes expected;
            int taken = 0;
            for (unsigned char b : src) {
                const Bytes& f = forms[b];
                if (f.size() > static_cast<std::size_t>(room) - expected.size()) {
                    break;
                }
                expected.insert(expected.end(), f.begin(), f.end());
                ++taken;
            }

            std::vector<unsigned char> exactSrc(src);
            Guarded dst(static_cast<std::size_t>(room));
            int dstLen = room;
            int srcLen = srcSize;
            ASSERT_EQ(convert(dst.data(), dstLen, exactSrc.data(), srcLen), 0);
            ASSERT_EQ(srcLen, taken);
            ASSERT_EQ(dstLen, static_cast<int>(expected.size()));
            ASSERT_EQ(Bytes(dst.data(), dst.data() + dstLen), expected);
            for (int i = dstLen; i < room; ++i) {
                ASSERT_EQ(dst.data()[i], Guarded::kFill);  // nothing past the output is touched
            }
            ASSERT_TRUE(dst.guardsIntact());
        }
    }
}

// ---- Bad input --------------------------------------------------------------------------------

// Every converter on random bytes, with inputs in blocks of exactly their size and outputs between
// guard bytes: nothing is read or written outside (AddressSanitizer sees the reads).
TEST(CharSetBadInput, ConvertersStayInsideTheirBuffersOnRandomBytes) {
    std::mt19937 rng(2024);
    for (int round = 0; round < 4000; ++round) {
        const std::size_t size = rng() % 24;
        Bytes in(size);
        for (unsigned char& b : in) {
            b = static_cast<unsigned char>(rng() % 4 == 0 ? 0x80 + rng() % 128 : rng() % 256);
        }
        const int n = static_cast<int>(size);
        const int room = static_cast<int>(rng() % (3 * size + 2));

        Guarded out(static_cast<std::size_t>(room) * 2 + 2);
        unsigned short u = 0;
        int len = 0;
        if (n > 0) {
            utf8_mbtowc(&u, in.data(), n);
        }
        Guarded units16(size * sizeof(unsigned short));  // one unit per source byte
        EXPECT_LE(utf8_mbstowcs(units16.units(), in.data(), n), n);
        EXPECT_TRUE(units16.guardsIntact());
        std::vector<char> text = cText(in);
        GetUnicodeFromUtf8(text.data(), &len);
        EXPECT_LE(len, 3);
        if (n > 0) {
            char2uni(in.data(), n, &u);
        }
        EXPECT_LE(Gb2312ToUni(text.data(), out.units(), room), room);
        EXPECT_LE(Gb2312TUtf8(text.data(), out.data(), room), room);
        EXPECT_LE(
            utf8TGb2312(in.empty() ? reinterpret_cast<unsigned char*>(text.data()) : in.data(),
                        out.text(), n, room),
            room);
        EXPECT_LE(utf8_to_cp1252(in.data(), n, out.data(), room), room);
        const int needed = cp1252_to_utf8(out.data(), room, in.data(), n);
        EXPECT_TRUE(n == 0 ? needed == -1 : needed == 0 || needed > room);
        int dstLen = room;
        int srcLen = n;
        if (cp1251_to_utf8(out.data(), dstLen, in.data(), srcLen) == 0) {
            EXPECT_LE(dstLen, room);
            EXPECT_LE(srcLen, n);
        }
        std::vector<unsigned short> units(size / 2 + 1, 0);
        if (size >= 2) {
            std::memcpy(units.data(), in.data(), size / 2 * 2);
        }
        EXPECT_LE(UniTGb2312(units.data(), static_cast<int>(units.size()), out.text(), room), room);
        EXPECT_LE(utf8_wcstombs(out.data(), units.data(), room), room);
        std::vector<char> ucs4(in.begin(), in.begin() + static_cast<long>(size / 4 * 4));
        {
            LogCapture quiet;
            EXPECT_LE(UCS4ToUtf8(ucs4.data(), static_cast<int>(ucs4.size()), out.data(), room),
                      room);
        }
        ASSERT_TRUE(out.guardsIntact()) << round;
    }
}

// The converters share no state: threads converting at once get what one thread gets.
TEST(CharSetThreads, ConcurrentConversionsAgree) {
    std::mt19937 rng(4);
    const Bytes gb = randomGb(rng, 4096);
    std::vector<char> text = cText(gb);
    std::vector<unsigned char> reference(4 * gb.size());
    const int expected =
        Gb2312TUtf8(text.data(), reference.data(), static_cast<int>(reference.size()));
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::vector<unsigned char> out(reference.size());
            std::vector<char> back(2 * gb.size() + 1);
            for (int i = 0; i < 50; ++i) {
                const int n = Gb2312TUtf8(text.data(), out.data(), static_cast<int>(out.size()));
                if (n != expected || out != reference) {
                    ++mismatches[static_cast<std::size_t>(t)];
                }
                utf8TGb2312(out.data(), back.data(), n, static_cast<int>(back.size()));
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (int m : mismatches) {
        EXPECT_EQ(m, 0);
    }
}
