// Calendar time: clamping, conversions and arithmetic against the C library's UTC functions, the
// zone offset, comparisons and the system clocks; writing by pictures and reading back, each
// against a plain model of the picture rules, with the messages and the format settings.
#include "infra/Time.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cctype>
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

// A fixed zone 3 h 30 min west of Greenwich with daylight saving, whatever the machine's zone;
// set before main, before anything reads the zone.
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

std::string show(long long y, int mo, int d, int w, int h, int mi, int s) {
    char text[96];
    std::snprintf(text, sizeof text, "%lld-%d-%d w%d %d:%d:%d", y, mo, d, w, h, mi, s);
    return text;
}
std::string show(const SystemTime& t) {
    return show(t.year, t.month, t.day, t.wday, t.hour, t.minute, t.second);
}

// The C library's split of `seconds`, UTC or in the process zone, shown as above.
std::string cSplit(long long seconds, bool utc = true) {
    struct tm p = {};
#if defined(_WIN32)
    // The runtime splits up to the year 3000 only; the calendar repeats every 400 years.
    const long long cycle = 146097LL * 86400LL, n = seconds > 32535215999LL ? seconds / cycle : 0;
    const __time64_t t = seconds - n * cycle;
    EXPECT_EQ(utc ? _gmtime64_s(&p, &t) : _localtime64_s(&p, &t), 0) << seconds;
#else
    const long long n = 0;
    const time_t t = static_cast<time_t>(seconds);
    EXPECT_NE(utc ? gmtime_r(&t, &p) : localtime_r(&t, &p), nullptr) << seconds;
#endif
    return show(p.tm_year + 1900LL + n * 400, p.tm_mon + 1, p.tm_mday, p.tm_wday, p.tm_hour,
                p.tm_min, p.tm_sec);
}

long long unixNow() {  // not time(): that may lag the real-time clock by a tick
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

long long timegmOf(int year, int month, int day, int hour, int minute, int second) {
    struct tm p = {};
    p.tm_year = year - 1900, p.tm_mon = month - 1, p.tm_mday = day;
    p.tm_hour = hour, p.tm_min = minute, p.tm_sec = second;
#if defined(_WIN32)
    return _mkgmtime64(&p);
#else
    return timegm(&p);
#endif
}

}  // namespace

TEST(TimeValue, ConstantsEmptyValueAndClamping) {
    EXPECT_EQ(
        show(CTime::minTime) + show(g_minAtStartup) + show(CTime::maxTime) + show(g_maxAtStartup),
        "2000-1-1 w6 0:0:02000-1-1 w6 0:0:02038-1-1 w5 0:0:02038-1-1 w5 0:0:0");
    constexpr CTime leapDay(2012, 2, 29, 12, 0, 0);
    static_assert(leapDay.day == 29 && leapDay.wday == 3, "usable in constant expressions");
    EXPECT_EQ(show(CTime()) + std::to_string(CTime().isdst + CTime::minTime.isdst),
              "0-0-0 w0 0:0:0-2");
    // Each field is clamped into its range; the year first, so 2040-02-29 is not kept.
    EXPECT_EQ(show(CTime(2013, 2, 29, 0, 0, 0)), "2013-2-28 w4 0:0:0");
    EXPECT_EQ(show(CTime(1969, 0, 0, 25, 70, 70)), "1970-1-1 w4 23:59:59");
    EXPECT_EQ(show(CTime(2040, 2, 29, -1, 60, -1)), "2038-2-28 w0 0:59:0");
    EXPECT_EQ(show(CTime(INT_MAX, INT_MIN, INT_MAX, 23, INT_MAX, INT_MIN)), "2038-1-31 w0 23:59:0");
    EXPECT_EQ(CTime::timeToSeconds(SystemTime{2012, 2, 30, 0, 24, 0, 0, 0}),
              timegmOf(2012, 2, 29, 23, 59, 59));
}

// Seconds to fields on random counts (far beyond 2038 too, where the split is not clamped) and
// back, against the C library.
TEST(TimeValue, ConversionsMatchTheCLibrary) {
    EXPECT_EQ(CTime::timeToSeconds(CTime(2000, 1, 1, 0, 0, 0)), 946684800ULL);
    std::mt19937_64 rng(42);
    std::uniform_int_distribution<long long> near(0, 1LL << 33), far(0, 60000000000000000LL);
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
        ASSERT_EQ(show(ta + (b - a)) + show(ta - (a - b)), cSplit(b) + cSplit(b));
        ASSERT_EQ((ta + 1).isdst + (ta - 1).isdst, -2);
        ASSERT_EQ(tb - ta, b - a);
        CTime in = ta;  // in place the daylight flag is kept
        ASSERT_EQ(show(in += b - a) + std::to_string(in.isdst), cSplit(b) + "1");
        ASSERT_EQ(show(in -= b - a) + std::to_string(in.isdst), cSplit(a) + "1");
        // Order by the date and time fields only: wday and isdst take no part.
        tb.wday = (tb.wday + 3) % 7;
        ASSERT_EQ((tb > ta) + 2 * (tb >= ta) + 4 * (tb < ta) + 8 * (tb <= ta) + 16 * (tb == ta) +
                      32 * (tb != ta),
                  a == b  ? 2 + 8 + 16
                  : a < b ? 1 + 2 + 32
                          : 4 + 8 + 32);
    }
    // Below 1970 the unsigned count wraps to a far date.
    EXPECT_EQ(CTime(1970, 1, 1, 0, 0, 0) - 1, CTime(~0ULL, false));
    EXPECT_EQ(CTime(1970, 1, 1, 0, 0, 0) - LLONG_MIN, CTime(1ULL << 63, false));
}

// The zone offset: the process zone's standard offset, read again after TZ changes, applied by
// makeTime and breakTime only, and 0 while switched off.
TEST(TimeValue, ZoneOffsetFollowsTheProcessZone) {
    ASSERT_TRUE(g_zoneSet);
    EXPECT_EQ(CTime::getTimeZone(), kZoneOffset);
    ASSERT_TRUE(useZone(kZones[1]));
    const long east = CTime::getTimeZone();
    const unsigned long long made = CTime(2020, 1, 1, 5, 45, 0).makeTime();
    ASSERT_TRUE(useZone(kZones[0]));
    EXPECT_EQ(east, -(5 * 3600 + 45 * 60));
    EXPECT_EQ(made, 1577836800ULL);
    for (const long long offset : {kZoneOffset, 0}) {  // then with the zone switched off
        Detail::setTimezoneDisabled(offset == 0);
        EXPECT_EQ(CTime::getTimeZone(), offset);
        for (unsigned long long u = 86400; u < kEndOf2038; u += 86400 * 7 + 3607) {
            CTime kept(2001, 1, 1, 0, 0, 0);
            kept.isdst = 1;
            kept.breakTime(u);
            ASSERT_EQ(show(CTime(u)) + show(kept) + show(CTime(u, false)) +
                          std::to_string(kept.makeTime()),
                      cSplit(u - offset) + cSplit(u - offset) + cSplit(u) + std::to_string(u));
            ASSERT_TRUE(kept.isdst == 1 && CTime(u, true) == kept);
        }
    }
    Detail::setTimezoneDisabled(false);
}

// The clocks on several threads while the real-time clock's second changes at least twice: the
// local time against the C library's local split, UTC, and counters that never go back (a value
// one thread publishes happens before the next call of any thread that reads it).
TEST(TimeNow, ClocksFollowTheSystemOnEveryThread) {
    const unsigned long long micro = CTime::getCurrentMicroSecond();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_GE(CTime::getCurrentMilliSecond() - micro / 1000, 29ULL);
    std::atomic<unsigned long long> published{0};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    const long long start = unixNow();
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&] {
            for (unsigned long long n = 0, ownMicro = 0; n < 20000 || unixNow() < start + 2; ++n) {
                const unsigned long long seen = published.load(),
                                         us = CTime::getCurrentMicroSecond();
                const unsigned long long value = CTime::getCurrentMilliSecond();
                wrong += value < seen || us < ownMicro || value < us / 1000;
                ownMicro = us;
                for (unsigned long long c = seen;
                     c < value && !published.compare_exchange_weak(c, value);) {
                }
                const long long before = unixNow();
                const SystemTimeEx ex = CTime::getCurrentTimeEx();
                const CTime now = n % 2 ? CTime::getCurrentTime() : CTime::getCurTimeForPrint();
                const unsigned long long utc =
                    n % 2 ? CTime::getCurrentUTCtime() : CTime::getCurrentUTCMilliSecond() / 1000;
                const long long after = unixNow();
                wrong += utc < static_cast<unsigned long long>(before) ||
                         utc > static_cast<unsigned long long>(after);
                wrong += ex.millisecond < 0 || ex.millisecond > 999 || now.isdst != -1 ||
                         (ex.reserved[0] | ex.reserved[1] | ex.reserved[2] | ex.reserved[3]);
#if !defined(_WIN32)  // the system's local clock does not follow TZ on Windows
                const std::string got =
                    show(ex.year, ex.month, ex.day, ex.wday, ex.hour, ex.minute, ex.second);
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
    EXPECT_LE(unixNow(), kEndOf2038) << "the clamped range no longer covers the present";
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
protected:
    void TearDown() override { CTime::setFormatString(kDefault); }
};

}  // namespace

// Pictures used again and again (so kept prepared per thread), prefixes of one another, more of
// them than are kept, under every mask and changing process-wide settings; both forms.
TEST_F(TimeText, FormatMatchesTheModelForPicturesUsedRepeatedly) {
    // clang-format off
    const std::vector<std::string> pictures = {kDefault, "yyyy-MM-dd HH:mm:s",
        "MM/dd/yyyy hh:mm:ss tt", "MM/dd/yyyy hh:mm:ss t", "HH:mm tt", "HH:mm t", "yyyy-M-dd HH",
        "yyyy-MM-d HH", "yyyyMd", "yyyy-MM-yy|", "dd", "dd.MM.yy h:m:s", "yy/M/d H:m:s", "", "y-M-d",
        "HH \t  tt|", "MM-yyyy", "hh:mm:ss tt x", "yyyy-MM-dd HH:mm:ss tt | yyyy-MM-dd HH:mm:ss tt | t"};
    const std::vector<std::string> formats = {kDefault, "MM/dd/yyyy hh:mm:ss tt", "dd.MM/yyyy hh:mm",
        "HH:mm", "y-M-d", "MM", "dd", "d-M", "yyyy-dd-MM", ""};
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
                ASSERT_EQ(log.contains("setFormat dateFormat is invalid"), s.order < 0);
                ASSERT_EQ(log.contains("setFormat separator is invalid"),
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
                if (size > 0) {
                    ASSERT_EQ(buffer.data(), want.substr(0, size - 1)) << p << " size " << size;
                }
            }
        }
    })
        .join();
}

TEST_F(TimeText, ArgumentsThatAreNotFollowedAndTheFormatsOwnForms) {
    const CTime pm(2013, 5, 7, 15, 3, 4);
    LogCapture log;
    char buffer[8] = "xxxxxxx";
    pm.format(nullptr, kDefault, 0);
    pm.format(buffer, nullptr, 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_TRUE(log.contains("tid:") && log.contains("buf is NULL!!\n") &&
                log.contains("format is NULL!!\n"))
        << log.text();
    EXPECT_FALSE(pm.format(nullptr, 10, kDefault, 0) || pm.format(buffer, 0, kDefault, 0) ||
                 pm.format(buffer, sizeof buffer, nullptr, 0));
    CTime::setFormatString(nullptr);
    EXPECT_EQ(CTime::getFormat(), flex_string(""));
    CTime::setFormat(flex_string("MM/dd/yyyy hh:mm:ss"));
    EXPECT_EQ(formatted(pm, kDefault, 0), "05/07/2013 03:03:04");
}

namespace {

// The reading rules written plainly: six numbers, the picture's date order, AM/PM.
bool modelParse(const std::string& text, const std::string& picture, CTime& t) {
    long long n[6] = {};
    int count = 0;
    for (std::size_t pos = 0; count < 6 && pos < text.size(); ++count) {
        for (; pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])); ++pos) {
            n[count] = std::min<long long>(n[count] * 10 + (text[pos] - '0'), INT_MAX);
        }
        pos = std::min(text.find_first_of("0123456789", pos), text.size());
    }
    const Settings s = settingsOf(picture);
    long long hour = n[3];
    const bool pm = text.find("PM") != std::string::npos, am = text.find("AM") != std::string::npos;
    if (count < 6 || (s.twelve && (hour >= 13 || (!pm && !am)))) {
        t.year = t.month = t.day = t.hour = t.minute = t.second = 0;
        return false;
    }
    if (s.twelve) {
        hour = pm ? (hour == 12 ? 12 : hour + 12) : (hour == 12 ? 0 : hour);
    }
    const int at[3][3] = {{0, 1, 2}, {2, 0, 1}, {2, 1, 0}}, isdst = t.isdst;
    int f[3] = {t.year, t.month, t.day};
    for (int k = 0; k < 3 && s.order >= 0; ++k) {
        f[k] = int(n[at[s.order][k]]);
    }
    t = CTime(f[0], f[1], f[2], int(hour), int(n[4]), int(n[5]));
    t.isdst = isdst;
    return true;
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
    for (int k = int(rng() % 12); k > 0; --k) {
        text += rng() % 2 ? std::to_string(rng() % (rng() % 3 ? 60 : 30000000000ULL))
                          : tokens[rng() % 10];
    }
    return text;
}

}  // namespace

TEST(TimeTextParse, ParseMatchesTheModelOnRandomTexts) {
    std::vector<std::string> pictures = {
        "MM/dd/yyyy hh:mm:ss tt", "dd.MM.yyyy HH:mm:ss", "HH:mm:ss", "", "y M", "M d y", "hh", ""};
    LogCapture quiet;
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
            const bool ok = modelParse(text.substr(0, length), picture, want);
            ASSERT_EQ(got.parse(text.data(), length, picture.c_str(), 0), ok) << text;
            ASSERT_TRUE(got == want && got.wday == want.wday && got.isdst == want.isdst)
                << '"' << text.substr(0, length) << "\" by " << picture;
        }
    }).join();
}

TEST(TimeTextParse, DocumentedCasesAndMessages) {
    CTime t;
    ASSERT_TRUE(t.parse("PM1 2 3 4 5 6", "hh", 0));  // a marker at the very start counts
    EXPECT_EQ(t.hour, 15);
    ASSERT_TRUE(t.parse("1 2 3 4 5 6", nullptr, 0));  // no picture: no date order
    EXPECT_TRUE(t == CTime(1970, 1, 1, 4, 5, 6));
    LogCapture log;
    t.isdst = 1;
    EXPECT_FALSE(t.parse("2013-05-07 15:03", kDefault, 0) || t.parse(nullptr, kDefault, 0));
    EXPECT_TRUE(t.year == 0 && t.month == 0 && t.day == 0 && t.hour == 0 && t.isdst == 1);
    EXPECT_TRUE(log.contains("this:") && log.contains("input information is not enough.\n"));
    EXPECT_FALSE(t.parse("05/07/2013 13:03:04 PM", "MM/dd/yyyy hh:mm:ss tt", 0));
    EXPECT_TRUE(
        log.contains("CTime parser input hour format is not accord with real value format.\n"));
    EXPECT_FALSE(t.parse("05/07/2013 03:03:04", "MM/dd/yyyy hh:mm:ss tt", 0));
    EXPECT_TRUE(log.contains("12 hours time point is unclear.\n"));
}
