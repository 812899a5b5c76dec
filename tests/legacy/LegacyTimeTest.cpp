// The legacy global CTime against the C library's mktime and snprintf, and its own settings.
#include "infra/legacy/Time.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <climits>
#include <cstdio>
#include <random>
#include <string>

#include "support/LogCapture.h"

namespace {

// One hour east, daylight saving from March to October (Windows: by the runtime's own rules).
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
        const int f[6] = {1971 + int(rng() % 66), int(rng() % 18) - 2,    int(rng() % 110) - 40,
                          int(rng() % 80) - 30,   int(rng() % 260) - 100, int(rng() % 4100) - 100};
        struct tm p = {};
        p.tm_year = f[0] - 1900, p.tm_mon = f[1] - 1, p.tm_mday = f[2];
        p.tm_hour = f[3], p.tm_min = f[4], p.tm_sec = f[5], p.tm_isdst = -1;
        const CTime t(f[0], f[1], f[2], f[3], f[4], f[5]);
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
    EXPECT_EQ(show(CTime::minTime), show(CTime(2000, 1, 1, 0, 0, 0)));
}

TEST_F(LegacyTime, ComparisonsArithmeticAndSettings) {
    const CTime a(2013, 5, 7, 9, 0, 0), b(2013, 5, 7, 9, 0, 1);
    EXPECT_TRUE(a < b && a <= b && b > a && b >= a && a != b && !(a == b) && b - a == 1);
    EXPECT_TRUE(!(b < a) && !(b <= a) && !(a > b) && !(a >= b) && a - b == -1);
    CTime c(Tovix::Infra::SystemTime{1950, 5, 6, 0, 33, 0, 0, 1});  // before 1970: second 0
    EXPECT_TRUE(c.makeTime() == 0 && c == CTime(0ULL));
#if !defined(_WIN32)
    // 01:30 CET plus one hour is 03:30 CEST; 04:00 CET less 3 h is 02:00 CEST.
    EXPECT_EQ(show(CTime(2013, 3, 31, 1, 30, 0) + 3600), "2013-3-31 w0 3:30:0 d-1");
    EXPECT_EQ(show(CTime(2013, 10, 27, 4, 0, 0) - 3 * 3600), "2013-10-27 w0 2:0:0 d-1");
    c.breakTime(~0ULL);  // read as one second before 1970; isdst kept
    EXPECT_EQ(show(c), "1970-1-1 w4 0:59:59 d1");
#endif
    CTime::setFormat(7, 2, 1);  // any date format is stored
    EXPECT_TRUE(CTime::getDateFormat() == 7 && CTime::getDateSeparator() == 2 &&
                CTime::getSpliter() == '/' && CTime::getTimeFormat() == 1 && CTime::get12Hour());
    CTime::setFormat(1, 3, 2);  // other codes out of range keep their settings
    EXPECT_TRUE(CTime::getSpliter() == '/' && CTime::getTimeFormat() == 1);
    CTime::m_dateSeparator = ':';
    EXPECT_TRUE(CTime::getDateSeparator() == 0 && CTime::getFormat() == "yyyy-MM-dd HH:mm:ss");
    TestSupport::LogCapture log;  // the new class's settings are apart
    CTime::setFormat(std::string("HH:mm"));
    EXPECT_TRUE(log.contains("separator is invalid") && log.contains("dateFormat is invalid"));
    EXPECT_TRUE(CTime::getFormat() == "HH:mm" && CTime::getSpliter() == '-' &&
                CTime::getDateFormat() == 0 && !CTime::get12Hour() &&
                Tovix::Infra::CTime::getFormat() ==
                    Tovix::Infra::flex_string("yyyy-MM-dd HH:mm:ss"));
}

TEST_F(LegacyTime, FormatSpellsPiecesAsPrintfWould) {
    std::mt19937 rng(8);  // any values, in range or not: printf's spelling
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
    EXPECT_EQ(formatted(CTime(2013, 5, 7, 9, 0, 0), "yy/M/d H:mm:s"), "13-5-7 9:00:0");
    CTime::setFormat(1, 2, 1);
    EXPECT_EQ(formatted(CTime(2013, 5, 7, 0, 3, 4), "yyyy.MM.dd h tt"), "05/07/2013 12 AM");
    TestSupport::LogCapture log;  // null arguments are logged and followed by nothing
    char buffer[8] = "abcdefg";
    CTime().format(nullptr, "yyyy");
    EXPECT_FALSE(CTime().format(buffer, 8, nullptr) || CTime().format(buffer, 0, "yyyy") ||
                 CTime(2013, 5, 7, 9, 3, 4).format(buffer, 8, "yyyy-MM-dd"));
    EXPECT_TRUE(log.contains("buf is NULL!!\n") && log.contains("format is NULL!!\n") &&
                std::string(buffer) == "05/07/2");
}
