// Calendar time: layout, clamping, conversions against the C library's UTC functions, zone
// offset, arithmetic, comparisons and the system clocks.
#include "infra/Time.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <random>
#include <thread>
#include <type_traits>
#include <vector>

using namespace Tovix::Infra;

namespace {

// A fixed zone for this process, 3 h 30 min west of Greenwich with daylight saving, so that zone
// handling is exercised whatever the machine's zone is. Set before main, before anything reads
// the zone.
constexpr int kTestZoneOffset = 3 * 3600 + 30 * 60;
#if defined(_WIN32)
// The Windows runtime reads only "XXX[+|-]hh[:mm[:ss]][YYY]" from TZ and applies the US
// daylight-saving rule, the same rule the POSIX value below spells out.
const char kTestZone[] = "ABC3:30DEF";
const char kEastZone[] = "NPT-5:45";  // 5 h 45 min east, no daylight saving

bool useZone(const char* zone) {
    const bool set = _putenv_s("TZ", zone) == 0;
    _tzset();
    return set;
}

long runtimeZoneOffset() {
    return _timezone;
}
#else
const char kTestZone[] = "<-0330>3:30<-0230>,M3.2.0,M11.1.0";
const char kEastZone[] = "<+0545>-5:45";  // 5 h 45 min east, no daylight saving

bool useZone(const char* zone) {
    const bool set = setenv("TZ", zone, 1) == 0;
    tzset();
    return set;
}

long runtimeZoneOffset() {
    return timezone;
}
#endif
const bool g_zoneSet = useZone(kTestZone);

// Copied by a dynamic initialiser of this program: the library's constants must already hold
// their values.
const CTime g_minTimeAtStartup = CTime::minTime;
const CTime g_maxTimeAtStartup = CTime::maxTime;

// Turns the zone offset off for one scope.
class ZoneDisabled {
public:
    ZoneDisabled() { Detail::setTimezoneDisabled(true); }
    ~ZoneDisabled() { Detail::setTimezoneDisabled(false); }
    ZoneDisabled(const ZoneDisabled&) = delete;
    ZoneDisabled& operator=(const ZoneDisabled&) = delete;
};

// The C library's UTC split of `seconds` (0 or more).
struct tm utcParts(long long seconds) {
    struct tm parts = {};
#if defined(_WIN32)
    // The runtime splits counts up to 3000-12-31 23:59:59 only. The Gregorian calendar repeats,
    // weekdays included, every 400 years (146097 days, a whole number of weeks), so a later count
    // is moved back by whole cycles and its year forward again.
    constexpr long long kLatestRuntimeSecond = 32535215999LL;
    constexpr long long kCycleSeconds = 146097LL * 86400LL;
    const long long cycles = seconds > kLatestRuntimeSecond ? seconds / kCycleSeconds : 0;
    const __time64_t t = static_cast<__time64_t>(seconds - cycles * kCycleSeconds);
    EXPECT_EQ(_gmtime64_s(&parts, &t), 0) << seconds;
    parts.tm_year += static_cast<int>(cycles * 400);
#else
    const time_t t = static_cast<time_t>(seconds);
    EXPECT_NE(gmtime_r(&t, &parts), nullptr) << seconds;
#endif
    return parts;
}

long long oracleSeconds(int year, int month, int day, int hour, int minute, int second) {
    struct tm parts = {};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
#if defined(_WIN32)
    return static_cast<long long>(_mkgmtime64(&parts));
#else
    return static_cast<long long>(timegm(&parts));
#endif
}

// The C library's local split of `seconds` in the process zone; false when it fails.
bool localParts(long long seconds, struct tm* parts) {
#if defined(_WIN32)
    const __time64_t t = static_cast<__time64_t>(seconds);
    return _localtime64_s(parts, &t) == 0;
#else
    const time_t t = static_cast<time_t>(seconds);
    return localtime_r(&t, parts) != nullptr;
#endif
}

// Fields of `time` equal the C library's split of `seconds`.
::testing::AssertionResult sameAsGmtime(const SystemTime& time, long long seconds) {
    const struct tm p = utcParts(seconds);
    const long long year = static_cast<long long>(p.tm_year) + 1900;
    if (time.year == year && time.month == p.tm_mon + 1 && time.day == p.tm_mday &&
        time.wday == p.tm_wday && time.hour == p.tm_hour && time.minute == p.tm_min &&
        time.second == p.tm_sec) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "seconds " << seconds << ": got " << time.year << '-' << time.month << '-' << time.day
           << " w" << time.wday << ' ' << time.hour << ':' << time.minute << ':' << time.second
           << ", expected " << year << '-' << p.tm_mon + 1 << '-' << p.tm_mday << " w" << p.tm_wday
           << ' ' << p.tm_hour << ':' << p.tm_min << ':' << p.tm_sec;
}

void expectFields(const SystemTime& t, int year, int month, int day, int hour, int minute,
                  int second) {
    EXPECT_EQ(t.year, year);
    EXPECT_EQ(t.month, month);
    EXPECT_EQ(t.day, day);
    EXPECT_EQ(t.hour, hour);
    EXPECT_EQ(t.minute, minute);
    EXPECT_EQ(t.second, second);
}

bool isValidDate(const SystemTime& t) {
    static const int kLength[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
    const int length = (t.month == 2 && leap)            ? 29
                       : (t.month >= 1 && t.month <= 12) ? kLength[t.month]
                                                         : 0;
    return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= length && t.hour >= 0 &&
           t.hour <= 23 && t.minute >= 0 && t.minute <= 59 && t.second >= 0 && t.second <= 59 &&
           t.wday >= 0 && t.wday <= 6;
}

long long realTimeSeconds() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec);
}

// Whether `ex` is the local time of some second in [from, to].
::testing::AssertionResult localTimeWithin(const SystemTimeEx& ex, long long from, long long to) {
    struct tm p = {};
    for (long long s = from; s <= to; ++s) {
        if (!localParts(s, &p)) {
            return ::testing::AssertionFailure() << "no local split of " << s;
        }
        if (ex.year == p.tm_year + 1900 && ex.month == p.tm_mon + 1 && ex.day == p.tm_mday &&
            ex.wday == p.tm_wday && ex.hour == p.tm_hour && ex.minute == p.tm_min &&
            ex.second == p.tm_sec) {
            return ::testing::AssertionSuccess();
        }
    }
    return ::testing::AssertionFailure()
           << "got " << ex.year << '-' << ex.month << '-' << ex.day << " w" << ex.wday << ' '
           << ex.hour << ':' << ex.minute << ':' << ex.second << ", local time of " << to << " is "
           << p.tm_year + 1900 << '-' << p.tm_mon + 1 << '-' << p.tm_mday << " w" << p.tm_wday
           << ' ' << p.tm_hour << ':' << p.tm_min << ':' << p.tm_sec;
}

constexpr long long kEndOf2038 = 2177452799LL;  // 2038-12-31 23:59:59 UTC

}  // namespace

// ---- Layout and constants -------------------------------------------------------------------

TEST(TimeLayout, RecordsAreFixedSizeIntegersInOrder) {
    static_assert(std::is_standard_layout<SystemTime>::value, "");
    static_assert(std::is_trivially_copyable<CTime>::value, "");
    static_assert(std::is_base_of<SystemTime, CTime>::value, "");
    static_assert(sizeof(int) == 4, "");
    static_assert(offsetof(SystemTime, year) == 0, "");
    static_assert(offsetof(SystemTime, wday) == 12, "");
    static_assert(offsetof(SystemTime, isdst) == 28, "");
    static_assert(offsetof(SystemTimeEx, millisecond) == 28, "");
    static_assert(offsetof(SystemTimeEx, reserved) == 32, "");
    static_assert(sizeof(CTime) == 32 && sizeof(SystemTimeEx) == 48, "");
    const CTime t;
    expectFields(t, 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(t.wday, 0);
    EXPECT_EQ(t.isdst, -1);
}

TEST(TimeLayout, ConstantsAreReadyForStaticInitialisers) {
    for (const CTime* t : {&CTime::minTime, &g_minTimeAtStartup}) {
        expectFields(*t, 2000, 1, 1, 0, 0, 0);
        EXPECT_EQ(t->wday, 6);
        EXPECT_EQ(t->isdst, -1);
    }
    for (const CTime* t : {&CTime::maxTime, &g_maxTimeAtStartup}) {
        expectFields(*t, 2038, 1, 1, 0, 0, 0);
        EXPECT_EQ(t->wday, 5);
        EXPECT_EQ(t->isdst, -1);
    }
    constexpr CTime leapDay(2012, 2, 29, 12, 0, 0);
    static_assert(leapDay.day == 29 && leapDay.wday == 3, "usable in constant expressions");
    EXPECT_EQ(CTime::timeToSeconds(CTime::minTime), 946684800ULL);
    EXPECT_EQ(CTime::timeToSeconds(CTime::maxTime), 2145916800ULL);
}

// ---- Clamping of the six fields --------------------------------------------------------------

TEST(TimeClamp, DocumentedEdgeCases) {
    expectFields(CTime(2013, 2, 29, 0, 0, 0), 2013, 2, 28, 0, 0, 0);
    expectFields(CTime(2012, 2, 29, 0, 0, 0), 2012, 2, 29, 0, 0, 0);
    expectFields(CTime(2000, 2, 29, 0, 0, 0), 2000, 2, 29, 0, 0, 0);
    expectFields(CTime(1969, 0, 0, 25, 70, 70), 1970, 1, 1, 23, 59, 59);
    EXPECT_EQ(CTime(1969, 0, 0, 25, 70, 70).wday, 4);
    EXPECT_EQ(CTime(1969, 0, 0, 25, 70, 70).isdst, -1);
}

TEST(TimeClamp, EachFieldIsClampedToItsRange) {
    expectFields(CTime(INT_MIN, 6, 15, 1, 2, 3), 1970, 6, 15, 1, 2, 3);
    expectFields(CTime(2039, 6, 15, 1, 2, 3), 2038, 6, 15, 1, 2, 3);
    expectFields(CTime(INT_MAX, INT_MAX, INT_MAX, INT_MAX, 0, 0), 2038, 12, 31, 23, 59, 59);
    expectFields(CTime(2010, -5, -5, -5, -5, -5), 2010, 1, 1, 0, 0, 0);
    expectFields(CTime(2010, 13, 1, 0, 0, 0), 2010, 12, 1, 0, 0, 0);
    expectFields(CTime(2010, 4, 31, 0, 0, 0), 2010, 4, 30, 0, 0, 0);
    expectFields(CTime(2010, 12, 32, 0, 0, 0), 2010, 12, 31, 0, 0, 0);
    expectFields(CTime(2010, 5, 5, 24, 0, 0), 2010, 5, 5, 23, 59, 59);
    expectFields(CTime(2010, 5, 5, 23, 60, 0), 2010, 5, 5, 23, 59, 0);
    expectFields(CTime(2010, 5, 5, 23, 0, 60), 2010, 5, 5, 23, 0, 59);
    // A day past the end of February is clamped to that February's real last day.
    expectFields(CTime(2012, 2, 30, 0, 0, 0), 2012, 2, 29, 0, 0, 0);
    expectFields(CTime(2011, 2, 31, 0, 0, 0), 2011, 2, 28, 0, 0, 0);
    // The year is clamped before the day: 29 February of a clamped common year is not kept.
    expectFields(CTime(2040, 2, 29, 0, 0, 0), 2038, 2, 28, 0, 0, 0);
}

TEST(TimeClamp, AnyFieldsGiveAValidDateThatTimeToSecondsAgreesWith) {
    std::mt19937 rng(20130229);
    std::uniform_int_distribution<int> wide(-100000, 100000);
    std::uniform_int_distribution<int> year(1960, 2050);
    std::uniform_int_distribution<int> small(-3, 70);
    for (int i = 0; i < 20000; ++i) {
        SystemTime raw = {year(rng),       small(rng) % 15, small(rng) - 3, 0,
                          small(rng) % 27, small(rng),      small(rng),     -1};
        if (i % 10 == 0) {
            raw = {wide(rng), wide(rng), wide(rng), 0, wide(rng), wide(rng), wide(rng), -1};
        }
        const CTime t(raw.year, raw.month, raw.day, raw.hour, raw.minute, raw.second);
        ASSERT_TRUE(isValidDate(t));
        ASSERT_GE(t.year, 1970);
        ASSERT_LE(t.year, 2038);
        const unsigned long long seconds = CTime::timeToSeconds(t);
        ASSERT_EQ(CTime::timeToSeconds(raw), seconds);
        ASSERT_LE(seconds, static_cast<unsigned long long>(kEndOf2038));
        ASSERT_TRUE(sameAsGmtime(t, static_cast<long long>(seconds)));
    }
}

// ---- Fields to seconds, seconds to fields, against the C library -----------------------------

TEST(TimeConvert, TimeToSecondsMatchesTimegmOnRandomDates) {
    EXPECT_EQ(CTime::timeToSeconds(CTime(1970, 1, 1, 0, 0, 0)), 0ULL);
    EXPECT_EQ(CTime::timeToSeconds(CTime(2000, 1, 1, 0, 0, 0)), 946684800ULL);
    EXPECT_EQ(CTime::timeToSeconds(CTime(2038, 12, 31, 23, 59, 59)),
              static_cast<unsigned long long>(kEndOf2038));
    std::mt19937_64 rng(42);
    std::uniform_int_distribution<long long> seconds(0, kEndOf2038);
    for (int i = 0; i < 100000; ++i) {
        const struct tm p = utcParts(seconds(rng));
        const SystemTime fields = {p.tm_year + 1900, p.tm_mon + 1, p.tm_mday, 0,
                                   p.tm_hour,        p.tm_min,     p.tm_sec,  -1};
        ASSERT_EQ(static_cast<long long>(CTime::timeToSeconds(fields)),
                  oracleSeconds(fields.year, fields.month, fields.day, fields.hour, fields.minute,
                                fields.second))
            << fields.year << '-' << fields.month << '-' << fields.day;
    }
}

TEST(TimeConvert, EveryDayBoundaryOfLeapAndCommonYears) {
    for (int year : {1970, 1972, 2000, 2012, 2013, 2016, 2037, 2038}) {
        for (int month = 1; month <= 12; ++month) {
            for (int day = 1; day <= 31; ++day) {
                const long long start = oracleSeconds(year, month, day, 0, 0, 0);
                const struct tm p = utcParts(start);
                if (p.tm_mon + 1 != month) {
                    continue;  // no such day in this month
                }
                const CTime first(year, month, day, 0, 0, 0);
                const CTime last(year, month, day, 23, 59, 59);
                ASSERT_EQ(static_cast<long long>(CTime::timeToSeconds(first)), start);
                ASSERT_EQ(static_cast<long long>(CTime::timeToSeconds(last)), start + 86399);
                ASSERT_EQ(first.wday, p.tm_wday);
                ASSERT_TRUE(
                    sameAsGmtime(CTime(static_cast<unsigned long long>(start), false), start));
                ASSERT_TRUE(sameAsGmtime(
                    CTime(static_cast<unsigned long long>(start + 86399), false), start + 86399));
                if (start > 0) {
                    ASSERT_TRUE(sameAsGmtime(
                        CTime(static_cast<unsigned long long>(start - 1), false), start - 1));
                }
            }
        }
    }
}

TEST(TimeConvert, SplitMatchesGmtimeOnEveryDayUpTo2199) {
    // The split is not clamped, and follows the Gregorian rule past 2099 (2100 is common).
    for (long long day = 0; day <= oracleSeconds(2200, 1, 1, 0, 0, 0) / 86400; ++day) {
        const long long s = day * 86400 + (day * 7919) % 86400;
        ASSERT_TRUE(sameAsGmtime(CTime(static_cast<unsigned long long>(s), false), s));
    }
    expectFields(
        CTime(static_cast<unsigned long long>(oracleSeconds(2100, 2, 28, 23, 59, 59)) + 1ULL,
              false),
        2100, 3, 1, 0, 0, 0);
}

TEST(TimeConvert, SplitMatchesGmtimeOnRandomSeconds) {
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<long long> nearTerm(0, 1LL << 33);
    // Years up to about two thousand million: still within what the C library's int year holds.
    std::uniform_int_distribution<long long> farTerm(0, 60000000000000000LL);
    for (int i = 0; i < 100000; ++i) {
        const long long s = (i % 4 == 0) ? farTerm(rng) : nearTerm(rng);
        ASSERT_TRUE(sameAsGmtime(CTime(static_cast<unsigned long long>(s), false), s));
    }
}

TEST(TimeConvert, SplitIsExactForEverySecondOfADay) {
    // Days at both ends of the range and around 2100-03-01, where the split changes method.
    const long long limitDay = oracleSeconds(2100, 3, 1, 0, 0, 0) / 86400;
    for (long long day : {0LL, 11016LL, 24837LL, limitDay - 1, limitDay, limitDay + 1}) {
        for (long long s = day * 86400; s < (day + 1) * 86400; ++s) {
            ASSERT_TRUE(sameAsGmtime(CTime(static_cast<unsigned long long>(s), false), s));
        }
    }
}

TEST(TimeConvert, HugeSecondsGiveInRangeFieldsWithTheYearCapped) {
    std::vector<unsigned long long> inputs = {~0ULL, ~0ULL - 86399ULL, 1ULL << 63,
                                              (1ULL << 63) - 1ULL};
    for (int bit = 0; bit < 64; ++bit) {
        inputs.push_back(1ULL << bit);
        inputs.push_back((1ULL << bit) - 1ULL);
    }
    for (unsigned long long s : inputs) {
        const CTime t(s, false);
        EXPECT_TRUE(isValidDate(t)) << s;
        EXPECT_GE(t.year, 1970) << s;
        EXPECT_EQ(t.isdst, -1);
    }
    EXPECT_EQ(CTime(~0ULL, false).year, INT_MAX);
    // Converting such a value back clamps it into range.
    EXPECT_LE(CTime::timeToSeconds(CTime(~0ULL, false)),
              static_cast<unsigned long long>(kEndOf2038));
}

// ---- Zone offset -----------------------------------------------------------------------------

TEST(TimeZone, OffsetIsTheStandardOffsetOfTheProcessZone) {
    ASSERT_TRUE(g_zoneSet);
    EXPECT_EQ(CTime::getTimeZone(), kTestZoneOffset);
    EXPECT_EQ(CTime::getTimeZone(), static_cast<int>(runtimeZoneOffset()));
    {
        ZoneDisabled off;
        EXPECT_EQ(CTime::getTimeZone(), 0);
    }
    EXPECT_EQ(CTime::getTimeZone(), kTestZoneOffset);
}

TEST(TimeZone, OffsetFollowsAZoneTheProgramChanges) {
    ASSERT_EQ(CTime::getTimeZone(), kTestZoneOffset);
    ASSERT_TRUE(useZone(kEastZone));
    const long east = CTime::getTimeZone();
    const unsigned long long made = CTime(2020, 1, 1, 5, 45, 0).makeTime();
    ASSERT_TRUE(useZone(kTestZone));
    EXPECT_EQ(east, -(5 * 3600 + 45 * 60));
    EXPECT_EQ(made, 1577836800ULL);  // 2020-01-01 00:00:00 UTC
    EXPECT_EQ(CTime::getTimeZone(), kTestZoneOffset);
}

TEST(TimeZone, BreakAndMakeApplyTheOffset) {
    const unsigned long long s = 1700000000ULL;  // 2023-11-14 22:13:20 UTC
    const CTime local(s);
    EXPECT_TRUE(sameAsGmtime(local, static_cast<long long>(s) - kTestZoneOffset));
    expectFields(local, 2023, 11, 14, 18, 43, 20);
    EXPECT_TRUE(sameAsGmtime(CTime(s, false), static_cast<long long>(s)));
    EXPECT_EQ(CTime(s, true), local);
    EXPECT_EQ(local.makeTime(), s);
    EXPECT_EQ(CTime(2023, 11, 14, 18, 43, 20).makeTime(), s);

    CTime kept(2001, 1, 1, 0, 0, 0);
    kept.isdst = 1;
    kept.breakTime(s);
    EXPECT_EQ(kept, local);
    EXPECT_EQ(kept.wday, local.wday);
    EXPECT_EQ(kept.isdst, 1);

    ZoneDisabled off;
    EXPECT_EQ(CTime(s), CTime(s, false));
    EXPECT_EQ(CTime(s, false).makeTime(), s);
}

TEST(TimeZone, MakeTimeAndBackIsTheIdentity) {
    std::mt19937_64 rng(1234);
    std::uniform_int_distribution<long long> seconds(0, kEndOf2038);
    std::vector<CTime> dates = {CTime(1970, 1, 1, 0, 0, 0), CTime(2038, 12, 31, 23, 59, 59),
                                CTime::minTime, CTime::maxTime};
    for (int i = 0; i < 20000; ++i) {
        dates.push_back(CTime(static_cast<unsigned long long>(seconds(rng)), false));
    }
    for (bool disabled : {true, false}) {
        Detail::setTimezoneDisabled(disabled);
        for (const CTime& d : dates) {
            const CTime back(d.makeTime());
            ASSERT_EQ(back, d) << d.year << '-' << d.month << '-' << d.day;
            ASSERT_EQ(back.wday, d.wday);
        }
    }
    Detail::setTimezoneDisabled(false);
    EXPECT_EQ(CTime(1970, 1, 1, 0, 0, 0).makeTime(),
              static_cast<unsigned long long>(kTestZoneOffset));
}

// ---- Arithmetic and comparisons --------------------------------------------------------------

TEST(TimeArithmetic, DifferencesInSeconds) {
    EXPECT_EQ(CTime(2013, 5, 2, 10, 0, 0) - CTime(2013, 5, 1, 10, 0, 0), 86400);
    EXPECT_EQ(CTime(2013, 5, 1, 10, 0, 0) - CTime(2013, 5, 2, 10, 0, 0), -86400);
    EXPECT_EQ(CTime(2012, 3, 1, 0, 0, 0) - CTime(2012, 2, 28, 0, 0, 0), 2 * 86400);
    EXPECT_EQ(CTime(2013, 3, 1, 0, 0, 0) - CTime(2013, 2, 28, 0, 0, 0), 86400);
    EXPECT_EQ(CTime(2013, 1, 1, 0, 0, 0) - CTime(2012, 12, 31, 23, 59, 59), 1);
    EXPECT_EQ(CTime::maxTime - CTime::minTime,
              oracleSeconds(2038, 1, 1, 0, 0, 0) - oracleSeconds(2000, 1, 1, 0, 0, 0));
    EXPECT_EQ(CTime::maxTime - CTime::maxTime, 0);
}

TEST(TimeArithmetic, AddingAndSubtractingSeconds) {
    const CTime leapEve(2012, 2, 28, 23, 59, 59);
    expectFields(leapEve + 1, 2012, 2, 29, 0, 0, 0);
    expectFields(leapEve + 86401, 2012, 3, 1, 0, 0, 0);
    expectFields(CTime(2013, 1, 1, 0, 0, 0) - 1, 2012, 12, 31, 23, 59, 59);
    expectFields(CTime(2013, 1, 1, 0, 0, 0) + (-1), 2012, 12, 31, 23, 59, 59);
    EXPECT_EQ((leapEve + 1).wday, 3);
    // The split is not clamped; converting back is.
    const CTime past = CTime(2038, 12, 31, 23, 59, 59) + 1;
    expectFields(past, 2039, 1, 1, 0, 0, 0);
    EXPECT_EQ(CTime::timeToSeconds(past), CTime::timeToSeconds(CTime(2038, 1, 1, 0, 0, 0)));

    std::mt19937_64 rng(99);
    std::uniform_int_distribution<long long> seconds(0, kEndOf2038);
    for (int i = 0; i < 10000; ++i) {
        const long long a = seconds(rng);
        const long long b = seconds(rng);
        const CTime ta(static_cast<unsigned long long>(a), false);
        ASSERT_TRUE(sameAsGmtime(ta + (b - a), b));
        ASSERT_TRUE(sameAsGmtime(ta - (a - b), b));
        ASSERT_EQ(CTime(static_cast<unsigned long long>(b), false) - ta, b - a);
    }
}

TEST(TimeArithmetic, NewValuesResetDaylightFlagInPlaceKeepsIt) {
    CTime t(2010, 6, 1, 12, 0, 0);
    t.isdst = 1;
    EXPECT_EQ((t + 60).isdst, -1);
    EXPECT_EQ((t - 60).isdst, -1);
    t += 3600;
    expectFields(t, 2010, 6, 1, 13, 0, 0);
    EXPECT_EQ(t.isdst, 1);
    t -= 86400 + 3600;
    expectFields(t, 2010, 5, 31, 12, 0, 0);
    EXPECT_EQ(t.isdst, 1);
    EXPECT_EQ(t.wday, 1);
    EXPECT_EQ(&(t += 1), &t);
    EXPECT_EQ(&(t -= 1), &t);
}

TEST(TimeArithmetic, NegativeResultsWrapWithoutUndefinedBehaviour) {
    // Below 1970 the unsigned count wraps to a huge value: some far date, fields in range.
    for (long long delta : {1000000000000LL, LLONG_MAX, LLONG_MIN, -LLONG_MAX}) {
        const CTime minus = CTime::minTime - delta;
        const CTime plus = CTime::minTime + delta;
        EXPECT_TRUE(isValidDate(minus)) << delta;
        EXPECT_TRUE(isValidDate(plus)) << delta;
        CTime inPlace = CTime::minTime;
        inPlace -= delta;
        EXPECT_EQ(inPlace, minus);
    }
    EXPECT_EQ((CTime::minTime - 1000000000000LL).year, INT_MAX);
    EXPECT_EQ(CTime(1970, 1, 1, 0, 0, 0) - 1, CTime(~0ULL, false));
}

TEST(TimeCompare, OrderFollowsFieldSignificance) {
    // For each field: one value greater in that field but smaller in every less significant one.
    const int base[6] = {2010, 6, 15, 12, 30, 30};
    const int low[6] = {1970, 1, 1, 0, 0, 0};
    const int high[6] = {2038, 12, 28, 23, 59, 59};
    for (int field = 0; field < 6; ++field) {
        int a[6];
        int b[6];
        for (int i = 0; i < 6; ++i) {
            a[i] = i < field ? base[i] : i == field ? base[i] + 1 : low[i];
            b[i] = i < field ? base[i] : i == field ? base[i] : high[i];
        }
        const CTime later(a[0], a[1], a[2], a[3], a[4], a[5]);
        const CTime earlier(b[0], b[1], b[2], b[3], b[4], b[5]);
        EXPECT_TRUE(later > earlier) << field;
        EXPECT_TRUE(later >= earlier) << field;
        EXPECT_TRUE(earlier < later) << field;
        EXPECT_TRUE(earlier <= later) << field;
        EXPECT_TRUE(later != earlier) << field;
        EXPECT_FALSE(later == earlier) << field;
        EXPECT_FALSE(later < earlier) << field;
        EXPECT_FALSE(later <= earlier) << field;
        EXPECT_FALSE(earlier > later) << field;
        EXPECT_FALSE(earlier >= later) << field;
        EXPECT_GT(later - earlier, 0) << field;
    }
}

TEST(TimeCompare, WeekdayAndDaylightFlagTakeNoPart) {
    const CTime a(2015, 7, 4, 8, 30, 0);
    CTime b = a;
    b.wday = (a.wday + 3) % 7;
    b.isdst = 1;
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a != b);
    EXPECT_FALSE(a < b);
    EXPECT_FALSE(a > b);
    EXPECT_TRUE(a <= b);
    EXPECT_TRUE(a >= b);
    EXPECT_EQ(a - b, 0);
}

// ---- System clocks ---------------------------------------------------------------------------

TEST(TimeClock, CurrentLocalTimeMatchesTheSystemAcrossSecondChanges) {
#if defined(_WIN32)
    // The system's local clock follows the system's zone, which the TZ this program sets does
    // not move on Windows (only the C runtime's conversions follow it).
    GTEST_SKIP() << "the local clock does not follow TZ on Windows";
#endif
    // Samples until the clock has moved on at least twice, so the per-second cache has to turn
    // over; each sample must be the local time of a second seen around it.
    long long changes = 0;
    long long lastSecond = -1;
    const long long giveUpAt = realTimeSeconds() + 10;
    while (changes < 2 && realTimeSeconds() < giveUpAt) {
        const long long before = realTimeSeconds();
        const SystemTimeEx ex = CTime::getCurrentTimeEx();
        const long long after = realTimeSeconds();
        ASSERT_TRUE(localTimeWithin(ex, before, after));
        ASSERT_GE(ex.millisecond, 0);
        ASSERT_LE(ex.millisecond, 999);
        for (int r : ex.reserved) {
            ASSERT_EQ(r, 0);
        }
        if (lastSecond >= 0 && ex.second != lastSecond) {
            ++changes;
        }
        lastSecond = ex.second;
    }
    EXPECT_GE(changes, 2);

    const long long before = realTimeSeconds();
    const CTime now = CTime::getCurrentTime();
    const CTime print = CTime::getCurTimeForPrint();
    const long long after = realTimeSeconds() + 1;
    EXPECT_EQ(now.isdst, -1);
    for (const CTime* t : {&now, &print}) {
        const SystemTimeEx asEx = {t->year,   t->month,  t->day, t->wday,     t->hour,
                                   t->minute, t->second, 0,      {0, 0, 0, 0}};
        EXPECT_TRUE(localTimeWithin(asEx, before, after));
    }
}

TEST(TimeClock, CurrentLocalTimeIsExactOnEveryThread) {
#if defined(_WIN32)
    // The system's local clock follows the system's zone, which the TZ this program sets does
    // not move on Windows (only the C runtime's conversions follow it).
    GTEST_SKIP() << "the local clock does not follow TZ on Windows";
#endif
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            for (int n = 0; n < 3000; ++n) {
                const long long before = realTimeSeconds();
                const SystemTimeEx ex = CTime::getCurrentTimeEx();
                const long long after = realTimeSeconds();
                if (!localTimeWithin(ex, before, after)) {
                    ++mismatches;
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(TimeClock, UtcTimeFollowsTheRealTimeClock) {
    const long long before = realTimeSeconds();
    const unsigned long long utc = CTime::getCurrentUTCtime();
    const unsigned long long utcMs = CTime::getCurrentUTCMilliSecond();
    const long long after = realTimeSeconds();
    ASSERT_LE(after, kEndOf2038) << "the clamped range no longer covers the present";
    EXPECT_GE(utc, static_cast<unsigned long long>(before));
    EXPECT_LE(utc, static_cast<unsigned long long>(after));
    EXPECT_GE(utcMs, utc * 1000ULL);
    EXPECT_LT(utcMs, static_cast<unsigned long long>(after + 1) * 1000ULL);
}

TEST(TimeClock, MonotonicCountersNeverGoBack) {
    unsigned long long lastMicro = CTime::getCurrentMicroSecond();
    unsigned long long lastMilli = CTime::getCurrentMilliSecond();
    for (int i = 0; i < 100000; ++i) {
        const unsigned long long micro = CTime::getCurrentMicroSecond();
        const unsigned long long milli = CTime::getCurrentMilliSecond();
        ASSERT_GE(micro, lastMicro);
        ASSERT_GE(milli, lastMilli);
        // The milliseconds are the microseconds of the moment of the call, truncated.
        ASSERT_GE(milli, micro / 1000ULL);
        ASSERT_LE(milli, CTime::getCurrentMicroSecond() / 1000ULL);
        lastMicro = micro;
        lastMilli = milli;
    }
    const unsigned long long micro = CTime::getCurrentMicroSecond();
    const unsigned long long milli = CTime::getCurrentMilliSecond();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_GE(CTime::getCurrentMicroSecond() - micro, 30000ULL);
    EXPECT_GE(CTime::getCurrentMilliSecond() - milli, 29ULL);
}

TEST(TimeClock, MilliSecondsNeverGoBackAcrossThreads) {
    // Each value a thread publishes happens before the next call of any thread that reads it.
    std::atomic<unsigned long long> published{0};
    std::atomic<int> regressions{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            unsigned long long own = 0;
            for (int n = 0; n < 50000; ++n) {
                const unsigned long long seen = published.load(std::memory_order_acquire);
                const unsigned long long value = CTime::getCurrentMilliSecond();
                if (value < seen || value < own) {
                    ++regressions;
                }
                own = value;
                unsigned long long current = seen;
                while (current < value && !published.compare_exchange_weak(
                                              current, value, std::memory_order_acq_rel)) {
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(regressions.load(), 0);
}
