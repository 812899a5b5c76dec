// Bounded string helpers, the formatter and comparison variables, and IPv4 address text.
#include "infra/StringUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "UtilsTestHelpers.h"
#include "support/LogCapture.h"

namespace Utils = Tovix::Utils;
using namespace UtilsTest;

namespace {

// Runs `call` on a buffer of nine 'x' that starts with `text` ("-": none; "@": a null buffer)
// and gives its result and the buffer, NULs shown as '0'.
template <class Call>
std::string onBuffer(const std::string& text, Call call) {
    char buf[9];
    std::memset(buf, 'x', sizeof buf);
    std::memcpy(buf, text.c_str(), text == "-" || text == "@" ? 0 : text.size() + 1);
    const auto result = call(text == "@" ? nullptr : buf);
    std::string shown = std::to_string(result) + " " + std::string(buf, 9);
    std::replace(shown.begin(), shown.end(), '\0', '0');
    return shown;
}

// Function, buffer, size, source ("@": null, "~": empty), n: result and buffer. Copies pad with
// NULs up to n; appends count the room, not what the source had, and terminate the last byte;
// formatting exactly `size` characters is a cut too, which the variable reports as -1.
TEST(StringUtilTest, BoundedCopyAppendAndFormatAlwaysTerminate) {
    const char* const rows[] = {"cpy - 4 abcdef 10 3 abc0xxxxx",  "cpy - 9 ab 5 2 ab0000xxx",
                                "cpy - 1 abc 3 0 0xxxxxxxx",      "cpy - 9 @ 3 0 0000xxxxx",
                                "cpy - 0 abc 3 0 xxxxxxxxx",      "cpy @ 9 abc 3 0 xxxxxxxxx",
                                "cat abc 8 defgh 10 4 abcdefg0x", "cat abc 8 defgh 2 2 abcde0x0x",
                                "cat abc 8 d 10 4 abcd0xx0x",     "cat abcdefg 8 z 1 0 abcdefg0x",
                                "cat - 4 z 1 0 xxx0xxxxx",        "cat ab 8 @ 3 3 ab0xxxx0x",
                                "cat ab 0 a 1 0 ab0xxxxxx",       "cat @ 8 a 1 0 xxxxxxxxx",
                                "fmt - 4 hello 0 3 hel0xxxxx",    "fmt - 4 abcd 0 3 abc0xxxxx",
                                "fmt - 8 abc 0 3 abc0xxxxx",      "fmt - 1 abc 0 0 0xxxxxxxx",
                                "fmt - 0 abc 0 0 xxxxxxxxx",      "fmt - -5 abc 0 0 xxxxxxxxx",
                                "fmt @ 8 abc 0 0 xxxxxxxxx",      "nul - 8 @ 0 0 0xxxxxxxx",
                                "var - 8 1234 0 4 12340xxxx",     "var - 4 hello 0 -1 hel0xxxxx",
                                "var - 4 abcd 0 -1 abc0xxxxx",    "var - 4 abc 0 3 abc0xxxxx",
                                "var - 0 abc 0 -1 xxxxxxxxx",     "var - 0 ~ 0 0 xxxxxxxxx"};
    int (*const format)(char*, int, const char*, ...) = &Utils::snprintf_x;  // a null format
    ASSERT_NE(Utils::snprintf, nullptr);
    for (const char* row : rows) {
        const auto f = fields(row);
        const char* src = f[3] == "@" ? nullptr : f[3] == "~" ? "" : f[3].c_str();
        const int size = num(f[2]);
        const std::string got = onBuffer(f[1], [&](char* b) -> long long {
            return f[0] == "cpy"   ? static_cast<long long>(Utils::strncpy(b, size, src, num(f[4])))
                   : f[0] == "cat" ? static_cast<long long>(Utils::strncat(b, size, src, num(f[4])))
                   : f[0] == "fmt" ? Utils::snprintf_x(b, size, "%s", src)
                   : f[0] == "nul" ? format(b, size, src)
                                   : Utils::snprintf(b, size, "%s", src);
        });
        EXPECT_EQ(got, f[5] + " " + f[6]) << row;
    }
}

TEST(StringUtilTest, StricmpIgnoresAsciiCase) {
    ASSERT_NE(Utils::stricmp, nullptr);
    // Letters compare as lower case ('_' sorts before 'A'); bytes above 127 compare unsigned.
    const char* const ordered[] = {"",       "_",     "abc",   "ABCD", "apple",
                                   "Banana", "hello", "Zebra", "\xe9"};
    for (std::size_t i = 0; i + 1 < sizeof ordered / sizeof *ordered; ++i) {
        EXPECT_LT(Utils::stricmp(ordered[i], ordered[i + 1]), 0) << ordered[i];
        EXPECT_GT(Utils::stricmp(ordered[i + 1], ordered[i]), 0) << ordered[i];
    }
    EXPECT_EQ(Utils::stricmp("Hello", "hELLO"), 0);
    EXPECT_EQ(Utils::stricmp(nullptr, nullptr), 0);
    EXPECT_LT(Utils::stricmp(nullptr, ""), 0);
}

TEST(StringUtilTest, IpTextRoundTripsAndCutsToFit) {
    char buf[16];
    std::mt19937 rng(13);
    for (int i = 0; i < 1000; ++i) {
        Tovix::IpAddress ip;
        ip.value = i == 0 ? 0xFFFFFFFFu : i == 1 ? 0 : static_cast<std::uint32_t>(rng());
        ASSERT_EQ(Utils::ipToString(ip, buf, sizeof buf), buf);
        char expected[16];
        std::snprintf(expected, sizeof expected, "%u.%u.%u.%u", ip.value >> 24,
                      ip.value >> 16 & 255, ip.value >> 8 & 255, ip.value & 255);
        ASSERT_STREQ(buf, expected);
        ASSERT_EQ(Utils::stringToIp(buf).value, ip.value);
    }
    Tovix::IpAddress ip;
    ip.value = 0xC0A80001u;
    EXPECT_EQ(onBuffer("-", [&](char* b) { return Utils::ipToString(ip, b, 8) == b; }),
              "1 192.1680x");
    EXPECT_EQ(Utils::ipToString(ip, nullptr, 16), nullptr);
}

// Four numbers as sscanf reads them, each cut to its low 8 bits; fewer are logged.
TEST(StringUtilTest, StringToIpMatchesSscanfAndWarnsWhenNumbersAreMissing) {
    std::mt19937 rng(12);
    const char alphabet[] = "0123456789..  -+x\t";
    for (int trial = 0; trial < 5000; ++trial) {
        std::string text = trial == 0 ? "256.1.1.1" : "";
        for (int i = static_cast<int>(rng() % 16); i > 0 && trial > 0; --i) {
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
        TestSupport::LogCapture log;
        ASSERT_EQ(Utils::stringToIp(text.c_str()).value, expected) << '"' << text << '"';
        ASSERT_EQ(log.contains("param str " + text + " is invalid\n"), read < 4) << text;
    }
    TestSupport::LogCapture log;
    EXPECT_EQ(Utils::stringToIp(nullptr).value, 0u);
    EXPECT_TRUE(log.contains("param str (null) is invalid\n")) << log.text();
    EXPECT_EQ(Utils::stringToIp("99999999999999999999999999999999.1.1.1").value & 0xFFFFFF,
              0x010101u);
}

}  // namespace
