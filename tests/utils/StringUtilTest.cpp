// Bounded string helpers, the formatter and comparison variables, and IPv4 address text.
#include "infra/StringUtil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <string>

#include "infra/Function.h"
#include "infra/PrintLog.h"
#include "support/LogCapture.h"

using Tovix::IpAddress;
using Tovix::Infra::TFunction1;
namespace Utils = Tovix::Utils;

namespace {

using TestSupport::LogCapture;

IpAddress ip(std::uint32_t value) {
    IpAddress a;
    a.value = value;
    return a;
}

TEST(StringUtilTest, StrncpyCutsPadsAndTerminates) {
    char buf[12];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(Utils::strncpy(buf, 4, "abcdef", 10), 3u);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(buf[4], 'x');  // nothing past dstSize

    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(Utils::strncpy(buf, 10, "ab", 5), 2u);
    EXPECT_STREQ(buf, "ab");
    // Padded with NULs up to n, terminated right after, untouched beyond.
    for (int i = 2; i <= 5; ++i) {
        EXPECT_EQ(buf[i], '\0') << i;
    }
    EXPECT_EQ(buf[6], 'x');

    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(Utils::strncpy(buf, 10, "abcdef", 3), 3u);
    EXPECT_STREQ(buf, "abc");

    EXPECT_EQ(Utils::strncpy(buf, 1, "abc", 3), 0u);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(Utils::strncpy(buf, 10, nullptr, 3), 0u);
    EXPECT_STREQ(buf, "");
    buf[0] = 'q';
    EXPECT_EQ(Utils::strncpy(buf, 0, "abc", 3), 0u);
    EXPECT_EQ(buf[0], 'q');
    EXPECT_EQ(Utils::strncpy(nullptr, 10, "abc", 3), 0u);
}

TEST(StringUtilTest, StrncatAppendsWithinTheBuffer) {
    char buf[10];
    std::memset(buf, 'x', sizeof buf);
    std::strcpy(buf, "abc");
    EXPECT_EQ(Utils::strncat(buf, 8, "defgh", 10), 4u);
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_EQ(buf[8], 'x');

    std::strcpy(buf, "abc");
    EXPECT_EQ(Utils::strncat(buf, 8, "defgh", 2), 2u);
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(buf[7], '\0');  // the last byte is always terminated

    // The result counts the room, not what src had.
    std::strcpy(buf, "abc");
    EXPECT_EQ(Utils::strncat(buf, 8, "d", 10), 4u);
    EXPECT_STREQ(buf, "abcd");

    // A full buffer takes nothing.
    std::strcpy(buf, "abcdefg");
    EXPECT_EQ(Utils::strncat(buf, 8, "z", 1), 0u);
    EXPECT_STREQ(buf, "abcdefg");

    // A destination without a terminator inside dstSize gets one and nothing is read past it.
    std::memset(buf, 'y', sizeof buf);
    EXPECT_EQ(Utils::strncat(buf, 4, "z", 1), 0u);
    EXPECT_STREQ(buf, "yyy");
    EXPECT_EQ(buf[4], 'y');

    std::strcpy(buf, "ab");
    EXPECT_EQ(Utils::strncat(buf, 8, nullptr, 3), 3u);
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(Utils::strncat(nullptr, 8, "a", 1), 0u);
    EXPECT_EQ(Utils::strncat(buf, 0, "a", 1), 0u);
}

TEST(StringUtilTest, SnprintfXAlwaysTerminates) {
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(Utils::snprintf_x(buf, 4, "%s", "hello"), 3);
    EXPECT_STREQ(buf, "hel");
    EXPECT_EQ(buf[4], 'x');

    // Exactly size characters is a cut too.
    EXPECT_EQ(Utils::snprintf_x(buf, 4, "%s", "abcd"), 3);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(Utils::snprintf_x(buf, 4, "%s", "abc"), 3);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(Utils::snprintf_x(buf, 8, "%d-%d", 12, 34), 5);
    EXPECT_STREQ(buf, "12-34");

    EXPECT_EQ(Utils::snprintf_x(buf, 1, "%s", "abc"), 0);
    EXPECT_STREQ(buf, "");
    buf[0] = 'q';
    EXPECT_EQ(Utils::snprintf_x(buf, 0, "%s", "abc"), 0);
    EXPECT_EQ(Utils::snprintf_x(buf, -5, "%s", "abc"), 0);
    EXPECT_EQ(buf[0], 'q');
    // Called through a pointer: a null format is what is being tested.
    int (*const format)(char*, int, const char*, ...) = &Utils::snprintf_x;
    EXPECT_EQ(format(buf, 8, nullptr), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(Utils::snprintf_x(nullptr, 8, "%s", "abc"), 0);
}

TEST(StringUtilTest, SnprintfVariableReportsCutsAsMinusOne) {
    ASSERT_NE(Utils::snprintf, nullptr);
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(Utils::snprintf(buf, 8, "%d", 1234), 4);
    EXPECT_STREQ(buf, "1234");
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(Utils::snprintf(buf, 4, "%s", "hello"), -1);
    EXPECT_STREQ(buf, "hel");  // cut and still terminated
    EXPECT_EQ(buf[4], 'x');
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
    // Letters compare as lower case, so '_' sorts before 'A' (and before 'a').
    EXPECT_LT(Utils::stricmp("_", "A"), 0);
    EXPECT_GT(Utils::stricmp("\xe9", "A"), 0);  // bytes above 127 compare unsigned
    EXPECT_EQ(Utils::stricmp(nullptr, nullptr), 0);
    EXPECT_LT(Utils::stricmp(nullptr, ""), 0);
    EXPECT_GT(Utils::stricmp("", nullptr), 0);
}

TEST(StringUtilTest, IpToStringWritesDottedTextAndCutsToFit) {
    char buf[32];
    EXPECT_EQ(Utils::ipToString(ip(0xC0A80001u), buf, sizeof buf), buf);
    EXPECT_STREQ(buf, "192.168.0.1");
    std::memset(buf, 'x', sizeof buf);
    Utils::ipToString(ip(0xC0A80001u), buf, 8);
    EXPECT_STREQ(buf, "192.168");
    EXPECT_EQ(buf[8], 'x');
    Utils::ipToString(ip(0xFFFFFFFFu), buf, sizeof buf);
    EXPECT_STREQ(buf, "255.255.255.255");
    Utils::ipToString(ip(0), buf, sizeof buf);
    EXPECT_STREQ(buf, "0.0.0.0");
    EXPECT_EQ(Utils::ipToString(ip(1), nullptr, 16), nullptr);
}

TEST(StringUtilTest, StringToIpReadsFourNumbers) {
    EXPECT_EQ(Utils::stringToIp("10.0.0.1").value, 0x0A000001u);
    EXPECT_EQ(Utils::stringToIp("192.168.0.1").value, 0xC0A80001u);
    // Only the low 8 bits of each number are kept.
    EXPECT_EQ(Utils::stringToIp("256.1.1.1").value, 0x00010101u);
    EXPECT_EQ(Utils::stringToIp("-1.0.0.1").value, 0xFF000001u);
    // Blanks before a number are skipped; text after the fourth is ignored.
    EXPECT_EQ(Utils::stringToIp(" 1. 2.\t3.+4xyz").value, 0x01020304u);
    EXPECT_EQ(Utils::stringToIp("1.2.3.4.5").value, 0x01020304u);
    // Endless digits do not overflow.
    EXPECT_EQ(Utils::stringToIp("99999999999999999999999999999999.1.1.1").value & 0xFFFFFFu,
              0x010101u);
}

TEST(StringUtilTest, StringToIpMatchesSscanfOnRandomDottedText) {
    std::mt19937 rng(12);
    const char alphabet[] = "0123456789..  -+x";
    for (int trial = 0; trial < 5000; ++trial) {
        std::string text;
        const int length = static_cast<int>(rng() % 16);
        for (int i = 0; i < length; ++i) {
            text += alphabet[rng() % (sizeof alphabet - 1)];
        }
        // Keep every number within int range, where sscanf's %d is defined.
        bool tooLong = false;
        int run = 0;
        for (char c : text) {
            run = (c >= '0' && c <= '9') ? run + 1 : 0;
            tooLong = tooLong || run > 9;
        }
        if (tooLong) {
            continue;
        }
        int n[4] = {0, 0, 0, 0};
        const int read = std::sscanf(text.c_str(), "%d.%d.%d.%d", &n[0], &n[1], &n[2], &n[3]);
        std::uint32_t expected = 0;
        for (int i = 0; i < read && i < 4; ++i) {
            expected |= (static_cast<std::uint32_t>(n[i]) & 0xFFu) << (24 - 8 * i);
        }
        Tovix::Infra::setPrintLogLevel(0);
        const std::uint32_t got = Utils::stringToIp(text.c_str()).value;
        Tovix::Infra::setPrintLogLevel(3);
        ASSERT_EQ(got, expected) << '"' << text << '"';
    }
}

TEST(StringUtilTest, StringToIpWarnsWhenNumbersAreMissing) {
    LogCapture log;
    EXPECT_EQ(Utils::stringToIp("1.2.3").value, 0x01020300u);
    EXPECT_NE(log.text().find("param str 1.2.3 is invalid\n"), std::string::npos) << log.text();
    EXPECT_EQ(Utils::stringToIp(nullptr).value, 0u);
    EXPECT_NE(log.text().find("param str (null) is invalid\n"), std::string::npos);
    EXPECT_EQ(Utils::stringToIp("").value, 0u);
    EXPECT_EQ(Utils::stringToIp("1 .2.3.4").value, 0x01000000u);
    EXPECT_EQ(Utils::stringToIp("1.2..4").value, 0x01020000u);
    const std::string before = log.text();
    EXPECT_EQ(Utils::stringToIp("1.2.3.4").value, 0x01020304u);
    EXPECT_EQ(log.text(), before);
}

TEST(StringUtilTest, IpTextRoundTrips) {
    std::mt19937 rng(13);
    char buf[16];
    for (int i = 0; i < 1000; ++i) {
        const std::uint32_t v = static_cast<std::uint32_t>(rng());
        EXPECT_EQ(Utils::stringToIp(Utils::ipToString(ip(v), buf, sizeof buf)).value, v);
    }
}

}  // namespace
