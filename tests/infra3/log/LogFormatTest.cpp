// Log messages are formatted like std::snprintf with the same format and arguments: boundary
// values, flags and widths, every length modifier, conversions the formatter hands over to the C
// library mixed into one format, lines cut at the line buffer, and a randomized sweep.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "infra/Function.h"
#include "infra/PrintLog.h"

using namespace Tovix::Infra;

namespace {

// A line holds at most this many characters (the line buffer less its terminator).
constexpr int kLineBuffer = 8192;
constexpr int kMaxLine = kLineBuffer - 1;

void quietPrinter(const char*) {}

// What one log call gave: its lines and its return value, and what snprintf gave.
struct Outcome {
    std::vector<std::string> lines;
    int length = 0;
    std::string expected;
    int expectedLength = 0;
};

// Lines reach a sink; the printer is silenced; the prefix is switched off except for the module
// when asked, so a line is the message itself (or "[M] " and the message).
class LogFormat : public ::testing::Test {
protected:
    void SetUp() override {
        setLogPrinter(TFunction1<void, const char*>(&quietPrinter));
        setPrintLogLevel(6);
        usePrefix(false);
        // Finish any partial line of earlier calls, so the next line starts with its prefix.
        logInfo("%s", "\n");
        ASSERT_TRUE(attachPrint(sink()));
        m_lines.clear();
    }
    void TearDown() override {
        detachPrint(sink());
        setPrintOptions(PrintOptions{});
        setPrintLogLevel(3);
        setLogPrinter(TFunction1<void, const char*>());
    }

    static void usePrefix(bool module) {
        PrintOptions o{};
        o.noTime = true;
        o.noColor = true;
        o.noModule = !module;
        o.noLevel = true;
        o.noThread = true;
        o.noVersion = true;
        o.noFunction = true;
        o.noFile = true;
        o.noLine = true;
        o.noLogFile = true;
        setPrintOptions(o);
    }

    TFunction1<bool, const char*> sink() {
        return TFunction1<bool, const char*>(this, &LogFormat::record);
    }
    bool record(const char* line) {
        m_lines.emplace_back(line);
        return true;
    }

    // Logs `format` with `args` (through the module "M" when `prefix` is not empty) and formats
    // the same with snprintf into a buffer of the room the message has.
    template <class... Args>
    Outcome run(const std::string& prefix, const char* format, Args... args) {
        static_assert(sizeof...(Args) > 0, "formats without arguments go through \"%s\"");
        Outcome o;
        const std::size_t room = static_cast<std::size_t>(kLineBuffer) - prefix.size();
        std::vector<char> expected(room);
        const int full = std::snprintf(expected.data(), room, format, args...);
        o.expected = prefix + expected.data();
        o.expectedLength =
            static_cast<int>(prefix.size()) + std::min(full, static_cast<int>(room) - 1);
        m_lines.clear();
        o.length = prefix.empty() ? logInfo(format, args...) : logLibName(4, "M", format, args...);
        o.lines = m_lines;
        return o;
    }

    template <class... Args>
    void expectLikeSnprintf(const char* format, Args... args) {
        check(run(std::string(), format, args...), format);
    }

    static void check(const Outcome& o, const std::string& format) {
        ASSERT_EQ(o.lines.size(), 1u) << "format \"" << format << '"';
        EXPECT_EQ(o.lines[0], o.expected) << "format \"" << format << '"';
        EXPECT_EQ(o.length, o.expectedLength) << "format \"" << format << '"';
        EXPECT_LE(o.length, kMaxLine);
    }

    std::vector<std::string> m_lines;
};

TEST_F(LogFormat, SignedDecimalsAtTheirLimits) {
    for (int v : {INT_MIN, INT_MIN + 1, -1000000000, -100, -10, -9, -1, 0, 1, 9, 10, 99, 100,
                  999999999, 1000000000, INT_MAX - 1, INT_MAX}) {
        expectLikeSnprintf("%d", v);
        expectLikeSnprintf("<%i>", v);
        expectLikeSnprintf("v=%d;", v);
    }
    expectLikeSnprintf("%ld|%ld", LONG_MIN, LONG_MAX);
    expectLikeSnprintf("%lld|%lld|%lld", LLONG_MIN, LLONG_MAX, 0LL);
    expectLikeSnprintf("%lli", -4294967296LL);
    expectLikeSnprintf("%lld", 4294967295LL);
    expectLikeSnprintf("%lld", 4294967296LL);
    expectLikeSnprintf("%jd|%jd", INTMAX_MIN, INTMAX_MAX);
    expectLikeSnprintf("%td|%td", PTRDIFF_MIN, PTRDIFF_MAX);
    expectLikeSnprintf("%zd", static_cast<std::size_t>(12345));
    // A signed conversion of a size_t reads it at its own width, then as signed.
    expectLikeSnprintf("%zd|%zi", static_cast<std::size_t>(-128), SIZE_MAX);
}

TEST_F(LogFormat, UnsignedAndHexAtTheirLimits) {
    for (unsigned int v : {0u, 1u, 9u, 10u, 15u, 16u, 255u, 256u, 4294967295u, 2147483648u}) {
        expectLikeSnprintf("%u", v);
        expectLikeSnprintf("%x", v);
        expectLikeSnprintf("%X", v);
    }
    // Negative ints printed as unsigned: the bits of the two's complement.
    for (int v : {-1, -255, INT_MIN}) {
        expectLikeSnprintf("%x", v);
        expectLikeSnprintf("%X", v);
        expectLikeSnprintf("%u", v);
    }
    expectLikeSnprintf("%lu|%lx", ULONG_MAX, ULONG_MAX);
    expectLikeSnprintf("%llu|%llx|%llX", ULLONG_MAX, ULLONG_MAX, 0xABCDEF0123456789ULL);
    expectLikeSnprintf("%zu|%zx", SIZE_MAX, static_cast<std::size_t>(0));
    expectLikeSnprintf("%ju|%jx", UINTMAX_MAX, UINTMAX_MAX);
    // An unsigned conversion of a ptrdiff_t keeps its own width: no sign extension beyond it.
    expectLikeSnprintf("%tx|%tu|%tX", static_cast<std::ptrdiff_t>(-2), PTRDIFF_MIN,
                       static_cast<std::ptrdiff_t>(-1));
}

TEST_F(LogFormat, ShortAndCharLengthsTruncateWiderArguments) {
    for (int v : {0, 127, 128, 200, 255, 256, 300, -1, -128, -129, 32767, 32768, 65535, 65536,
                  70000, -32769, INT_MIN, INT_MAX}) {
        expectLikeSnprintf("%hhd|%hhi|%hhu|%hhx|%hhX", v, v, v, v, v);
        expectLikeSnprintf("%hd|%hi|%hu|%hx|%hX", v, v, v, v, v);
        expectLikeSnprintf("%5hhd|%-6hd|%06hu", v, v, v);
    }
}

TEST_F(LogFormat, FlagsAndWidths) {
    for (int v : {0, 7, -7, 42, -42, 12345, -12345, 123456, INT_MIN, INT_MAX}) {
        expectLikeSnprintf("%-5d|", v);
        expectLikeSnprintf("%05d|", v);
        expectLikeSnprintf("%5d|", v);
        expectLikeSnprintf("%1d|", v);
        expectLikeSnprintf("%0d|", v);
        // '-' wins over '0', in either order and repeated.
        expectLikeSnprintf("%-05d|%0-5d|%--05i|%00-6d|", v, v, v, v);
        expectLikeSnprintf("%012u|%-12u|%08x|%-8X|%8x|", v, v, v, v, v);
    }
    expectLikeSnprintf("%020lld|%-25lld|%25lld|", LLONG_MIN, LLONG_MIN, LLONG_MIN);
    expectLikeSnprintf("%030llu|%-30llx|", ULLONG_MAX, ULLONG_MAX);
    expectLikeSnprintf("%5c|%-5c|%c%c", 'a', 'b', 'c', 200);
    expectLikeSnprintf("%10s|%-10s|%3s|%-3s|", "abc", "abc", "abcdef", "abcdef");
    expectLikeSnprintf("%%|100%%|%d%%|%%%s%%", 5, "x");
    // The widest field the formatter writes itself, and the narrowest it hands over.
    expectLikeSnprintf("%4096d|", -1);
    expectLikeSnprintf("%-4096d|", 1);
    expectLikeSnprintf("%4097d|", 1);
    expectLikeSnprintf("%04097d|", -1);
}

TEST_F(LogFormat, NullStringIsWrittenAsNullInParentheses) {
    // Read through a volatile so that no compiler sees a constant null argument.
    const char* volatile hidden = nullptr;
    const char* none = hidden;
    // The library's documented choice (also the C library's): "(null)", padded like any text.
    EXPECT_EQ(logInfo("%s", none), 6);
    EXPECT_EQ(logInfo("[%10s|%-8s|%s]", none, none, "x"), 23);
    EXPECT_EQ(logInfo("%d %s %u", 1, none, 2u), 10);
    const std::vector<std::string> expected = {"(null)", "[    (null)|(null)  |x]", "1 (null) 2"};
    EXPECT_EQ(m_lines, expected);
}

TEST_F(LogFormat, ConversionsForTheCLibraryMixWithTheOthers) {
    int object = 0;
    void* pointer = &object;
    expectLikeSnprintf("%d %f %s", -3, 2.5, "x");
    expectLikeSnprintf("%s=%p (%u)", "ptr", pointer, 7u);
    expectLikeSnprintf("%e|%d|%g|%x", 12345.678, INT_MIN, 0.0001, 255u);
    expectLikeSnprintf("%.3s|%d|%.0s|%.10s", "abcdef", 7, "gone", "abc");
    expectLikeSnprintf("%*d|%s|%-*d|", 8, 42, "t", 6, -1);
    expectLikeSnprintf("%+d|% d|%#x|%#o|%o", 5, 5, 255u, 8u, 8u);
    expectLikeSnprintf("%.5d|%8.3d|%-8.3x|", -42, 7, 10u);
    expectLikeSnprintf("%d%s%5.1f%c%lld", 1, "two", 3.14159, '4', LLONG_MIN);
    expectLikeSnprintf("%Lf|%d", static_cast<long double>(1.25), 9);
    // The fast part written before the hand-over must not show twice.
    expectLikeSnprintf("head %d %s %u %x tail %f", 1, "s", 2u, 3u, 4.0);
    expectLikeSnprintf("%s%s%s%s%d%05.1f", "a", "b", "c", "d", 5, 6.0);
}

TEST_F(LogFormat, MessagesAreCutAtTheLineBufferLikeSnprintf) {
    for (int n = kMaxLine - 24; n <= kLineBuffer + 8; ++n) {
        const std::string text(static_cast<std::size_t>(n), 'a');
        SCOPED_TRACE(n);
        expectLikeSnprintf("%s", text.c_str());
        expectLikeSnprintf("%s%d", text.c_str(), INT_MIN);
        expectLikeSnprintf("%s%u|", text.c_str(), 4294967295u);
        expectLikeSnprintf("%s%-12d|", text.c_str(), -5);
        expectLikeSnprintf("%s%012lld", text.c_str(), LLONG_MIN);
        expectLikeSnprintf("%s%X%s", text.c_str(), 0xABCDEFu, "tail");
        expectLikeSnprintf("%s%c%c", text.c_str(), 'y', 'z');
        expectLikeSnprintf("%s%%%d", text.c_str(), 1);
        expectLikeSnprintf("%s%f", text.c_str(), 1.5);
        expectLikeSnprintf("%.*s|%d", n, text.c_str(), 17);
        // The literal part of the format itself reaches the limit.
        const std::string format = text + "%d";
        expectLikeSnprintf(format.c_str(), 123456);
    }
    expectLikeSnprintf("%4096d%4096d", 1, 2);
    expectLikeSnprintf("%4095d%4096d", 1, -2);
    expectLikeSnprintf("%8191d", 3);
    expectLikeSnprintf("%20000d|", 4);
    const std::string huge(100000, 'b');
    expectLikeSnprintf("%s", huge.c_str());
    expectLikeSnprintf("x%sy%dz", huge.c_str(), 5);
}

TEST_F(LogFormat, MessageAfterAPrefixIsCutToTheRoomLeft) {
    usePrefix(true);
    const std::string prefix = "[M] ";
    Outcome o = run(prefix, "plain %d\n", 1);
    check(o, "plain");
    EXPECT_EQ(o.lines[0], "[M] plain 1\n");
    for (int n = kMaxLine - static_cast<int>(prefix.size()) - 16;
         n <= kLineBuffer - static_cast<int>(prefix.size()) + 4; ++n) {
        const std::string text(static_cast<std::size_t>(n), 'c');
        SCOPED_TRACE(n);
        // Lines that fit end with a newline so that the next one starts with its prefix.
        check(run(prefix, "%s%d\n", text.c_str(), -987654), "%s%d");
        check(run(prefix, "%s%08x\n", text.c_str(), 0xFEEDu), "%s%08x");
        check(run(prefix, "%s%s\n", text.c_str(), "0123456789"), "%s%s");
        check(run(prefix, "%s%e\n", text.c_str(), 2.0), "%s%e");
    }
}

TEST_F(LogFormat, FormatEndingInALonePercentWritesTheTextBeforeIt) {
    usePrefix(true);
    // The '%' is dropped and the line state follows the text written: a line ending in its
    // newline lets the next start with a prefix. Formats are not literals, so the compiler's
    // format check does not refuse them.
    const std::string faulty[] = {"load %d%", "%s\n%", "%d%%%", "%.1f\n%"};
    EXPECT_EQ(logLibName(4, "M", faulty[0].c_str(), 100), 12);
    EXPECT_EQ(logLibName(4, "M", faulty[1].c_str(), "!"), 2);
    EXPECT_EQ(logLibName(4, "M", faulty[2].c_str(), 5), 6);
    // Handed over to the C library, which refuses such a format whole.
    EXPECT_EQ(logLibName(4, "M", faulty[3].c_str(), 2.5), 4);
    logLibName(4, "M", "%s\n", "next");
    const std::vector<std::string> expected = {"[M] load 100", "!\n", "[M] 5%", "2.5\n",
                                               "[M] next\n"};
    EXPECT_EQ(m_lines, expected);
}

// --- randomized sweep -------------------------------------------------------------------------

enum class ArgKind { kInt, kLong, kLongLong, kSize, kIntMax, kPtrDiff, kDouble, kText };

struct Arg {
    ArgKind kind;
    long long integer;
    double real;
    const char* text;
};

constexpr std::size_t kMaxSweepArgs = 3;

class Sweep {
public:
    explicit Sweep(unsigned int seed) : m_random(seed) {}

    // A format of text pieces and up to kMaxSweepArgs arguments' worth of conversions.
    void build(std::string* format, std::vector<Arg>* args) {
        format->clear();
        args->clear();
        const int pieces = pick(1, 6);
        for (int i = 0; i < pieces; ++i) {
            if (pick(0, 2) == 0) {
                static const char* const kTexts[] = {
                    "a", "x=", " | ", "%%", "[", "] ", "a longer piece of plain text ", "\t"};
                *format += kTexts[pick(0, 7)];
                continue;
            }
            if (args->size() + 2 > kMaxSweepArgs) {
                continue;
            }
            conversion(format, args);
        }
        if (args->empty()) {
            *format += "%d";
            args->push_back(integerArg(ArgKind::kInt));
        }
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }

    void conversion(std::string* format, std::vector<Arg>* args) {
        *format += '%';
        const int kind = pick(0, 9);
        if (kind <= 5) {
            integerConversion(format, args);
        } else if (kind == 6) {
            flagsAndWidth(format, false);
            *format += 'c';
            Arg a = integerArg(ArgKind::kInt);
            a.integer = pick(1, 255);
            args->push_back(a);
        } else if (kind == 7) {
            flagsAndWidth(format, false);
            if (pick(0, 3) == 0) {
                *format += '.' + std::to_string(pick(0, 12));
            }
            *format += 's';
            args->push_back(textArg());
        } else if (kind == 8) {
            static const char* const kReal[] = {"f", ".2f", "e", "g", "10.3f", "-12e"};
            *format += kReal[pick(0, 5)];
            static const double kValues[] = {0.0, -1.5, 3.14159265, 1e300, -2.5e-7, 123456789.0};
            args->push_back(Arg{ArgKind::kDouble, 0, kValues[pick(0, 5)], nullptr});
        } else {
            // A width from the arguments.
            *format += pick(0, 1) == 0 ? "*d" : "-*u";
            Arg width = integerArg(ArgKind::kInt);
            width.integer = pick(-6, 20);
            args->push_back(width);
            args->push_back(integerArg(ArgKind::kInt));
        }
    }

    void flagsAndWidth(std::string* format, bool zeroAllowed) {
        const int flags = pick(0, 3);
        for (int i = 0; i < flags; ++i) {
            *format += zeroAllowed && pick(0, 1) == 0 ? '0' : '-';
        }
        const int width = pick(0, 9);
        if (width >= 5) {
            *format += std::to_string(pick(1, 24));
        } else if (width == 4) {
            *format += std::to_string(pick(4090, 4100));
        }
    }

    void integerConversion(std::string* format, std::vector<Arg>* args) {
        // Now and then a flag or a precision the formatter leaves to the C library.
        static const char* const kOther[] = {"+", " ", "#"};
        if (pick(0, 9) == 0) {
            *format += kOther[pick(0, 2)];
        }
        flagsAndWidth(format, true);
        if (pick(0, 9) == 0) {
            *format += ".4";
        }
        static const char* const kLengths[] = {"", "", "", "hh", "h", "l", "ll", "z", "j", "t"};
        static const ArgKind kKinds[] = {ArgKind::kInt,      ArgKind::kInt,  ArgKind::kInt,
                                         ArgKind::kInt,      ArgKind::kInt,  ArgKind::kLong,
                                         ArgKind::kLongLong, ArgKind::kSize, ArgKind::kIntMax,
                                         ArgKind::kPtrDiff};
        const int length = pick(0, 9);
        *format += kLengths[length];
        static const char kConversions[] = {'d', 'i', 'u', 'x', 'X', 'o'};
        *format += kConversions[pick(0, 5)];
        args->push_back(integerArg(kKinds[length]));
    }

    Arg integerArg(ArgKind kind) {
        static const long long kValues[] = {
            0,         1,        -1,    9,      10,    -10,     127,     128,          -129,
            255,       256,      32767, -32768, 65536, INT_MAX, INT_MIN, 4294967295LL, 4294967296LL,
            LLONG_MAX, LLONG_MIN};
        long long value =
            pick(0, 3) == 0 ? static_cast<long long>(m_random()) : kValues[pick(0, 19)];
        if (pick(0, 1) == 0) {
            // Through unsigned: LLONG_MIN negates to itself.
            value = static_cast<long long>(0ULL - static_cast<unsigned long long>(value));
        }
        if (kind == ArgKind::kInt) {
            // Values of an int: wider ones keep their low bits, as a caller's cast would.
            value = static_cast<int>(static_cast<unsigned int>(value));
        } else if (kind == ArgKind::kLong) {
            value = static_cast<long>(value);
        }
        return Arg{kind, value, 0.0, nullptr};
    }

    Arg textArg() {
        static const std::string kLong(300, 'q');
        static const char* const kTexts[] = {
            "", "a", "hello", "with space", "0123456789abcdef", kLong.c_str()};
        return Arg{ArgKind::kText, 0, 0.0, kTexts[pick(0, 5)]};
    }

    std::mt19937 m_random;
};

// Calls the fixture's run with each Arg converted to its C type.
template <class Fixture, class... Done>
Outcome callWith(Fixture* fixture, const char* format, const std::vector<Arg>& args,
                 std::size_t next, Done... done) {
    if constexpr (sizeof...(Done) >= kMaxSweepArgs) {
        return fixture->runPublic(format, done...);
    } else {
        if (next == args.size()) {
            if constexpr (sizeof...(Done) == 0) {
                return Outcome{};
            } else {
                return fixture->runPublic(format, done...);
            }
        }
        const Arg& a = args[next];
        switch (a.kind) {
            case ArgKind::kInt:
                return callWith(fixture, format, args, next + 1, done...,
                                static_cast<int>(a.integer));
            case ArgKind::kLong:
                return callWith(fixture, format, args, next + 1, done...,
                                static_cast<long>(a.integer));
            case ArgKind::kLongLong:
                return callWith(fixture, format, args, next + 1, done..., a.integer);
            case ArgKind::kSize:
                return callWith(fixture, format, args, next + 1, done...,
                                static_cast<std::size_t>(a.integer));
            case ArgKind::kIntMax:
                return callWith(fixture, format, args, next + 1, done...,
                                static_cast<std::intmax_t>(a.integer));
            case ArgKind::kPtrDiff:
                return callWith(fixture, format, args, next + 1, done...,
                                static_cast<std::ptrdiff_t>(a.integer));
            case ArgKind::kDouble:
                return callWith(fixture, format, args, next + 1, done..., a.real);
            case ArgKind::kText:
                break;
        }
        return callWith(fixture, format, args, next + 1, done..., a.text);
    }
}

class LogFormatSweep : public LogFormat {
public:
    template <class... Args>
    Outcome runPublic(const char* format, Args... args) {
        return run(std::string(), format, args...);
    }
};

TEST_F(LogFormatSweep, RandomFormatsMatchSnprintf) {
    Sweep sweep(20240611u);
    std::string format;
    std::vector<Arg> args;
    int mismatches = 0;
    for (int i = 0; i < 4000 && mismatches < 10; ++i) {
        sweep.build(&format, &args);
        const Outcome o = callWith(this, format.c_str(), args, 0);
        const bool same =
            o.lines.size() == 1 && o.lines[0] == o.expected && o.length == o.expectedLength;
        if (!same) {
            ++mismatches;
            ADD_FAILURE() << "format \"" << format << "\" gave \""
                          << (o.lines.empty() ? std::string("<no line>") : o.lines[0])
                          << "\", snprintf \"" << o.expected << '"';
        }
    }
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
