// Bounded string helpers, the formatter and comparison variables, and IPv4 address text.
#include "infra/StringUtil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "support/LogCapture.h"

using TestSupport::LogCapture;
using Tovix::IpAddress;
namespace Utils = Tovix::Utils;

namespace {

IpAddress ip(std::uint32_t value) {
    IpAddress a;
    a.value = value;
    return a;
}

// The buffer's bytes up to `n`, NULs shown as '0'.
std::string shown(const char* buf, std::size_t n) {
    std::string s(buf, n);
    for (char& c : s) {
        c = c == '\0' ? '0' : c;
    }
    return s;
}

TEST(StringUtilTest, StrncpyCutsPadsAndTerminates) {
    // dstSize, src, n: result and the first eight bytes of a buffer filled with 'x'.
    const struct {
        unsigned dstSize;
        const char* src;
        unsigned n;
        unsigned result;
        const char* bytes;
    } cases[] = {{4, "abcdef", 10, 3, "abc0xxxx"}, {10, "ab", 5, 2, "ab0000xx"},
                 {10, "abcdef", 3, 3, "abc0xxxx"}, {1, "abc", 3, 0, "0xxxxxxx"},
                 {10, nullptr, 3, 0, "0000xxxx"},  {0, "abc", 3, 0, "xxxxxxxx"}};
    for (const auto& c : cases) {
        char buf[8];
        std::memset(buf, 'x', sizeof buf);
        EXPECT_EQ(Utils::strncpy(buf, c.dstSize, c.src, c.n), c.result) << c.bytes;
        EXPECT_EQ(shown(buf, 8), c.bytes);
    }
    EXPECT_EQ(Utils::strncpy(nullptr, 10, "abc", 3), 0u);
}

TEST(StringUtilTest, StrncatAppendsWithinTheBuffer) {
    // Initial text (NUL-free 'y' fill when null), dstSize, src, n: result and bytes.
    const struct {
        const char* dst;
        unsigned dstSize;
        const char* src;
        unsigned n;
        unsigned result;
        const char* bytes;
    } cases[] = {{"abc", 8, "defgh", 10, 4, "abcdefg0x"}, {"abc", 8, "defgh", 2, 2, "abcde0x0x"},
                 {"abc", 8, "d", 10, 4, "abcd0xx0x"},     {"abcdefg", 8, "z", 1, 0, "abcdefg0x"},
                 {nullptr, 4, "z", 1, 0, "yyy0yyyyy"},    {"ab", 8, nullptr, 3, 3, "ab0xxxx0x"},
                 {"ab", 0, "a", 1, 0, "ab0xxxxxx"}};
    for (const auto& c : cases) {
        char buf[9];
        std::memset(buf, c.dst != nullptr ? 'x' : 'y', sizeof buf);
        if (c.dst != nullptr) {
            std::memcpy(buf, c.dst, std::strlen(c.dst) + 1);
        }
        EXPECT_EQ(Utils::strncat(buf, c.dstSize, c.src, c.n), c.result) << c.bytes;
        EXPECT_EQ(shown(buf, 9), c.bytes);
    }
    EXPECT_EQ(Utils::strncat(nullptr, 8, "a", 1), 0u);
}

TEST(StringUtilTest, SnprintfXAlwaysTerminatesAndTheVariableReportsCuts) {
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(Utils::snprintf_x(buf, 4, "%s", "hello"), 3);
    EXPECT_EQ(shown(buf, 5), "hel0x");
    EXPECT_EQ(Utils::snprintf_x(buf, 4, "%s", "abcd"), 3);  // exactly size characters is a cut
    EXPECT_EQ(Utils::snprintf_x(buf, 8, "%d-%d", 12, 34), 5);
    EXPECT_STREQ(buf, "12-34");
    EXPECT_EQ(Utils::snprintf_x(buf, 1, "%s", "abc"), 0);
    EXPECT_STREQ(buf, "");
    buf[0] = 'q';
    EXPECT_EQ(Utils::snprintf_x(buf, 0, "%s", "abc"), 0);
    EXPECT_EQ(Utils::snprintf_x(buf, -5, "%s", "abc"), 0);
    EXPECT_EQ(buf[0], 'q');
    int (*const format)(char*, int, const char*, ...) = &Utils::snprintf_x;  // a null format
    EXPECT_EQ(format(buf, 8, nullptr), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(Utils::snprintf_x(nullptr, 8, "%s", "abc"), 0);

    ASSERT_NE(Utils::snprintf, nullptr);
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(Utils::snprintf(buf, 8, "%d", 1234), 4);
    EXPECT_STREQ(buf, "1234");
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(Utils::snprintf(buf, 4, "%s", "hello"), -1);
    EXPECT_EQ(shown(buf, 5), "hel0x");
    EXPECT_EQ(Utils::snprintf(buf, 4, "%s", "abcd"), -1);
    EXPECT_EQ(Utils::snprintf(buf, 4, "%s", "abc"), 3);
    buf[0] = 'q';
    EXPECT_EQ(Utils::snprintf(buf, 0, "%s", "abc"), -1);
    EXPECT_EQ(Utils::snprintf(buf, 0, "%s", ""), 0);
    EXPECT_EQ(buf[0], 'q');
}

TEST(StringUtilTest, StricmpIgnoresAsciiCase) {
    ASSERT_NE(Utils::stricmp, nullptr);
    EXPECT_EQ(Utils::stricmp("Hello", "hELLO"), 0);
    EXPECT_LT(Utils::stricmp("apple", "Banana"), 0);
    EXPECT_GT(Utils::stricmp("Zebra", "apple"), 0);
    EXPECT_LT(Utils::stricmp("abc", "ABCD"), 0);
    EXPECT_GT(Utils::stricmp("abcd", "ABC"), 0);
    EXPECT_LT(Utils::stricmp("_", "A"), 0);     // letters compare as lower case
    EXPECT_GT(Utils::stricmp("\xe9", "A"), 0);  // bytes above 127 compare unsigned
    EXPECT_EQ(Utils::stricmp(nullptr, nullptr), 0);
    EXPECT_LT(Utils::stricmp(nullptr, ""), 0);
    EXPECT_GT(Utils::stricmp("", nullptr), 0);
}

TEST(StringUtilTest, IpToStringWritesDottedTextCutToFit) {
    char buf[32];
    EXPECT_EQ(Utils::ipToString(ip(0xC0A80001u), buf, sizeof buf), buf);
    EXPECT_STREQ(buf, "192.168.0.1");
    std::memset(buf, 'x', sizeof buf);
    Utils::ipToString(ip(0xC0A80001u), buf, 8);
    EXPECT_EQ(shown(buf, 9), "192.1680x");
    EXPECT_EQ(Utils::ipToString(ip(1), nullptr, 16), nullptr);
    std::mt19937 rng(13);
    for (int i = 0; i < 1000; ++i) {
        const std::uint32_t v = i == 0   ? 0xFFFFFFFFu
                                : i == 1 ? 0
                                         : static_cast<std::uint32_t>(rng());
        EXPECT_EQ(Utils::stringToIp(Utils::ipToString(ip(v), buf, 16)).value, v);
    }
}

TEST(StringUtilTest, StringToIpMatchesSscanfOnRandomDottedText) {
    std::mt19937 rng(12);
    const char alphabet[] = "0123456789..  -+x\t";
    for (int trial = 0; trial < 5000; ++trial) {
        std::string text;
        for (int i = static_cast<int>(rng() % 16); i > 0; --i) {
            text += alphabet[rng() % (sizeof alphabet - 1)];
        }
        int n[4] = {0, 0, 0, 0};
        std::size_t run = 0;
        std::size_t longest = 0;
        for (char c : text) {
            longest = std::max(longest, run = (c >= '0' && c <= '9') ? run + 1 : 0);
        }
        if (longest > 9) {  // sscanf's %d is defined within int range only
            continue;
        }
        const int read = std::sscanf(text.c_str(), "%d.%d.%d.%d", &n[0], &n[1], &n[2], &n[3]);
        std::uint32_t expected = 0;
        for (int i = 0; i < read; ++i) {
            expected |= (static_cast<std::uint32_t>(n[i]) & 0xFFu) << (24 - 8 * i);
        }
        LogCapture quiet;
        ASSERT_EQ(Utils::stringToIp(text.c_str()).value, expected) << '"' << text << '"';
        ASSERT_EQ(quiet.contains("param str " + text + " is invalid\n"), read < 4) << text;
    }
    EXPECT_EQ(Utils::stringToIp("99999999999999999999999999999999.1.1.1").value & 0xFFFFFFu,
              0x010101u);  // endless digits do not overflow
}

TEST(StringUtilTest, StringToIpWarnsWhenNumbersAreMissing) {
    LogCapture log;
    EXPECT_EQ(Utils::stringToIp("10.0.0.1").value, 0x0A000001u);
    EXPECT_EQ(Utils::stringToIp("256.1.1.1").value, 0x00010101u);
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(Utils::stringToIp("1.2.3").value, 0x01020300u);
    EXPECT_TRUE(log.contains("param str 1.2.3 is invalid\n")) << log.text();
    EXPECT_EQ(Utils::stringToIp(nullptr).value, 0u);
    EXPECT_TRUE(log.contains("param str (null) is invalid\n")) << log.text();
}

}  // namespace
