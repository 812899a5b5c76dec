// Reading times back from text: numbers in order, the date order of the picture, AM/PM, the
// failure messages, round trips of format, and reads that stay inside their text.
#include <gtest/gtest.h>
#include <time.h>

#include <climits>
#include <cstring>
#include <iomanip>
#include <locale>
#include <memory>
#include <random>
#include <sstream>
#include <string>

#include "infra/Time.h"
#include "support/LogCapture.h"

using TestSupport::LogCapture;
using Tovix::Infra::CTime;

namespace {

void expectFields(const CTime& t, int year, int month, int day, int hour, int minute, int second) {
    EXPECT_EQ(t.year, year);
    EXPECT_EQ(t.month, month);
    EXPECT_EQ(t.day, day);
    EXPECT_EQ(t.hour, hour);
    EXPECT_EQ(t.minute, minute);
    EXPECT_EQ(t.second, second);
}

const char kDefault[] = "yyyy-MM-dd HH:mm:ss";

}  // namespace

TEST(TimeParse, DefaultPictureReadsAllSixFields) {
    CTime t;
    ASSERT_TRUE(t.parse("2013-05-07 15:03:04", kDefault, 0));
    expectFields(t, 2013, 5, 7, 15, 3, 4);
    EXPECT_EQ(t.wday, 2);  // a Tuesday
    EXPECT_EQ(t.isdst, -1);
    // Any non-digits separate the numbers; the picture's separators do not matter.
    ASSERT_TRUE(t.parse("2012/02/29T23h59m58s", kDefault, 0));
    expectFields(t, 2012, 2, 29, 23, 59, 58);
    EXPECT_EQ(t.wday, 3);
}

TEST(TimeParse, TooFewNumbersFailWithAZeroDate) {
    LogCapture log;
    CTime t(2013, 5, 7, 1, 2, 3);
    t.isdst = 1;
    const int wday = t.wday;
    EXPECT_FALSE(t.parse("2013-05-07 15:03", kDefault, 0));
    expectFields(t, 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(t.wday, wday);
    EXPECT_EQ(t.isdst, 1);
    EXPECT_TRUE(log.contains("CTime parser input information is not enough.\n"));
    EXPECT_TRUE(log.contains("this:"));
    for (const char* text : {"", "2013", "a-b-c-d-e", static_cast<const char*>(nullptr)}) {
        EXPECT_FALSE(t.parse(text, kDefault, 0));
    }
}

TEST(TimeParse, PictureGivesTheDateOrder) {
    CTime t;
    ASSERT_TRUE(t.parse("05/07/2013 15:03:04", "MM/dd/yyyy HH:mm:ss", 0));
    expectFields(t, 2013, 5, 7, 15, 3, 4);
    ASSERT_TRUE(t.parse("07.05.2013 15:03:04", "dd.MM.yyyy HH:mm:ss", 0));
    expectFields(t, 2013, 5, 7, 15, 3, 4);
    // No known order: the date stays as it was, the time is read.
    CTime kept(2001, 2, 3, 4, 5, 6);
    ASSERT_TRUE(kept.parse("2013-05-07 15:03:04", "HH:mm:ss", 0));
    expectFields(kept, 2001, 2, 3, 15, 3, 4);
    ASSERT_TRUE(kept.parse("2013-05-07 16:03:04", nullptr, 0));
    expectFields(kept, 2001, 2, 3, 16, 3, 4);
    // A default value with no date read becomes the first day of 1970.
    CTime empty;
    ASSERT_TRUE(empty.parse("1 2 3 4 5 6", "", 0));
    expectFields(empty, 1970, 1, 1, 4, 5, 6);
}

TEST(TimeParse, TwelveHourTexts) {
    const char* picture = "MM/dd/yyyy hh:mm:ss tt";
    CTime t;
    ASSERT_TRUE(t.parse("05/07/2013 03:03:04 PM", picture, 0));
    expectFields(t, 2013, 5, 7, 15, 3, 4);
    ASSERT_TRUE(t.parse("05/07/2013 12:00:00 AM", picture, 0));
    EXPECT_EQ(t.hour, 0);
    ASSERT_TRUE(t.parse("05/07/2013 12:30:00 PM", picture, 0));
    EXPECT_EQ(t.hour, 12);
    ASSERT_TRUE(t.parse("05/07/2013 11:30:00 AM", picture, 0));
    EXPECT_EQ(t.hour, 11);

    LogCapture log;
    EXPECT_FALSE(t.parse("05/07/2013 03:03:04", picture, 0));
    expectFields(t, 0, 0, 0, 0, 0, 0);
    EXPECT_TRUE(log.contains("12 hours time point is unclear.\n"));
    EXPECT_FALSE(t.parse("05/07/2013 13:03:04 PM", picture, 0));
    EXPECT_TRUE(
        log.contains("CTime parser input hour format is not accord with real value format.\n"));
    // "am" in lower case is not a marker.
    EXPECT_FALSE(t.parse("05/07/2013 03:03:04 am", picture, 0));
}

TEST(TimeParse, ValuesAreClampedAndNumbersSaturate) {
    CTime t;
    ASSERT_TRUE(t.parse("2013-02-30 25:61:99", kDefault, 0));
    expectFields(t, 2013, 2, 28, 23, 59, 59);
    ASSERT_TRUE(t.parse("99999999999999999999-1-1 0:0:0", kDefault, 0));
    expectFields(t, 2038, 1, 1, 0, 0, 0);
    ASSERT_TRUE(t.parse("1969-00-00 00:00:00", kDefault, 0));
    expectFields(t, 1970, 1, 1, 0, 0, 0);
}

TEST(TimeParse, ALeadingNonDigitReadsAsAnEmptyFirstNumber) {
    // The digits at the start form the first number even when there are none.
    CTime t;
    ASSERT_TRUE(t.parse(" 2013-05-07 15:03:04", kDefault, 0));
    expectFields(t, 1970, 12, 5, 7, 15, 3);  // numbers 0, 2013, 5, 7, 15, 3
}

TEST(TimeParse, ReadsNoFurtherThanTheGivenLength) {
    // The text lives in an allocation of exactly its length, with no terminator: the sanitizer
    // reports any read past it.
    LogCapture quiet;
    const std::string full = "05/07/2013 03:03:04 PM";
    for (std::size_t length = 0; length <= full.size(); ++length) {
        std::unique_ptr<char[]> exact(new char[length == 0 ? 1 : length]);
        std::memcpy(exact.get(), full.data(), length);
        CTime t;
        const bool ok = t.parse(exact.get(), length, "MM/dd/yyyy hh:mm:ss tt", 0);
        // "PM" must be whole within the length.
        EXPECT_EQ(ok, length >= full.size()) << length;
    }
    // A NUL byte inside is an ordinary separator.
    const char withNul[] =
        "2013-05-07\0"
        "15:03:04";
    CTime t;
    ASSERT_TRUE(t.parse(withNul, sizeof withNul - 1, kDefault, 0));
    expectFields(t, 2013, 5, 7, 15, 3, 4);
}

TEST(TimeParse, FormatThenParseGivesTheSameTime) {
    struct Case {
        const char* picture;
        int mask;
    };
    const Case cases[] = {{kDefault, 0},
                          {"MM/dd/yyyy hh:mm:ss tt", 7},
                          {"dd.MM.yyyy H:m:s", 3},
                          {"yyyyMMddHHmmss", 0},
                          {"d/M/yyyy h:mm:ss tt", 6}};
    std::mt19937_64 rng(2013);
    std::uniform_int_distribution<long long> seconds(0, 2177452799LL);
    LogCapture quiet;
    for (const Case& c : cases) {
        for (int i = 0; i < 5000; ++i) {
            const CTime original(static_cast<unsigned long long>(seconds(rng)), false);
            char text[64];
            ASSERT_TRUE(original.format(text, sizeof text, c.picture, c.mask));
            CTime back;
            // "yyyyMMddHHmmss" has no separators: one number, so it cannot be read back.
            const bool ok = back.parse(text, c.picture, 0);
            if (std::strcmp(c.picture, "yyyyMMddHHmmss") == 0) {
                ASSERT_FALSE(ok);
                continue;
            }
            ASSERT_TRUE(ok) << text;
            ASSERT_EQ(back, original) << c.picture << ": " << text;
            ASSERT_EQ(back.wday, original.wday);
        }
    }
}

TEST(TimeParse, AgreesWithStrptimeOnRandomTexts) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> year(1970, 2038), month(1, 12), day(1, 28), hour(0, 23),
        sixty(0, 59);
    for (int i = 0; i < 20000; ++i) {
        char text[64];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", year(rng), month(rng),
                      day(rng), hour(rng), sixty(rng), sixty(rng));
        struct tm parts = {};
#if defined(_WIN32)
        // The Windows runtime has neither strptime nor timegm: the C++ library reads the text
        // and _mkgmtime64 fills the weekday.
        std::istringstream in(text);
        in.imbue(std::locale::classic());
        in >> std::get_time(&parts, "%Y-%m-%d %H:%M:%S");
        ASSERT_FALSE(in.fail()) << text;
        CTime t;
        ASSERT_TRUE(t.parse(text, kDefault, 0));
        ASSERT_NE(_mkgmtime64(&parts), -1) << text;
#else
        ASSERT_NE(strptime(text, "%Y-%m-%d %H:%M:%S", &parts), nullptr);
        CTime t;
        ASSERT_TRUE(t.parse(text, kDefault, 0));
        timegm(&parts);  // fills the weekday
#endif
        ASSERT_EQ(t.year, parts.tm_year + 1900);
        ASSERT_EQ(t.month, parts.tm_mon + 1);
        ASSERT_EQ(t.day, parts.tm_mday);
        ASSERT_EQ(t.wday, parts.tm_wday);
        ASSERT_EQ(t.hour, parts.tm_hour);
        ASSERT_EQ(t.minute, parts.tm_min);
        ASSERT_EQ(t.second, parts.tm_sec);
    }
}
