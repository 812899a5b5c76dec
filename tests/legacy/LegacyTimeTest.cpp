// The legacy global CTime: roll-over against the C library's mktime in a zone with daylight
// saving, comparisons by seconds, its own format settings, formatting against snprintf, and the
// forward of setCurrentTime to the new class.
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

// One hour east, daylight saving from the last Sunday of March to the last Sunday of October.
// (The Windows runtime takes no switch-over rules but applies its own.)
const bool g_zoneSet = [] {
#if defined(_WIN32)
    return _putenv_s("TZ", "CET-1CEST") == 0 && (_tzset(), true);
#else
    return setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1) == 0 && (tzset(), true);
#endif
}();

std::string show(const CTime& t) {
    char s[80];
    std::snprintf(s, sizeof s, "%d-%d-%d w%d %d:%d:%d d%d", t.year, t.month, t.day, t.wday, t.hour,
                  t.minute, t.second, t.isdst);
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
    EXPECT_EQ(show(CTime(2013, 4, 31, 0, 0, 0)), "2013-5-1 w3 0:0:0 d-1");  // the new class clamps
    std::mt19937 rng(31);
    for (int i = 0; i < 30000; ++i) {
        struct tm p = {};
        p.tm_year = 71 + rng() % 66, p.tm_mon = int(rng() % 18) - 3,
        p.tm_mday = int(rng() % 110) - 40;
        p.tm_hour = int(rng() % 80) - 30, p.tm_min = int(rng() % 260) - 100, p.tm_isdst = -1;
        p.tm_sec = int(rng() % 4100) - 100;
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
        ASSERT_EQ(show(t), show(CTime(Tovix::Infra::SystemTime{p.tm_year + 1900, p.tm_mon + 1,
                                                               p.tm_mday, p.tm_wday, p.tm_hour,
                                                               p.tm_min, p.tm_sec, -1})));
        ASSERT_EQ(CTime(t.makeTime()).makeTime(), t.makeTime());
    }
    EXPECT_EQ(show(CTime::minTime) + show(CTime::maxTime),
              show(CTime(2000, 1, 1, 0, 0, 0)) + show(CTime(2038, 1, 1, 0, 0, 0)));
}

TEST_F(LegacyTime, ComparisonsAndArithmeticUseTheSeconds) {
    const CTime a(2013, 5, 7, 9, 0, 0), b(2013, 5, 7, 9, 0, 1);
    EXPECT_TRUE(a < b && a <= b && b > a && b >= a && a != b && !(a == b) && b - a == 1);
    EXPECT_TRUE(!(b < a) && !(b <= a) && !(a > b) && !(a >= b) && a - b == -1);
    CTime c(Tovix::Infra::SystemTime{2013, 5, 6, 0, 33, 0, 0, 1});  // the same moment as a
    EXPECT_TRUE(c == a && c <= a && c >= a && !(c != a) && c.isdst == 1);
    c.year = 1950;  // every date before 1970, or one the system cannot convert, is second 0
    EXPECT_TRUE(c.makeTime() == 0 && c == CTime(0ULL));
    c.year = INT_MIN;
    EXPECT_EQ(c.makeTime(), 0u);
#if !defined(_WIN32)
    // 01:30 CET plus one hour is 03:30 CEST; 04:00 CET less 3 h is 02:00 CEST.
    EXPECT_EQ(show(CTime(2013, 3, 31, 1, 30, 0) + 3600), "2013-3-31 w0 3:30:0 d-1");
    CTime late(2013, 10, 27, 4, 0, 0);
    late.isdst = 7;
    EXPECT_EQ(late - CTime(2013, 10, 27, 0, 0, 0), 5 * 3600);
    late -= 3 * 3600;
    EXPECT_EQ(show(late), "2013-10-27 w0 2:0:0 d7");
    late.breakTime(~0ULL);  // read as one second before 1970
    EXPECT_EQ(show(late), "1970-1-1 w4 0:59:59 d7");
#endif
}

TEST_F(LegacyTime, SettingsFromCodesAndFromAPicture) {
    CTime::setFormat(7, 2, 1);  // any date format is stored
    EXPECT_TRUE(CTime::getDateFormat() == 7 && CTime::getDateSeparator() == 2 &&
                CTime::getSpliter() == '/' && CTime::getTimeFormat() == 1 && CTime::get12Hour());
    CTime::setFormat(1, 3, 2);  // other codes out of range keep their settings
    EXPECT_TRUE(CTime::getSpliter() == '/' && CTime::getTimeFormat() == 1);
    CTime::setFormat(1, 0, 0);
    CTime::m_dateSeparator = ':';
    EXPECT_TRUE(CTime::getDateSeparator() == 0 && CTime::getTimeFormat() == 0);
    EXPECT_EQ(CTime::getFormat(), "yyyy-MM-dd HH:mm:ss");  // the codes leave the picture alone
    CTime::setFormat(std::string("dd/MM/yyyy hh:mm tt"));
    EXPECT_TRUE(CTime::getFormat() == "dd/MM/yyyy hh:mm tt" && CTime::getSpliter() == '/' &&
                CTime::getDateFormat() == 2 && CTime::get12Hour());
    EXPECT_EQ(Tovix::Infra::CTime::getSeparator(), '-');  // the new class's settings are apart
    TestSupport::LogCapture log;
    CTime::setFormat(std::string("HH:mm"));
    EXPECT_TRUE(log.contains("setFormat separator is invalid,set default separator: - \n") &&
                log.contains("setFormat dateFormat is invalid,set default separator: ymd \n"));
    EXPECT_TRUE(CTime::getSpliter() == '-' && CTime::getDateFormat() == 0 && !CTime::get12Hour());
}

TEST_F(LegacyTime, FormatSpellsPiecesAsPrintfWould) {
    EXPECT_EQ(formatted(CTime(2013, 5, 7, 9, 0, 0), "yy/M/d H:mm:s"), "13-5-7 9:00:0");
    CTime::setFormat(1, 2, 1);
    EXPECT_EQ(formatted(CTime(2013, 5, 7, 0, 3, 4), "yyyy.MM.dd h tt"), "05/07/2013 12 AM");
    CTime::setFormat(2, 0, 0);
    EXPECT_EQ(formatted(CTime(2013, 5, 7, 15, 3, 4), "yyyy-MM-dd HH:mm:ss tt"),
              "07.05.2013 15:03:04");
    CTime::setFormat(0, 1, 0);  // any values, in range or not: printf's spelling
    std::mt19937 rng(8);
    std::uniform_int_distribution<int> any(INT_MIN, INT_MAX), small(-150, 150);
    for (int i = 0; i < 20000; ++i) {
        const bool wide = i % 2 == 0;
        CTime t(Tovix::Infra::SystemTime{wide ? any(rng) : small(rng) + 2000,
                                         wide ? any(rng) : small(rng), wide ? any(rng) : small(rng),
                                         0, wide ? any(rng) : small(rng), small(rng), small(rng),
                                         0});
        char want[160];
        std::snprintf(want, sizeof want, "%04d|%02d|%d-%d %02d:%d:%02d", t.year, t.year % 100,
                      t.month, t.day, t.hour, t.minute, t.second);
        ASSERT_EQ(formatted(t, "yyyy|") + formatted(t, "yy|") + formatted(t, "M/d HH:m:ss"), want);
    }
    TestSupport::LogCapture log;  // null arguments are logged and followed by nothing
    char buffer[8] = "abcdefg";
    CTime().format(nullptr, "yyyy");
    CTime().format(buffer, nullptr);
    EXPECT_TRUE(log.contains("buf is NULL!!\n") && log.contains("format is NULL!!\n"));
    EXPECT_FALSE(CTime().format(buffer, 8, nullptr) || CTime().format(buffer, 0, "yyyy"));
    EXPECT_FALSE(CTime(2013, 5, 7, 9, 3, 4).format(buffer, 8, "yyyy-MM-dd"));
    EXPECT_STREQ(buffer, "2013-05");
}

static std::vector<Tovix::Infra::SystemTimeEx> g_set;

TEST_F(LegacyTime, SetCurrentTimeGoesThroughTheNewClass) {
    const auto previous = Tovix::Infra::Detail::replaceLocalClockSetter(
        [](const Tovix::Infra::SystemTimeEx& local) { return g_set.push_back(local), true; });
    TestSupport::LogCapture quiet;
    CTime::setCurrentTime(CTime(Tovix::Infra::SystemTime{2013, 4, 31, 0, 10, 0, 0, 0}), 0);
    Tovix::Infra::Detail::replaceLocalClockSetter(previous);
    ASSERT_EQ(g_set.size(), 1u);  // clamped by the new class, not rolled over
    EXPECT_TRUE(g_set[0].month == 4 && g_set[0].day == 30 && g_set[0].hour == 10);
}
