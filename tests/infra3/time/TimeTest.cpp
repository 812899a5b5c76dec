// Calendar time: clamping, conversions and arithmetic against the C library's UTC functions, the
// zone offset, comparisons and the system clocks.
#include "infra/Time.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace Tovix::Infra;

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
    return std::to_string(y) + "-" + std::to_string(mo) + "-" + std::to_string(d) + " w" +
           std::to_string(w) + " " + std::to_string(h) + ":" + std::to_string(mi) + ":" +
           std::to_string(s);
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

long long realSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

TEST(TimeValue, ConstantsAndTheEmptyValue) {
    for (const CTime* t : {&CTime::minTime, &g_minAtStartup}) {
        EXPECT_EQ(show(*t) + " " + std::to_string(t->isdst), "2000-1-1 w6 0:0:0 -1");
    }
    for (const CTime* t : {&CTime::maxTime, &g_maxAtStartup}) {
        EXPECT_EQ(show(*t) + " " + std::to_string(t->isdst), "2038-1-1 w5 0:0:0 -1");
    }
    constexpr CTime leapDay(2012, 2, 29, 12, 0, 0);
    static_assert(leapDay.day == 29 && leapDay.wday == 3, "usable in constant expressions");
    EXPECT_EQ(show(CTime()) + " " + std::to_string(CTime().isdst), "0-0-0 w0 0:0:0 -1");
}

// Any fields give a valid date, each field clamped into its range, that timegm agrees with.
TEST(TimeValue, FieldsAreClampedIntoTheSupportedRange) {
    EXPECT_EQ(show(CTime(2013, 2, 29, 0, 0, 0)), "2013-2-28 w4 0:0:0");
    EXPECT_EQ(show(CTime(2012, 2, 29, 0, 0, 0)), "2012-2-29 w3 0:0:0");
    EXPECT_EQ(show(CTime(1969, 0, 0, 25, 70, 70)), "1970-1-1 w4 23:59:59");
    EXPECT_EQ(show(CTime(2040, 2, 29, 0, 0, 0)), "2038-2-28 w0 0:0:0");
    std::mt19937 rng(20130229);
    std::uniform_int_distribution<int> year(1960, 2050), small(-3, 70), wide(INT_MIN, INT_MAX);
    for (int i = 0; i < 20000; ++i) {
        int f[6] = {year(rng),       small(rng) % 15, small(rng) - 3,
                    small(rng) % 27, small(rng),      small(rng)};
        for (int k = 0; i % 10 == 0 && k < 6; ++k) {
            f[k] = wide(rng);
        }
        const CTime t(f[0], f[1], f[2], f[3], f[4], f[5]);
        const int y = std::clamp(f[0], 1970, 2038), m = std::clamp(f[1], 1, 12);
        const long long next = timegmOf(y, m + 1, 1, 0, 0, 0);
        const int length = (next - timegmOf(y, m, 1, 0, 0, 0)) / 86400;
        const bool late = f[3] > 23;
        const long long s =
            timegmOf(y, m, std::clamp(f[2], 1, length), std::clamp(f[3], 0, 23),
                     late ? 59 : std::clamp(f[4], 0, 59), late ? 59 : std::clamp(f[5], 0, 59));
        ASSERT_EQ(show(t), cSplit(s)) << f[0] << ' ' << f[1] << ' ' << f[2] << ' ' << f[3];
        ASSERT_EQ(CTime::timeToSeconds(SystemTime{f[0], f[1], f[2], 0, f[3], f[4], f[5], 0}),
                  static_cast<unsigned long long>(s));
        ASSERT_EQ(t.isdst, -1);
    }
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
    // Every day up to 2200, and every second of the days where the split changes method.
    for (long long day = 0; day <= 84000; ++day) {
        const long long s = day * 86400 + (day * 7919) % 86400;
        ASSERT_EQ(show(CTime(static_cast<unsigned long long>(s), false)), cSplit(s));
    }
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
        CTime in = ta;
        ASSERT_EQ(&(in += b - a), &in);
        ASSERT_EQ(show(in) + std::to_string(in.isdst), cSplit(b) + "1");  // isdst kept in place
        ASSERT_EQ(&(in -= b - a), &in);
        ASSERT_EQ(show(in) + std::to_string(in.isdst), cSplit(a) + "1");
        // Order by the date and time fields only: wday and isdst take no part.
        tb.wday = (tb.wday + 3) % 7;
        ASSERT_EQ((tb > ta) + 2 * (tb >= ta) + 4 * (tb < ta) + 8 * (tb <= ta) + 16 * (tb == ta) +
                      32 * (tb != ta),
                  a == b  ? 2 + 8 + 16
                  : a < b ? 1 + 2 + 32
                          : 4 + 8 + 32);
    }
    // Below 1970 the unsigned count wraps to a far date, its fields in range.
    EXPECT_EQ(CTime(1970, 1, 1, 0, 0, 0) - 1, CTime(~0ULL, false));
    for (long long delta : {LLONG_MAX, LLONG_MIN}) {
        CTime in = CTime::minTime;
        in -= delta;
        EXPECT_TRUE(in == CTime::minTime - delta && in.month >= 1 && in.day >= 1);
    }
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
    std::mt19937_64 rng(1234);
    std::uniform_int_distribution<long long> seconds(86400, kEndOf2038);
    for (bool disabled : {false, true}) {
        Detail::setTimezoneDisabled(disabled);
        const long long offset = disabled ? 0 : kZoneOffset;
        EXPECT_EQ(CTime::getTimeZone(), offset);
        for (int i = 0; i < 2000; ++i) {
            const unsigned long long u = static_cast<unsigned long long>(seconds(rng));
            CTime local(2001, 1, 1, 0, 0, 0), kept = local;
            kept.isdst = 1;
            kept.breakTime(u);
            ASSERT_EQ(show(CTime(u)) + show(CTime(u, true)) + show(kept) + show(CTime(u, false)),
                      cSplit(u - offset) + cSplit(u - offset) + cSplit(u - offset) + cSplit(u));
            ASSERT_TRUE(kept.isdst == 1 && kept.makeTime() == u);
        }
    }
    Detail::setTimezoneDisabled(false);
}

// The local clock against the C library's local split of the real-time clock, on several threads
// while the clock's second changes at least twice.
TEST(TimeNow, LocalTimeIsTheSystemsOnEveryThread) {
#if defined(_WIN32)
    GTEST_SKIP() << "the system's local clock does not follow TZ on Windows";
#endif
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    const long long start = realSeconds();
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&] {
            for (int n = 0; n < 500 || realSeconds() < start + 2; ++n) {
                std::this_thread::sleep_for(std::chrono::microseconds(n % 3 ? 0 : 1000));
                const long long before = realSeconds();
                const SystemTimeEx ex = CTime::getCurrentTimeEx();
                const CTime now = n % 2 ? CTime::getCurrentTime() : CTime::getCurTimeForPrint();
                const long long after = realSeconds();
                const std::string got =
                    show(ex.year, ex.month, ex.day, ex.wday, ex.hour, ex.minute, ex.second);
                const bool seen = got == cSplit(before, false) || got == cSplit(after, false);
                const bool seenNow =
                    show(now) == cSplit(before, false) || show(now) == cSplit(after, false);
                mismatches += !seen || !seenNow || ex.millisecond < 0 || ex.millisecond > 999 ||
                              now.isdst != -1 || ex.reserved[0] || ex.reserved[1] ||
                              ex.reserved[2] || ex.reserved[3];
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(TimeNow, UtcFollowsTheRealTimeClock) {
    const long long before = realSeconds();
    const unsigned long long utc = CTime::getCurrentUTCtime();
    const unsigned long long utcMs = CTime::getCurrentUTCMilliSecond();
    const long long after = realSeconds();
    ASSERT_LE(after, kEndOf2038) << "the clamped range no longer covers the present";
    EXPECT_TRUE(utc >= static_cast<unsigned long long>(before) &&
                utc <= static_cast<unsigned long long>(after));
    EXPECT_TRUE(utcMs >= utc * 1000 && utcMs < static_cast<unsigned long long>(after + 1) * 1000);
}

TEST(TimeNow, MonotonicCountersNeverGoBackOnAnyThread) {
    const unsigned long long micro = CTime::getCurrentMicroSecond();
    const unsigned long long milli = CTime::getCurrentMilliSecond();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_GE(CTime::getCurrentMicroSecond() - micro, 30000ULL);
    EXPECT_GE(CTime::getCurrentMilliSecond() - milli, 29ULL);
    // A value one thread publishes happens before the next call of any thread that reads it.
    std::atomic<unsigned long long> published{0};
    std::atomic<int> regressions{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            for (unsigned long long n = 0, ownMicro = 0; n < 50000; ++n) {
                const unsigned long long seen = published.load();
                const unsigned long long us = CTime::getCurrentMicroSecond();
                const unsigned long long value = CTime::getCurrentMilliSecond();
                regressions += value < seen || us < ownMicro || value < us / 1000;
                ownMicro = us;
                for (unsigned long long c = seen;
                     c < value && !published.compare_exchange_weak(c, value);) {
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(regressions.load(), 0);
}
