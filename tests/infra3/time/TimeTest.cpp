// Calendar time against the C library's conversions, the zone offset and the system clocks;
// writing by pictures and reading back, each against a plain model of the picture rules.
#include "infra/Time.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/LogCapture.h"

using namespace Tovix::Infra;
using TestSupport::LogCapture;

namespace {

// A fixed zone 3 h 30 min west with daylight saving, set before anything reads the zone.
constexpr int kZoneOffset = 3 * 3600 + 30 * 60;
#if defined(_WIN32)
// The Windows runtime reads only "XXX[+|-]hh[:mm[:ss]][YYY]" and applies the US rule.
const char* const kZones[] = {"ABC3:30DEF", "NPT-5:45"};
#else
const char* const kZones[] = {"<-0330>3:30<-0230>,M3.2.0,M11.1.0", "<+0545>-5:45"};
#endif
bool useZone(const char* zone) {
#if defined(_WIN32)
    const bool set = _putenv_s("TZ", zone) == 0;
    _tzset();
#else
    const bool set = setenv("TZ", zone, 1) == 0;
    tzset();
#endif
    return set;
}
const bool g_zoneSet = useZone(kZones[0]);

// Copied by a dynamic initialiser: the constants must already hold their values.
const CTime g_minAtStartup = CTime::minTime, g_maxAtStartup = CTime::maxTime;

constexpr long long kEndOf2038 = 2177452799LL;  // 2038-12-31 23:59:59 UTC

std::string show(const SystemTime& t) {
    char text[96];
    std::snprintf(text, sizeof text, "%d-%d-%d w%d %d:%d:%d", t.year, t.month, t.day, t.wday,
                  t.hour, t.minute, t.second);
    return text;
}

// The C library's split of `seconds`, UTC or in the process zone, shown as above.
std::string cSplit(long long seconds, bool utc = true) {
    struct tm p = {};
#if defined(_WIN32)
    const __time64_t t = seconds;  // the runtime splits up to the year 3000
    EXPECT_EQ(utc ? _gmtime64_s(&p, &t) : _localtime64_s(&p, &t), 0) << seconds;
#else
    const time_t t = static_cast<time_t>(seconds);
    EXPECT_NE(utc ? gmtime_r(&t, &p) : localtime_r(&t, &p), nullptr) << seconds;
#endif
    return show(
        {p.tm_year + 1900, p.tm_mon + 1, p.tm_mday, p.tm_wday, p.tm_hour, p.tm_min, p.tm_sec, 0});
}

long long unixNow() {  // not time(): that may lag the real-time clock by a tick
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

TEST(TimeValue, ConstantsEmptyValueAndClamping) {
    EXPECT_EQ(
        show(CTime::minTime) + show(g_minAtStartup) + show(CTime::maxTime) + show(g_maxAtStartup),
        "2000-1-1 w6 0:0:02000-1-1 w6 0:0:02038-1-1 w5 0:0:02038-1-1 w5 0:0:0");
    EXPECT_TRUE(show(CTime()) == "0-0-0 w0 0:0:0" && CTime().isdst == -1 &&
                CTime::minTime.isdst == -1);
    // Each field is clamped into its range; the year first, so 2040-02-29 is not kept.
    EXPECT_EQ(show(CTime(1969, 0, 0, 25, 70, 70)) + show(CTime(2040, 2, 29, -1, 60, -1)),
              "1970-1-1 w4 23:59:592038-2-28 w0 0:59:0");
    EXPECT_EQ(CTime::timeToSeconds(SystemTime{2012, 2, 30, 0, 24, 0, 0, 0}), 1330559999ULL);
}

// Seconds to fields on random counts (up to the year 3000: the split is not clamped) and back,
// against the C library.
TEST(TimeValue, ConversionsMatchTheCLibrary) {
    EXPECT_EQ(CTime::timeToSeconds(CTime(2000, 1, 1, 0, 0, 0)), 946684800ULL);
    std::mt19937_64 rng(42);
    std::uniform_int_distribution<long long> near(0, 1LL << 33), far(0, 32535215999LL);
    for (int i = 0; i < 100000; ++i) {
        const long long s = i % 4 == 0 ? far(rng) : near(rng);
        const CTime t(static_cast<unsigned long long>(s), false);
        ASSERT_EQ(show(t), cSplit(s));
        ASSERT_TRUE(s > kEndOf2038 ||
                    CTime::timeToSeconds(t) == static_cast<unsigned long long>(s));
    }
    // Every second of the days where the split changes method.
    for (long long s = 47540 * 86400LL; s < 47542 * 86400LL; ++s) {
        ASSERT_EQ(show(CTime(static_cast<unsigned long long>(s), false)), cSplit(s));
    }
    EXPECT_EQ(CTime(~0ULL, false).year, INT_MAX);  // beyond any int year: capped
}

TEST(TimeValue, ArithmeticAndComparisons) {
    std::mt19937_64 rng(99);
    std::uniform_int_distribution<long long> seconds(0, kEndOf2038), near(-100000, 100000);
    for (int i = 0; i < 20000; ++i) {
        const long long a = seconds(rng);
        const long long b = i % 100 == 0 ? a
                            : i % 2      ? seconds(rng)
                                         : std::clamp(a + near(rng), 0LL, kEndOf2038);
        CTime ta(static_cast<unsigned long long>(a), false),
            tb(static_cast<unsigned long long>(b), false);
        ta.isdst = 1;
        ASSERT_EQ(show(ta + (b - a)) + show(ta - (a - b)) + std::to_string((ta + 1).isdst),
                  cSplit(b) + cSplit(b) + "-1");
        ASSERT_EQ(tb - ta, b - a);
        CTime in = ta;  // in place the daylight flag is kept
        ASSERT_EQ(show(in += b - a) + std::to_string(in.isdst), cSplit(b) + "1");
        ASSERT_EQ(show(in -= b - a) + std::to_string(in.isdst), cSplit(a) + "1");
        // Order by the date and time fields only: wday and isdst take no part.
        tb.wday = (tb.wday + 3) % 7;
        ASSERT_TRUE((tb > ta) == (b > a) && (tb >= ta) == (b >= a) && (tb < ta) == (b < a) &&
                    (tb <= ta) == (b <= a) && (tb == ta) == (b == a) && (tb != ta) == (b != a));
    }
    // Below 1970 the unsigned count wraps to a far date.
    EXPECT_EQ(CTime(1970, 1, 1, 0, 0, 0) - 1, CTime(~0ULL, false));
    EXPECT_EQ(CTime(1970, 1, 1, 0, 0, 0) - LLONG_MIN, CTime(1ULL << 63, false));
}

// The zone offset: the process zone's standard offset, read again after TZ changes, applied by
// makeTime and breakTime only, and 0 while switched off.
TEST(TimeValue, ZoneOffsetFollowsTheProcessZone) {
    ASSERT_TRUE(g_zoneSet && useZone(kZones[1]));
    const long east = CTime::getTimeZone();
    const unsigned long long made = CTime(2020, 1, 1, 5, 45, 0).makeTime();
    ASSERT_TRUE(useZone(kZones[0]));
    EXPECT_TRUE(east == -(5 * 3600 + 45 * 60) && made == 1577836800ULL);
    const unsigned long long u = 1700000000ULL;        // 2023-11-14 22:13:20 UTC
    for (const long long offset : {kZoneOffset, 0}) {  // then with the zone switched off
        Detail::setTimezoneDisabled(offset == 0);
        CTime kept(2001, 1, 1, 0, 0, 0);
        kept.isdst = 1;
        kept.breakTime(u);
        EXPECT_EQ(show(CTime(u)) + show(kept) + show(CTime(u, false)) + std::to_string(offset),
                  cSplit(u - offset) + cSplit(u - offset) + cSplit(u) +
                      std::to_string(CTime::getTimeZone()));
        EXPECT_TRUE(kept.isdst == 1 && CTime(u, true) == kept && kept.makeTime() == u);
    }
    Detail::setTimezoneDisabled(false);
}

// The clocks on several threads while the real-time clock's second changes at least twice: the
// local time against the C library's local split, UTC, and counters that never go back.
TEST(TimeNow, ClocksFollowTheSystemOnEveryThread) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    const long long start = unixNow();
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&] {
            for (unsigned long long n = 0, ownMicro = 0, ownMilli = 0;
                 n < 20000 || unixNow() < start + 2; ++n) {
                const unsigned long long us = CTime::getCurrentMicroSecond();
                const unsigned long long value = CTime::getCurrentMilliSecond();
                wrong += value < ownMilli || us < ownMicro || value < us / 1000;
                ownMicro = us, ownMilli = value;
                const long long before = unixNow();
                const SystemTimeEx ex = CTime::getCurrentTimeEx();
                const CTime now = n % 2 ? CTime::getCurrentTime() : CTime::getCurTimeForPrint();
                const long long utc = static_cast<long long>(
                    n % 2 ? CTime::getCurrentUTCtime() : CTime::getCurrentUTCMilliSecond() / 1000);
                const long long after = unixNow();
                wrong += utc < before || utc > after;
                wrong += ex.millisecond < 0 || ex.millisecond > 999 || now.isdst != -1 ||
                         (ex.reserved[0] | ex.reserved[1] | ex.reserved[2] | ex.reserved[3]);
#if !defined(_WIN32)  // the system's local clock does not follow TZ on Windows
                const std::string got =
                    show({ex.year, ex.month, ex.day, ex.wday, ex.hour, ex.minute, ex.second, 0});
                wrong += (got != cSplit(before, false) && got != cSplit(after, false)) ||
                         (show(now) != cSplit(before, false) && show(now) != cSplit(after, false));
#endif
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

namespace {

const char kDefault[] = "yyyy-MM-dd HH:mm:ss";

struct Settings {  // order -1: no known order
    int order, separator, twelve;
};

// The settings a picture implies, as the format string derives them.
Settings settingsOf(const std::string& p) {
    const std::size_t y = std::min(p.find('y'), p.size()), m = std::min(p.find('M'), p.size()),
                      d = std::min(p.find('d'), p.size());
    const int order = (y < m && m < d) ? 0 : (m < d && d < y) ? 1 : (d < m && m < y) ? 2 : -1;
    const int sep = p.find('.') != p.npos ? '.' : p.find('/') != p.npos ? '/' : '-';
    return Settings{order, sep, p.find('h') != p.npos};
}

std::string digits(long long v, bool wide) {  // modulo 100, one digit when it can
    v = (v % 100 + 100) % 100;
    return (wide || v >= 10) ? std::string{char('0' + v / 10), char('0' + v % 10)}
                             : std::string(1, char('0' + v));
}

// The picture rules written plainly over std::string.
std::string model(const CTime& t, const std::string& p, int mask, Settings s) {
    const Settings own = settingsOf(p);
    const int order = (mask & CTime::orderFromFormat) ? std::max(own.order, 0) : s.order;
    const bool twelve = (mask & CTime::hourModeFromFormat) ? own.twelve : s.twelve;
    const auto count = [&](char c) { return std::count(p.begin(), p.end(), c); };
    const long long y = (t.year % 10000 + 10000) % 10000;
    const std::string year = count('y') > 2   ? digits(y / 100, true) + digits(y, true)
                             : count('y') > 0 ? digits(y, true)
                                              : "";
    const std::string month = count('M') ? digits(t.month, count('M') > 1) : "";
    const std::string day = count('d') ? digits(t.day, count('d') > 1) : "";
    std::vector<std::string> pieces = {year, month, day};
    std::rotate(pieces.begin(), pieces.begin() + (order == 1), pieces.end());  // mdy
    std::swap(pieces[0], pieces[order == 2 ? 2 : 0]);                          // dmy
    pieces.erase(std::remove(pieces.begin(), pieces.end(), ""), pieces.end());
    const int hour = !twelve ? t.hour : t.hour > 12 ? t.hour - 12 : t.hour == 0 ? 12 : t.hour;
    std::string out;
    std::size_t runs = 0;
    for (std::size_t i = 0, j = 0; i < p.size(); i = j) {
        const char c = p[i];
        const auto same = [c](char x) { return x == c || ((c | 32) == 'h' && (x | 32) == 'h'); };
        for (j = i + 1; j < p.size() && same(p[j]); ++j) {
        }
        if (c == '-' || c == '.' || c == '/') {
            out += (mask & CTime::keepSeparator) ? c : s.separator;
            j = i + 1;
        } else if ((c | 32) == 'h' || c == 'm' || c == 's') {
            out += digits(c == 'm' ? t.minute : c == 's' ? t.second : hour, j - i > 1);
        } else if (c == 'y' || c == 'M' || c == 'd') {
            out += runs < pieces.size() ? pieces[runs] : "";
            ++runs;
        } else if (c == 't' && twelve) {
            out += t.hour >= 12 ? "PM" : "AM";
        } else if (c == 't') {
            out.erase(out.find_last_not_of(" \t") + 1);
        } else {
            out += c;
            j = i + 1;
        }
    }
    return out;
}

std::string formatted(const CTime& t, const char* picture, int mask) {
    char buffer[512];
    t.format(buffer, picture, mask);
    return buffer;
}

CTime randomTime(std::mt19937& rng, bool wild) {  // wild: fields written modulo their width
    const int r[6] = {int(rng() % 69), int(rng() % 12), int(rng() % 31),
                      int(rng() % 24), int(rng() % 60), int(rng() % 60)};
    CTime t(1970 + r[0], 1 + r[1], 1 + r[2], r[3], r[4], r[5]);
    const auto w = [&rng] { return int(rng() % 200000) - 100000; };
    if (wild) {
        t.year = w(), t.month = w(), t.day = w(), t.minute = w(), t.second = w();
    }
    return t;
}

class TimeText : public ::testing::Test {
    void TearDown() override { CTime::setFormatString(kDefault); }
};

}  // namespace

// Pictures used again and again (so kept prepared per thread), prefixes of one another, more of
// them than are kept, under every mask and changing process-wide settings; both forms.
TEST_F(TimeText, FormatMatchesTheModelForPicturesUsedRepeatedly) {
    // clang-format off
    const std::vector<std::string> pictures = {kDefault, "yyyy-MM-dd HH:mm:s", "HH:mm tt", "dd",
        "MM/dd/yyyy hh:mm:ss tt", "MM/dd/yyyy hh:mm:ss t", "HH:mm t", "yyyy-M-dd HH", "yyyyMd",
        "yyyy-MM-d HH", "yyyy-MM-yy|", "dd.MM.yy h:m:s", "yy/M/d H:m:s", "", "y-M-d", "MM-yyyy",
        "HH \t  tt|", "hh:mm:ss tt x", "yyyy-MM-dd HH:mm:ss tt | yyyy-MM-dd HH:mm:ss tt | t"};
    const std::vector<std::string> formats = {kDefault, "MM/dd/yyyy hh:mm:ss tt", "dd",
        "dd.MM/yyyy hh:mm", "HH:mm", "y-M-d", "MM", "d-M", "yyyy-dd-MM", ""};
    // clang-format on
    std::thread([&] {  // a thread of its own: no pictures kept from other tests
        std::mt19937 rng(5);
        Settings s = settingsOf(kDefault);
        for (int i = 0; i < 30000; ++i) {
            if (i % 500 == 0) {  // the settings a format implies, and its messages
                LogCapture log;
                const std::string f = formats[(i / 500) % formats.size()];
                CTime::setFormatString(f.c_str());
                s = settingsOf(f);
                ASSERT_EQ(
                    log.contains("setFormat dateFormat is invalid,set default separator: ymd \n"),
                    s.order < 0);
                ASSERT_EQ(
                    log.contains("setFormat separator is invalid,set default separator: - \n"),
                    f.find_first_of("-./") == f.npos);
                s.order = std::max(s.order, 0);
                ASSERT_EQ(CTime::getFormat(), flex_string(f.c_str()));
                ASSERT_EQ(
                    CTime::getDateFormat() + 4 * CTime::get12Hour() + 8 * CTime::getSeparator(),
                    s.order + 4 * s.twelve + 8 * s.separator)
                    << f;
            }
            const std::string& p = pictures[rng() % pictures.size()];
            for (int repeat = int(rng() % 4); repeat >= 0; --repeat) {
                const CTime t = randomTime(rng, i % 10 == 0);
                const int mask = int(rng() % 8);
                const std::string want = model(t, p, mask, s);
                LogCapture log;
                ASSERT_EQ(formatted(t, p.c_str(), mask), want) << p << " mask " << mask;
                // Only a picture of no known date order that is to give the order is reported.
                ASSERT_EQ(log.contains("dateFormat is invalid,set default separator: ymd \n"),
                          (mask & CTime::orderFromFormat) && settingsOf(p).order < 0);
                const std::size_t size = rng() % (want.size() + 3);
                std::vector<char> buffer(size + 4, '#');
                ASSERT_EQ(t.format(buffer.data(), size, p.c_str(), mask), size > want.size());
                ASSERT_EQ(std::string(buffer.begin() + long(size), buffer.end()), "####");
                ASSERT_TRUE(size == 0 || buffer.data() == want.substr(0, size - 1)) << p << size;
            }
        }
    })
        .join();
}

namespace {

const char* const kParseErrors[] = {
    "", "CTime parser input information is not enough.\n",
    "CTime parser input hour format is not accord with real value format.\n",
    "12 hours time point is unclear.\n"};

// The reading rules written plainly: six numbers, the picture's date order, AM/PM. Returns the
// index of the error in kParseErrors.
int modelParse(const std::string& text, const std::string& picture, CTime& t) {
    long long n[6] = {};
    int count = 0;
    for (std::size_t pos = 0; count < 6 && pos < text.size(); ++count) {
        for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
            n[count] = std::min<long long>(n[count] * 10 + (text[pos] - '0'), INT_MAX);
        }
        pos = std::min(text.find_first_of("0123456789", pos), text.size());
    }
    const Settings s = settingsOf(picture);
    long long hour = n[3];
    const bool pm = text.find("PM") != std::string::npos, am = text.find("AM") != std::string::npos;
    const int error = count < 6 ? 1 : !s.twelve ? 0 : hour >= 13 ? 2 : (!pm && !am) ? 3 : 0;
    if (error != 0) {
        t.year = t.month = t.day = t.hour = t.minute = t.second = 0;
        return error;
    }
    hour = !s.twelve ? hour : pm ? (hour == 12 ? 12 : hour + 12) : (hour == 12 ? 0 : hour);
    const int at[3][3] = {{0, 1, 2}, {2, 0, 1}, {2, 1, 0}}, isdst = t.isdst;
    int f[3] = {t.year, t.month, t.day};
    for (int k = 0; k < 3 && s.order >= 0; ++k) {
        f[k] = int(n[at[s.order][k]]);
    }
    t = CTime(f[0], f[1], f[2], int(hour), int(n[4]), int(n[5]));
    t.isdst = isdst;
    return 0;
}

std::string randomText(std::mt19937& rng) {
    const std::string tokens[] = {"-", ":", " ", "/", "T", "AM", "PM", "am", "x", {'\0'}};
    std::string text;
    // The default picture's layout, a separator now and then a digit, something after it.
    for (const char c : std::string(rng() % 2 ? "dddd?dd?dd?dd?dd?dd" : "")) {
        text += c == 'd' || rng() % 8 == 0 ? char('0' + rng() % 10) : "-: /"[rng() % 4];
    }
    if (!text.empty()) {
        return text + std::vector<std::string>{"", "", "5", " PM", " AM", "x"}[rng() % 6];
    }
    for (int k = int(rng() % 10); k > 0; --k) {  // numbers like fields, years or too large
        const unsigned long long n[] = {rng() % 60, 1960 + rng() % 90, rng() % 30000000000ULL};
        text += (rng() % 5 ? std::to_string(n[rng() % 3]) : "") + tokens[rng() % 10];
    }
    return text;
}

}  // namespace

TEST(TimeTextParse, ParseMatchesTheModelOnRandomTexts) {
    std::vector<std::string> pictures = {
        "MM/dd/yyyy hh:mm:ss tt", "dd.MM.yyyy HH:mm:ss", "HH:mm:ss", "", "y M", "M d y", "hh", ""};
    std::thread([&] {
        std::mt19937 rng(11);
        pictures.back() = kDefault;
        for (int i = 0; i < 40000; ++i) {
            const std::string text = randomText(rng);
            const std::string& picture = pictures[rng() % pictures.size()];
            // Only the given length is read: digits past it do not count.
            const std::size_t length = rng() % 4 ? text.size() : rng() % (text.size() + 1);
            CTime got(1970 + int(rng() % 69), 1 + int(rng() % 12), 1 + int(rng() % 31), 0, 0, 0);
            CTime want = got;
            got.isdst = want.isdst = int(rng() % 3) - 1;
            LogCapture log;
            const int error = modelParse(text.substr(0, length), picture, want);
            ASSERT_EQ(got.parse(text.data(), length, picture.c_str(), 0), error == 0) << text;
            ASSERT_TRUE(error ? log.contains(kParseErrors[error]) && log.contains("this:")
                              : log.text().empty());
            ASSERT_TRUE(got == want && got.wday == want.wday && got.isdst == want.isdst)
                << '"' << text.substr(0, length) << "\" by " << picture;
        }
    }).join();
}

TEST_F(TimeText, OddCasesAndArgumentsThatAreNotFollowed) {
    CTime t;
    ASSERT_TRUE(t.parse("PM1 2 3 4 5 6", "hh", 0));  // a marker at the very start counts
    EXPECT_EQ(t.hour, 15);
    EXPECT_FALSE(t.parse(nullptr, kDefault, 0));
    ASSERT_TRUE(t.parse("1 2 3 4 5 6", nullptr, 0));  // no date order: the cleared date stays
    EXPECT_TRUE(t == CTime(1970, 1, 1, 4, 5, 6));
    LogCapture log;
    char buffer[8] = "xxxxxxx";
    t.format(nullptr, kDefault, 0);
    t.format(buffer, nullptr, 0);
    EXPECT_TRUE(log.contains("tid:") && log.contains("buf is NULL!!\n") &&
                log.contains("format is NULL!!\n") && buffer[0] == '\0');
    EXPECT_FALSE(t.format(nullptr, 10, kDefault, 0) || t.format(buffer, 0, kDefault, 0) ||
                 t.format(buffer, sizeof buffer, nullptr, 0));
    CTime::setFormatString(nullptr);
    EXPECT_EQ(CTime::getFormat(), flex_string(""));
}
