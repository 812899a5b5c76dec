// Bounded string helpers, the formatter and comparison variables, and IPv4 address text.
#include "infra/StringUtil.h"

#include <cstdio>

#include "UtilsTestHelpers.h"

namespace Utils = Tovix::Utils;
using namespace UtilsTest;

namespace {

// `call`'s result on nine 'x' starting with `text` ("-": none; "@": no buffer), and the buffer.
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

                                "cpy - 0 abc 3 0 xxxxxxxxx",      "cpy @ 9 abc 3 0 xxxxxxxxx",
                                "cat abc 8 defgh 10 4 abcdefg0x", "cat abc 8 defgh 2 2 abcde0x0x",
                                "cat abc 8 d 10 4 abcd0xx0x",     "cat abcdefg 8 z 1 0 abcdefg0x",
                                "cat - 4 z 1 0 xxx0xxxxx",        "cat ab 8 @ 3 3 ab0xxxx0x",
                                "cat ab 0 a 1 0 ab0xxxxxx",       "cat @ 8 a 1 0 xxxxxxxxx",
                                "fmt - 4 abcd 0 3 abc0xxxxx",

                                "fmt - 0 abc 0 0 xxxxxxxxx",      "fmt - -5 abc 0 0 xxxxxxxxx",
                                "fmt @ 8 abc 0 0 xxxxxxxxx",      "nul - 8 @ 0 0 0xxxxxxxx",
                                "var - 8 1234 0 4 12340xxxx",     "var - 4 hello 0 -1 hel0xxxxx",
                                "var - 4 abcd 0 -1 abc0xxxxx",    "var - 0 abc 0 -1 xxxxxxxxx",
                                "var - 0 ~ 0 0 xxxxxxxxx"};
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

// Text ('_' a blank), value, '=' when the value gives the text back, '!' when too few numbers are
// read and logged: four numbers, each cut to 8 bits, most significant first.
TEST(StringUtilTest, IpTextBothWays) {
    for (const char* row :
         {"192.168.0.1 0xc0a80001 =", "255.255.255.255 -1 =", "0.0.0.0 0 =", "256.1.1.1 0x00010101",
          "_1._2._3.+4xyz 0x01020304", "-1.0.0.1 0xff000001", "1.2.3 0x01020300 !",
          "1.2..4 0x01020000 !", "_ 0 !", "(null) 0 !"}) {
        auto f = fields(row + std::string(" -"));
        std::replace(f[0].begin(), f[0].end(), '_', ' ');
        TestSupport::LogCapture log;
        Tovix::IpAddress ip = Utils::stringToIp(f[0] == "(null)" ? nullptr : f[0].c_str());
        EXPECT_EQ(static_cast<int>(ip.value), num(f[1])) << row;
        EXPECT_TRUE(f[2] == "!" ? log.contains("param str " + f[0] + " is invalid\n")
                                : log.text().empty())
            << row;
        char buf[16];
        EXPECT_TRUE(f[2] != "=" || Utils::ipToString(ip, buf, sizeof buf) == f[0]) << row;
    }
    Tovix::IpAddress ip;
    ip.value = 0xC0A80001u;
    EXPECT_EQ(onBuffer("-", [&](char* b) { return Utils::ipToString(ip, b, 8) == b; }),
              "1 192.1680x");
}

}  // namespace
