// Log messages are formatted as std::snprintf formats them: a random sweep over
// conversions, flags, widths, precisions and lengths, cut at the line buffer
// after a prefix or none; and the library's own rules (null text, a lone '%' at the end).
#include <algorithm>
#include <climits>
#include <cstdint>
#include <random>

#include "LogTestSupport.h"

using namespace LogTests;

namespace {

class LogFormat : public LogFixture {
protected:
    // Logs `format` with no prefix (or "[M] " and a final newline, through
    // logLibName); expects the line and length snprintf gives with the room the message has.
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

TEST_F(LogFormat, RandomFormatsMatchSnprintf) {
    std::mt19937_64 random(20240611u);
    auto pick = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    static const char* const kFlags[] = {"", "", "-", "0", "-0", "0-", "+", " ", "#"};
    static const char* const kLengths[] = {"", "hh", "h", "l", "ll", "z", "j", "t"};
    static const long long kLimits[] = {0, 255, 32768, INT_MAX, INT_MIN, LLONG_MAX, LLONG_MIN};
    for (int i = 0; i < 8000 && m_failures < 5; ++i) {
        // Now and then a text that brings the line to the end of its buffer; a
        // width the formatter writes itself or hands over; a value at a digit-count
        // boundary, a limit, or random bits; either sign.
        std::string f = pick(0, 9) ? "x=" : std::string(pick(8140, 8200), 'a');
        long long v = 1;
        for (int k = pick(0, 18); k > 0; --k) {
            v *= 10;
        }
        v = pick(0, 2) == 0 ? static_cast<long long>(random())
            : pick(0, 1)    ? kLimits[pick(0, 6)]
                            : v - pick(0, 1);
        v = pick(0, 1) ? v : static_cast<long long>(0ULL - static_cast<unsigned long long>(v));
        const int w = pick(0, 9), length = pick(0, 7);
        f += std::string("%") + kFlags[pick(0, 8)] +
             (w >= 5   ? std::to_string(pick(1, 24))
              : w == 4 ? std::to_string(pick(4090, 4100))
                       : "") +
             (pick(0, 9) ? "" : ".4") + kLengths[length] + "diuxXo"[pick(0, 5)] + " %-5s|%c%%%.2f";
        const char* text = pick(0, 1) ? "ab" : "longer text";
        const bool prefixed = i % 3 == 0;
        switch (length) {
            case 3:
                same(prefixed, f, static_cast<long>(v), text, 'c', 1.5);
                break;
            case 4:
                same(prefixed, f, v, text, 'c', -2.25);
                break;
            case 5:
                same(prefixed, f, static_cast<std::size_t>(v), text, 'c', 0.0);
                break;
            case 6:
                same(prefixed, f, static_cast<std::intmax_t>(v), text, 'c', 1e300);
                break;
            case 7:
                same(prefixed, f, static_cast<std::ptrdiff_t>(v), text, 'c', -2.5e-7);
                break;
            default:
                same(prefixed, f, static_cast<int>(v), text, 'c', 3.14159);
        }
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
    // The '%' is dropped; the line state follows the text written. (Not literals:
    // the compiler's format check would refuse them.)
    const std::string faulty[] = {"load %d%", "%s\n%", "%d%%%", "%.1f\n%"};
    EXPECT_EQ(logLibName(3, "M", faulty[0].c_str(), 100), 12);
    EXPECT_EQ(logLibName(3, "M", faulty[1].c_str(), "!"), 2);
    EXPECT_EQ(logLibName(3, "M", faulty[2].c_str(), 5), 6);
    // Handed over to the C library, which refuses such a format whole.
    EXPECT_EQ(logLibName(3, "M", faulty[3].c_str(), 2.5), 4);
    logLibName(3, "M", "%s\n", "next");
    EXPECT_EQ(rec.lines(), (Lines{"[M] load 100", "!\n", "[M] 5%", "2.5\n", "[M] next\n"}));
}

}  // namespace
