// The legacy global CTime: roll-over and conversions against the C library's mktime in a zone
// with daylight saving, comparisons by seconds, its own format settings, formatting against
// snprintf, and the forwards to the new classes.
#include "infra/legacy/Time.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <climits>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "support/LogCapture.h"

namespace {

// Central European rules: one hour east, daylight saving from the last Sunday of March to the
// last Sunday of October. (The Windows runtime takes no switch-over rules but applies its own,
// so the tests that need the European dates run on POSIX only.)
const bool g_zoneSet = [] {
#if defined(_WIN32)
    return _putenv_s("TZ", "CET-1CEST") == 0 && (_tzset(), true);
#else
    return setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1) == 0 && (tzset(), true);
#endif
}();

std::string show(const CTime& t) {
    char s[80];
    std::snprintf(s, sizeof s, "%d-%d-%d w%d %d:%d:%d", t.year, t.month, t.day, t.wday, t.hour,
                  t.minute, t.second);
    return s;
}

std::string formatted(const CTime& t, const char* picture) {
    char buffer[512];
    t.format(buffer, picture);
    return buffer;
}

class LegacyTime : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(g_zoneSet); }
    void TearDown() override { CTime::setFormat(std::string("yyyy-MM-dd HH:mm:ss")); }
};

}  // namespace

TEST_F(LegacyTime, FieldsRollOverAsMktimeDoes) {
    EXPECT_EQ(show(CTime(2013, 4, 31, 0, 0, 0)), "2013-5-1 w3 0:0:0");  // the new class clamps
    std::mt19937 rng(31);
    std::uniform_int_distribution<int> year(1971, 2036), month(-2, 15), day(-40, 70), hour(-30, 50),
        minute(-100, 160), second(-100, 4000);
    for (int i = 0; i < 30000; ++i) {
        struct tm p = {};
        p.tm_year = year(rng) - 1900, p.tm_mon = month(rng) - 1, p.tm_mday = day(rng);
        p.tm_hour = hour(rng), p.tm_min = minute(rng), p.tm_sec = second(rng), p.tm_isdst = -1;
        const CTime t(p.tm_year + 1900, p.tm_mon + 1, p.tm_mday, p.tm_hour, p.tm_min, p.tm_sec);
#if defined(_WIN32)
        const long long s = _mktime64(&p);
#else
        const long long s = mktime(&p);
#endif
        // A wall-clock time in the hour that repeats when daylight saving ends names two
        // moments; the C library may pick the other one, with the same fields.
        const long long got = static_cast<long long>(t.makeTime());
        ASSERT_TRUE(got == s || got - s == 3600 || s - got == 3600) << i;
        CTime want;
        want.year = p.tm_year + 1900, want.month = p.tm_mon + 1, want.day = p.tm_mday;
        want.wday = p.tm_wday, want.hour = p.tm_hour, want.minute = p.tm_min;
        want.second = p.tm_sec;
        ASSERT_EQ(show(t), show(want));
        ASSERT_EQ(CTime(t.makeTime()).makeTime(), t.makeTime());
    }
    const CTime copy(Tovix::Infra::SystemTime{2013, 5, 7, 2, 9, 3, 4, 1});
    EXPECT_EQ(show(copy) + std::to_string(copy.isdst),
              "2013-5-7 w2 9:3:4"
              "1");
    EXPECT_EQ(show(CTime()) + std::to_string(CTime().isdst), "0-0-0 w0 0:0:0-1");
    EXPECT_TRUE(CTime::minTime == CTime(2000, 1, 1, 0, 0, 0) &&
                show(CTime::minTime) == show(CTime(2000, 1, 1, 0, 0, 0)));
    EXPECT_TRUE(CTime::maxTime == CTime(2038, 1, 1, 0, 0, 0) &&
                show(CTime::maxTime) == show(CTime(2038, 1, 1, 0, 0, 0)));
}

TEST_F(LegacyTime, ComparisonsAndArithmeticUseTheSeconds) {
    const CTime a(2013, 5, 7, 9, 0, 0), b(2013, 5, 7, 9, 0, 1);
    EXPECT_TRUE(a < b && a <= b && b > a && b >= a && a != b && !(a == b) && b - a == 1);
    EXPECT_TRUE(!(b < a) && !(b <= a) && !(a > b) && !(a >= b) && a - b == -1);
    CTime c;  // other fields, the same moment
    c.year = 2013, c.month = 5, c.day = 6, c.hour = 33;
    EXPECT_TRUE(c == a && c <= a && c >= a && !(c != a));
    c.year = 1950;  // every date before 1970, or one the system cannot convert, is second 0
    EXPECT_TRUE(c.makeTime() == 0 && c == CTime(0ULL));
    c.year = INT_MIN;
    EXPECT_EQ(c.makeTime(), 0u);
#if !defined(_WIN32)
    EXPECT_EQ(CTime(2013, 7, 1, 12, 0, 0).makeTime(), 1372672800ULL);  // 10:00 UTC
    // 01:30 CET plus one hour is 03:30 CEST; 04:00 CET less 3 h is 02:00 CEST.
    EXPECT_EQ(show(CTime(2013, 3, 31, 1, 30, 0) + 3600), "2013-3-31 w0 3:30:0");
    EXPECT_EQ(CTime(2013, 10, 27, 4, 0, 0) - CTime(2013, 10, 27, 0, 0, 0), 5 * 3600);
    CTime late(2013, 10, 27, 4, 0, 0);
    late.isdst = 7;
    late -= 3 * 3600;
    EXPECT_EQ(show(late) + std::to_string(late.isdst),
              "2013-10-27 w0 2:0:0"
              "7");
    EXPECT_EQ(show(CTime(2014, 1, 1, 0, 0, 0) - 1), "2013-12-31 w2 23:59:59");
    late.breakTime(1ULL << 62);  // beyond any year the system represents: unchanged
    EXPECT_EQ(show(late), "2013-10-27 w0 2:0:0");
    late.breakTime(~0ULL);  // read as one second before 1970
    EXPECT_EQ(show(late), "1970-1-1 w4 0:59:59");
#endif
}

TEST_F(LegacyTime, SettingsFromCodesAndFromAPicture) {
    EXPECT_EQ(CTime::m_format, "yyyy-MM-dd HH:mm:ss");
    const int rows[][7] = {// setFormat's codes, then date format, separator code and
                           // character, clock code (other codes keep the setting)
                           {0, 2, 1, 0, 2, '/', 1},
                           {7, 3, 2, 7, 2, '/', 1},
                           {1, 0, 0, 1, 0, '.', 0},
                           {1, 1, -1, 1, 1, '-', 0}};
    for (const auto& r : rows) {
        CTime::setFormat(r[0], r[1], r[2]);
        EXPECT_EQ(
            std::vector<int>({CTime::getDateFormat(), CTime::getDateSeparator(),
                              CTime::getSpliter(), CTime::getTimeFormat(), CTime::get12Hour()}),
            std::vector<int>({r[3], r[4], r[5], r[6], r[6]}));
    }
    CTime::m_dateSeparator = ':';
    EXPECT_EQ(CTime::getDateSeparator(), 0);
    EXPECT_EQ(CTime::getFormat(), "yyyy-MM-dd HH:mm:ss");  // the codes leave the picture alone
    CTime::setFormat(std::string("dd/MM/yyyy hh:mm tt"));
    EXPECT_EQ(CTime::getFormat(), "dd/MM/yyyy hh:mm tt");
    EXPECT_TRUE(CTime::getSpliter() == '/' && CTime::getDateFormat() == 2 && CTime::get12Hour());
    EXPECT_EQ(Tovix::Infra::CTime::getSeparator(), '-');  // the new class's settings are apart
    TestSupport::LogCapture log;
    CTime::setFormat(std::string("HH:mm"));
    EXPECT_TRUE(log.contains("setFormat separator is invalid,set default separator: - \n"));
    EXPECT_TRUE(log.contains("setFormat dateFormat is invalid,set default separator: ymd \n"));
    EXPECT_TRUE(CTime::getSpliter() == '-' && CTime::getDateFormat() == 0 && !CTime::get12Hour());
}

TEST_F(LegacyTime, FormatSpellsPiecesAsPrintfWould) {
    EXPECT_EQ(formatted(CTime(2013, 5, 7, 9, 0, 0), "yy/M/d H:mm:s"), "13-5-7 9:00:0");
    CTime::setFormat(1, 2, 1);
    EXPECT_EQ(formatted(CTime(2013, 5, 7, 15, 3, 4), "MM/dd/yyyy hh:mm:ss tt"),
              "05/07/2013 03:03:04 PM");
    EXPECT_EQ(formatted(CTime(2013, 5, 7, 0, 3, 4), "yyyy.MM.dd h tt"), "05/07/2013 12 AM");
    CTime::setFormat(2, 0, 0);
    EXPECT_EQ(formatted(CTime(2013, 5, 7, 15, 3, 4), "yyyy-MM-dd HH:mm:ss tt"),
              "07.05.2013 15:03:04");
    CTime::setFormat(0, 1, 0);  // any values, in range or not: printf's spelling
    std::mt19937 rng(8);
    std::uniform_int_distribution<int> any(INT_MIN, INT_MAX), small(-150, 150);
    for (int i = 0; i < 20000; ++i) {
        CTime t;
        const bool wide = i % 2 == 0;
        t.year = wide ? any(rng) : small(rng) + 2000, t.month = wide ? any(rng) : small(rng);
        t.day = wide ? any(rng) : small(rng), t.hour = wide ? any(rng) : small(rng);
        t.minute = small(rng), t.second = small(rng);
        char want[160];
        std::snprintf(want, sizeof want, "%04d|%02d|%d-%d %02d:%d:%02d", t.year, t.year % 100,
                      t.month, t.day, t.hour, t.minute, t.second);
        ASSERT_EQ(formatted(t, "yyyy|") + formatted(t, "yy|") + formatted(t, "M/d HH:m:ss"), want);
    }
    // Null arguments are logged and followed by nothing; the bounded form cuts and terminates.
    TestSupport::LogCapture log;
    const CTime t(2013, 5, 7, 9, 3, 4);
    char buffer[8] = "abcdefg";
    t.format(nullptr, "yyyy");
    t.format(buffer, nullptr);
    EXPECT_TRUE(log.contains("buf is NULL!!\n") && log.contains("format is NULL!!\n"));
    EXPECT_FALSE(t.format(nullptr, 8, "yyyy") || t.format(buffer, 8, nullptr) ||
                 t.format(buffer, 0, "yyyy"));
    EXPECT_STREQ(buffer, "abcdefg");
    for (std::size_t size = 1; size <= 21; ++size) {
        std::vector<char> out(size + 4, '#');
        EXPECT_EQ(t.format(out.data(), size, "yyyy-MM-dd HH:mm:ss"), size > 19);
        EXPECT_EQ(std::string(out.data()) + std::string(out.begin() + long(size), out.end()),
                  std::string("2013-05-07 09:03:04").substr(0, size - 1) + "####");
    }
}

static std::vector<Tovix::Infra::SystemTimeEx> g_set;

TEST_F(LegacyTime, ForwardsToTheNewClasses) {
    const auto previous = Tovix::Infra::Detail::replaceLocalClockSetter(
        [](const Tovix::Infra::SystemTimeEx& local) { return g_set.push_back(local), true; });
    TestSupport::LogCapture quiet;
    CTime target;
    target.year = 2013, target.month = 4, target.day = 31, target.hour = 10;
    CTime::setCurrentTime(target, 0);  // clamped by the new class, not rolled over
    Tovix::Infra::Detail::replaceLocalClockSetter(previous);
    ASSERT_EQ(g_set.size(), 1u);
    EXPECT_TRUE(g_set[0].year == 2013 && g_set[0].month == 4 && g_set[0].day == 30 &&
                g_set[0].hour == 10);
    const unsigned long long ms = CTime::getCurrentMilliSecond();
    const unsigned long long us = CTime::getCurrentMicroSecond();
    CTime::sleep(20);
    EXPECT_GE(CTime::getCurrentMilliSecond() - ms, 19u);
    EXPECT_GE(CTime::getCurrentMicroSecond() - us, 20000u);
#if !defined(_WIN32)  // TZ moves the runtime's conversions on Windows, not the local clock
    const long long before = static_cast<long long>(time(nullptr));
    const long long now = static_cast<long long>(CTime::getCurrentTime().makeTime());
    EXPECT_TRUE(now >= before && now <= static_cast<long long>(time(nullptr)));
#endif
}
