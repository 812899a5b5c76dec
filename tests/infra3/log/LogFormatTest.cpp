// Log messages are formatted as std::snprintf formats the same format and arguments: a random
// sweep over conversions, flags, widths, precisions and lengths, cut at the line buffer after a
// prefix or none; and the library's own rules (null text, a lone '%' at the end).
#include <algorithm>
#include <climits>
#include <cstdint>
#include <random>

#include "LogTestSupport.h"

using namespace LogTests;

namespace {

class LogFormat : public LogFixture {
protected:
    // Logs `format` with no prefix (or "[M] " and a final newline, through logLibName); expects
    // the line and length snprintf gives with the room the message has.
    template <class... Args>
    void same(bool prefixed, std::string format, Args... args) {
        const std::string prefix = prefixed ? "[M] " : "";
        format += prefixed ? "\n" : "";
        setPrintOptions(optionsOf(kBare));
        logWarn("%s", "\n");  // a line start for the prefix
        setPrintOptions(optionsOf(prefixed ? kBare & ~(1u << 2) : kBare));
        std::vector<char> expected(8192 - prefix.size());
        const int full = std::snprintf(expected.data(), expected.size(), format.c_str(), args...);
        const std::string want = prefix + expected.data();
        const int wantLength = int(prefix.size()) + std::min(full, int(expected.size()) - 1);
        rec.clear();
        const int length = prefixed ? logLibName(3, "M", format.c_str(), args...)
                                    : logWarn(format.c_str(), args...);
        if ((rec.lines() != Lines{want} || length != wantLength) && ++m_failures <= 5) {
            ADD_FAILURE() << "format \"" << format.substr(0, 80) << "\" gave \""
                          << rec.last().substr(0, 80) << "\" (" << length << "), snprintf \""
                          << want.substr(0, 80) << "\" (" << wantLength << ")";
        }
    }

    int m_failures = 0;
};

// One argument of a random format, passed as its C type: i int, l long, L long long, z size_t,
// j intmax_t, t ptrdiff_t, d double, s text.
struct Arg {
    char type = 'i';
    long long integer = 0;
    double real = 0.0;
    const char* text = nullptr;
};

template <class F>
void withArg(const Arg& a, F f) {
    switch (a.type) {
        case 'i':
            return f(static_cast<int>(a.integer));
        case 'l':
            return f(static_cast<long>(a.integer));
        case 'L':
            return f(a.integer);
        case 'z':
            return f(static_cast<std::size_t>(a.integer));
        case 'j':
            return f(static_cast<std::intmax_t>(a.integer));
        case 't':
            return f(static_cast<std::ptrdiff_t>(a.integer));
        case 'd':
            return f(a.real);
        default:
            return f(a.text);
    }
}

// Text, then one conversion with flags, width, precision and length; its argument in *arg.
std::string conversion(std::mt19937_64& random, Arg* arg) {
    auto pick = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    static const char* const kTexts[] = {"", "a", "x=", " | ", "%%", "\t", "a longer text "};
    static const char* const kFlags[] = {"", "", "", "-", "0", "-0", "0-", "--0", "+", " ", "#"};
    static const char* const kLengths[] = {"", "", "hh", "h", "l", "ll", "z", "j", "t"};
    static const char* const kReals[] = {"f", ".2f", "e", "g", "10.3f", "-12e", "05.1f"};
    static const double kValues[] = {0.0, -1.5, 3.14159265, 1e300, -2.5e-7, 123456789.0};
    static const std::string kLong(300, 'q');
    static const char* const kStrings[] = {"", "a", "hello", "with space", kLong.c_str()};
    static const long long kLimits[] = {
        0, 127, 128, 255, 256, 32767, 65536, INT_MAX, INT_MIN, 4294967295LL, LLONG_MAX, LLONG_MIN};
    const int w = pick(0, 9);
    const std::string width = w >= 5   ? std::to_string(pick(1, 24))
                              : w == 4 ? std::to_string(pick(4090, 4100))
                                       : "";
    // Now and then a text that brings the line to the end of its buffer.
    std::string f = pick(0, 9) ? kTexts[pick(0, 6)] : std::string(pick(8140, 8200), 'a');
    f += '%';
    const int kind = pick(0, 9);
    if (kind <= 5) {
        // Digit-count boundaries, the types' limits and random bits, either sign.
        long long v = 1;
        for (int i = pick(0, 18); i > 0; --i) {
            v *= 10;
        }
        const int choice = pick(0, 2);
        v = choice == 0   ? static_cast<long long>(random())
            : choice == 1 ? kLimits[pick(0, 11)]
                          : v - pick(0, 1);
        v = pick(0, 1) ? v : static_cast<long long>(0ULL - static_cast<unsigned long long>(v));
        const int length = pick(0, 8);
        f += kFlags[pick(0, 10)] + width + (pick(0, 9) == 0 ? ".4" : "") + kLengths[length];
        f += "diuxXo"[pick(0, 5)];
        *arg = Arg{"iiiilLzjt"[length], v, 0.0, nullptr};
    } else if (kind == 6) {
        f += (pick(0, 1) ? "-" : "") + width + "c";
        *arg = Arg{'i', pick(1, 255), 0.0, nullptr};
    } else if (kind == 7) {
        f += (pick(0, 1) ? "-" : "") + width +
             (pick(0, 3) ? "" : "." + std::to_string(pick(0, 12))) + "s";
        *arg = Arg{'s', 0, 0.0, kStrings[pick(0, 4)]};
    } else {
        f += kReals[pick(0, 6)];
        *arg = Arg{'d', 0, kValues[pick(0, 5)], nullptr};
    }
    return f;
}

TEST_F(LogFormat, RandomFormatsMatchSnprintf) {
    std::mt19937_64 random(20240611u);
    for (int i = 0; i < 6000 && m_failures < 5; ++i) {
        Arg a, b;
        const std::string format = conversion(random, &a) + conversion(random, &b);
        withArg(a, [&](auto x) { withArg(b, [&](auto y) { same(i % 3 == 0, format, x, y); }); });
    }
    // A signed conversion of a size_t, an unsigned one of a ptrdiff_t: each at its own width.
    same(false, "%zd|%zi|%tx|%tu", static_cast<std::size_t>(-128), SIZE_MAX,
         static_cast<std::ptrdiff_t>(-2), PTRDIFF_MIN);
    same(false, "%*d|%p|%s%d|%20000d", 8, 42, static_cast<void*>(&random),
         std::string(9000, 'b').c_str(), 5, 4);
    EXPECT_EQ(m_failures, 0);
}

TEST_F(LogFormat, NullTextIsWrittenAsNullInParentheses) {
    const char* volatile none = nullptr;  // no compiler sees a constant null argument
    setPrintOptions(optionsOf(kBare));
    EXPECT_EQ(logWarn("[%10s|%-8s|%s]", none, none, "x"), 23);
    EXPECT_EQ(rec.last(), "[    (null)|(null)  |x]");
}

TEST_F(LogFormat, FormatEndingInALonePercentWritesTheTextBeforeIt) {
    setPrintOptions(optionsOf(kBare & ~(1u << 2)));
    // The '%' is dropped; the line state follows the text written. (Not literals: the compiler's
    // format check would refuse them.)
    const std::string faulty[] = {"load %d%", "%s\n%", "%d%%%", "%.1f\n%"};
    EXPECT_EQ(logLibName(3, "M", faulty[0].c_str(), 100), 12);
    EXPECT_EQ(logLibName(3, "M", faulty[1].c_str(), "!"), 2);
    EXPECT_EQ(logLibName(3, "M", faulty[2].c_str(), 5), 6);
    // Handed over to the C library, which refuses such a format whole.
    EXPECT_EQ(logLibName(3, "M", faulty[3].c_str(), 2.5), 4);
    logLibName(3, "M", "%s\n", "next");
    EXPECT_EQ(rec.lines(),
              (std::vector<std::string>{"[M] load 100", "!\n", "[M] 5%", "2.5\n", "[M] next\n"}));
}

}  // namespace
