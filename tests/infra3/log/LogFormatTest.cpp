// Log messages are formatted as std::snprintf formats the same format and arguments: a random
// sweep over conversions, flags, widths, precisions and lengths; lines cut at the line buffer
// after a prefix or none; and the library's own rules (null text, a lone '%' at the end).
#include <algorithm>
#include <climits>
#include <cstdint>
#include <random>

#include "LogTestSupport.h"

using namespace LogTests;

namespace {

constexpr int kLineBuffer = 8192;

class LogFormat : public LogFixture {
protected:
    void SetUp() override {
        LogFixture::SetUp();
        setPrintLogLevel(6);
    }

    // Logs `format` with no prefix (or "[M] " and a final newline, through logLibName): line and
    // length as snprintf writes them into the room the message has.
    template <class... Args>
    bool same(bool prefixed, std::string format, Args... args) {
        static_assert(sizeof...(Args) > 0, "formats without arguments go through \"%s\"");
        const std::string prefix = prefixed ? "[M] " : "";
        format += prefixed ? "\n" : "";
        setPrintOptions(optionsOf(kBare));
        logInfo("%s", "\n");  // a line start for the prefix
        setPrintOptions(optionsOf(prefixed ? kBare & ~(1u << 2) : kBare));
        std::vector<char> expected(kLineBuffer - prefix.size());
        const int full = std::snprintf(expected.data(), expected.size(), format.c_str(), args...);
        rec.clear();
        const int length = prefixed ? logLibName(4, "M", format.c_str(), args...)
                                    : logInfo(format.c_str(), args...);
        const auto lines = rec.lines();
        const std::string want = prefix + expected.data();
        const int wantLength =
            static_cast<int>(prefix.size()) + std::min(full, static_cast<int>(expected.size()) - 1);
        if (lines.size() == 1 && lines[0] == want && length == wantLength) {
            return true;
        }
        if (++m_failures <= 5) {
            ADD_FAILURE() << "format \"" << format.substr(0, 80) << "\" gave \""
                          << (lines.empty() ? "<no line>" : lines[0].substr(0, 80)) << "\" ("
                          << length << "), snprintf \"" << want.substr(0, 80) << "\" ("
                          << wantLength << ")";
        }
        return false;
    }
    template <class... Args>
    bool same(const char* format, Args... args) {
        return same(false, format, args...);
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
    EXPECT_EQ(m_failures, 0);
}

TEST_F(LogFormat, HandOverToTheCLibraryKeepsWhatWasWrittenOnce) {
    int object = 0;
    EXPECT_TRUE(same("%s=%p (%u)", "ptr", static_cast<void*>(&object), 7u));
    EXPECT_TRUE(same("%*d|%s|%-*d|", 8, 42, "t", 6, -1));
    EXPECT_TRUE(same("head %d %s %u %x tail %f", 1, "s", 2u, 3u, 4.0));
    EXPECT_TRUE(same("%d%s%5.1f%c%lld%Lf", 1, "two", 3.14159, '4', LLONG_MIN, 1.25L));
    // A signed conversion of a size_t, an unsigned one of a ptrdiff_t: each at its own width.
    EXPECT_TRUE(same("%zd|%zi|%tx|%tu", static_cast<std::size_t>(-128), SIZE_MAX,
                     static_cast<std::ptrdiff_t>(-2), PTRDIFF_MIN));
    const std::string huge(100000, 'b');
    EXPECT_TRUE(same("x%sy%dz", huge.c_str(), 5));
    EXPECT_TRUE(same("%4096d%4096d|%8191d|%20000d", 1, 2, 3, 4));
}

TEST_F(LogFormat, NullTextIsWrittenAsNullInParentheses) {
    // Read through a volatile so that no compiler sees a constant null argument.
    const char* volatile hidden = nullptr;
    const char* none = hidden;
    setPrintOptions(optionsOf(kBare));
    EXPECT_EQ(logInfo("%s", none), 6);
    EXPECT_EQ(logInfo("[%10s|%-8s|%s]", none, none, "x"), 23);
    EXPECT_EQ(logInfo("%d %s %.2f", 1, none, 2.0), 13);
    EXPECT_EQ(rec.lines(),
              (std::vector<std::string>{"(null)", "[    (null)|(null)  |x]", "1 (null) 2.00"}));
}

TEST_F(LogFormat, FormatEndingInALonePercentWritesTheTextBeforeIt) {
    setPrintOptions(optionsOf(kBare & ~(1u << 2)));
    // The '%' is dropped and the line state follows the text written. Formats are not literals,
    // so the compiler's format check does not refuse them.
    const std::string faulty[] = {"load %d%", "%s\n%", "%d%%%", "%.1f\n%"};
    EXPECT_EQ(logLibName(4, "M", faulty[0].c_str(), 100), 12);
    EXPECT_EQ(logLibName(4, "M", faulty[1].c_str(), "!"), 2);
    EXPECT_EQ(logLibName(4, "M", faulty[2].c_str(), 5), 6);
    // Handed over to the C library, which refuses such a format whole.
    EXPECT_EQ(logLibName(4, "M", faulty[3].c_str(), 2.5), 4);
    logLibName(4, "M", "%s\n", "next");
    EXPECT_EQ(rec.lines(),
              (std::vector<std::string>{"[M] load 100", "!\n", "[M] 5%", "2.5\n", "[M] next\n"}));
}

}  // namespace
