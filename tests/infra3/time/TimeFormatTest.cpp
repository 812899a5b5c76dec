// Writing times by pictures: the mask bits, date pieces and their order, the 12-hour clock and
// "t", the bounded form, and the process-wide format settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "infra/Time.h"
#include "support/LogCapture.h"

using TestSupport::LogCapture;
using Tovix::Infra::CTime;
using Tovix::Infra::flex_string;

namespace {

const char kDefault[] = "yyyy-MM-dd HH:mm:ss";

// Puts the default settings back after each test.
class TimeFormat : public ::testing::Test {
protected:
    void TearDown() override { CTime::setFormatString(kDefault); }
};

std::string formatted(const CTime& t, const char* picture, int mask) {
    std::vector<char> buffer(4 * std::strlen(picture) + 1, '\x7f');
    t.format(buffer.data(), picture, mask);
    return std::string(buffer.data());
}

std::string twoDigits(int v) {
    return std::string(1, static_cast<char>('0' + v / 10)) + static_cast<char>('0' + v % 10);
}

// An independent model of the picture rules, written for clarity over std::string, for fields
// in their ranges.
std::string modelFormat(const CTime& t, const std::string& picture, int mask, int order,
                        char separator, bool twelve) {
    auto count = [&](char c) {
        return static_cast<int>(std::count(picture.begin(), picture.end(), c));
    };
    auto small = [](int v, bool wide) {
        return (wide || v >= 10) ? twoDigits(v) : std::to_string(v);
    };
    std::string year = count('y') > 2   ? std::to_string(t.year)
                       : count('y') > 0 ? twoDigits(t.year % 100)
                                        : "";
    std::string month = count('M') > 0 ? small(t.month, count('M') >= 2) : "";
    std::string day = count('d') > 0 ? small(t.day, count('d') >= 2) : "";
    if (mask & CTime::orderFromFormat) {
        const std::size_t y = std::min(picture.find('y'), picture.size());
        const std::size_t m = std::min(picture.find('M'), picture.size());
        const std::size_t d = std::min(picture.find('d'), picture.size());
        order = (y < m && m < d) ? 0 : (m < d && d < y) ? 1 : (d < m && m < y) ? 2 : 0;
    }
    if (mask & CTime::hourModeFromFormat) {
        twelve = picture.find('h') != std::string::npos;
    }
    std::vector<std::string> pieces = order == 1   ? std::vector<std::string>{month, day, year}
                                      : order == 2 ? std::vector<std::string>{day, month, year}
                                                   : std::vector<std::string>{year, month, day};
    pieces.erase(std::remove(pieces.begin(), pieces.end(), std::string()), pieces.end());
    const int hour = !twelve ? t.hour : t.hour > 12 ? t.hour - 12 : t.hour == 0 ? 12 : t.hour;

    std::string out;
    std::size_t runs = 0;
    for (std::size_t i = 0; i < picture.size();) {
        const char c = picture[i];
        std::size_t j = i + 1;
        const bool hourLetter = c == 'H' || c == 'h';
        while (j < picture.size() &&
               (hourLetter ? (picture[j] == 'H' || picture[j] == 'h') : picture[j] == c)) {
            ++j;
        }
        const bool longRun = j - i > 1;
        if (c == '-' || c == '.' || c == '/') {
            out += (mask & CTime::keepSeparator) ? c : separator;
            j = i + 1;
        } else if (hourLetter) {
            out += small(hour, longRun);
        } else if (c == 'y' || c == 'M' || c == 'd') {
            if (runs < pieces.size()) {
                out += pieces[runs];
            }
            ++runs;
        } else if (c == 'm') {
            out += small(t.minute, longRun);
        } else if (c == 's') {
            out += small(t.second, longRun);
        } else if (c == 't') {
            if (twelve) {
                out += t.hour >= 12 ? "PM" : "AM";
            } else {
                while (!out.empty() && (out.back() == ' ' || out.back() == '\t')) {
                    out.pop_back();
                }
            }
        } else {
            out += c;
            j = i + 1;
        }
        i = j;
    }
    return out;
}

CTime randomTime(std::mt19937& rng) {
    std::uniform_int_distribution<int> year(1970, 2038), month(1, 12), day(1, 31), hour(0, 23),
        sixty(0, 59);
    return CTime(year(rng), month(rng), day(rng), hour(rng), sixty(rng), sixty(rng));
}

}  // namespace

TEST_F(TimeFormat, DefaultPictureWritesEveryFieldWithTwoDigits) {
    const CTime t(2013, 5, 7, 9, 3, 4);
    EXPECT_EQ(formatted(t, kDefault, 0), "2013-05-07 09:03:04");
    EXPECT_EQ(formatted(t, "yy/M/d H:m:s", 0), "13-5-7 9:3:4");
    EXPECT_EQ(formatted(t, "yy/M/d H:m:s", 1), "13/5/7 9:3:4");
    EXPECT_EQ(formatted(CTime(2013, 12, 17, 19, 33, 44), "yy/M/d H:m:s", 0), "13-12-17 19:33:44");
    EXPECT_EQ(formatted(CTime(2005, 1, 1, 0, 0, 0), "y", 0), "05");
}

TEST_F(TimeFormat, TwelveHourPictureUnderEachMask) {
    const CTime afternoon(2013, 5, 7, 15, 3, 4);
    const char* picture = "MM/dd/yyyy hh:mm:ss tt";
    EXPECT_EQ(formatted(afternoon, picture, 7), "05/07/2013 03:03:04 PM");
    EXPECT_EQ(formatted(afternoon, picture, 3), "05/07/2013 15:03:04");
    EXPECT_EQ(formatted(afternoon, picture, 6), "05-07-2013 03:03:04 PM");
    // Without bit 2 the process-wide order (ymd) puts the year in the first date run.
    EXPECT_EQ(formatted(afternoon, picture, 5), "2013/05/07 03:03:04 PM");
    EXPECT_EQ(formatted(afternoon, picture, 0), "2013-05-07 15:03:04");

    EXPECT_EQ(formatted(CTime(2013, 5, 7, 0, 5, 0), "h:mm tt", 4), "12:05 AM");
    EXPECT_EQ(formatted(CTime(2013, 5, 7, 12, 5, 0), "h:mm tt", 4), "12:05 PM");
    EXPECT_EQ(formatted(CTime(2013, 5, 7, 11, 59, 59), "h:mm tt", 4), "11:59 AM");
    EXPECT_EQ(formatted(CTime(2013, 5, 7, 23, 0, 0), "h:mm tt", 4), "11:00 PM");
    // Every blank before a removed "t" goes, however many.
    EXPECT_EQ(formatted(afternoon, "HH \t  tt|", 0), "15|");
    EXPECT_EQ(formatted(afternoon, "HH t t", 0), "15");
}

TEST_F(TimeFormat, DatePiecesFollowTheRunsWhateverTheirLetters) {
    const CTime t(2013, 5, 7, 9, 3, 4);
    EXPECT_EQ(formatted(t, "yyyy-MM", 1), "2013-05");
    EXPECT_EQ(formatted(t, "MM/yyyy", 1), "2013/05");  // ymd: year first
    EXPECT_EQ(formatted(t, "dd.MM", 1), "05.07");      // month and day, in ymd order
    EXPECT_EQ(formatted(t, "dd", 1), "07");
    EXPECT_EQ(formatted(t, "dd.MM.yyyy", 3), "07.05.2013");
    EXPECT_EQ(formatted(t, "yyMMdd", 0), "130507");
    // A fourth date run has no piece to write.
    EXPECT_EQ(formatted(t, "yyyy-MM-dd-yy|", 1), "2013-05-07-|");
    EXPECT_EQ(formatted(t, "yyyyMMddyyyyMMdd", 0), "20130507");
}

TEST_F(TimeFormat, EveryMaskOnSeveralPicturesAndSettings) {
    const char* pictures[] = {kDefault,          "MM/dd/yyyy hh:mm:ss tt", "dd.MM.yyyy H:m:s",
                              "yy/M/d h:m:s t",  "d-M-yyyy HH:mm",         "HH:mm:ss",
                              "yyyy.MM hh tt x", "MMddyy hhmmss"};
    const char* settings[] = {kDefault, "MM/dd/yyyy hh:mm:ss tt", "dd.MM.yyyy hh:mm"};
    std::mt19937 rng(5);
    LogCapture quiet;  // some pictures log an invalid date order
    for (const char* setting : settings) {
        CTime::setFormatString(setting);
        for (const char* picture : pictures) {
            for (int mask = 0; mask < 8; ++mask) {
                for (int i = 0; i < 50; ++i) {
                    const CTime t = randomTime(rng);
                    ASSERT_EQ(formatted(t, picture, mask),
                              modelFormat(t, picture, mask, CTime::getDateFormat(),
                                          CTime::getSeparator(), CTime::get12Hour()))
                        << setting << " | " << picture << " | mask " << mask;
                }
            }
        }
    }
}

TEST_F(TimeFormat, RandomPicturesMatchTheModel) {
    const char alphabet[] = "yyyyMMMdddHHhmmsstt-./ :x";
    std::mt19937 rng(77);
    std::uniform_int_distribution<int> letter(0, sizeof alphabet - 2), length(0, 70), mask(0, 7),
        flip(0, 1);
    LogCapture quiet;
    for (int i = 0; i < 20000; ++i) {
        std::string picture;
        for (int n = length(rng); n > 0; --n) {
            picture += alphabet[letter(rng)];
        }
        if (i % 1000 == 0) {
            CTime::setFormatString(flip(rng) ? "dd/MM/yyyy hh" : "MM.dd.yyyy");
        }
        const CTime t = randomTime(rng);
        const int m = mask(rng);
        ASSERT_EQ(formatted(t, picture.c_str(), m),
                  modelFormat(t, picture, m, CTime::getDateFormat(), CTime::getSeparator(),
                              CTime::get12Hour()))
            << '"' << picture << "\" mask " << m;
    }
}

TEST_F(TimeFormat, FieldsOutOfRangeAreWrittenModuloTheirWidth) {
    CTime wild;
    wild.year = 12345;
    wild.month = 123;
    wild.day = -7;
    wild.hour = INT_MIN;
    wild.minute = INT_MAX;
    wild.second = 60;
    const std::string text = formatted(wild, "yyyy M d HH:mm:ss", 1);
    EXPECT_EQ(text.substr(0, 5), "2345 ");
    EXPECT_EQ(text.size(), std::strlen("yyyy MM dd HH:mm:ss"));
    EXPECT_EQ(text.substr(text.size() - 2), "60");
}

TEST_F(TimeFormat, BoundedFormNeverWritesPastItsSize) {
    LogCapture quiet;
    const CTime t(2013, 5, 7, 15, 3, 4);
    // Short and long pictures (the long ones take a different path), with blanks to drop.
    const char* pictures[] = {
        kDefault,
        "MM/dd/yyyy hh:mm:ss tt",
        "ab   tt   cd   t",
        "",
        "yyyyyyyyyy y y y y",
        "yyyy-MM-dd HH:mm:ss tt  |  yyyy-MM-dd HH:mm:ss tt  |  HH:mm:ss       t",
        "h h h h h h h h h h h h h h h h h h h h h h h h h h h h h h t"};
    for (const char* picture : pictures) {
        for (int mask : {0, 7}) {
            const std::string full = formatted(t, picture, mask);
            for (std::size_t size = 0; size <= full.size() + 2; ++size) {
                std::vector<char> buffer(size + 8, '#');
                const bool whole = t.format(buffer.data(), size, picture, mask);
                EXPECT_EQ(whole, size > full.size()) << picture << ' ' << size;
                for (std::size_t i = size; i < buffer.size(); ++i) {
                    ASSERT_EQ(buffer[i], '#') << picture << " size " << size << " byte " << i;
                }
                if (size > 0) {
                    const std::string got(buffer.data());
                    EXPECT_EQ(got, full.substr(0, size - 1)) << picture << ' ' << size;
                }
            }
        }
    }
}

TEST_F(TimeFormat, UnboundedFormStaysWithinItsDocumentedRoom) {
    // The worst case per picture character: one-letter date runs that take a four-digit year.
    const CTime t(2013, 5, 7, 15, 3, 4);
    for (const char* picture : {"y y y", "yyy", "t", "h", "M", "ttt", "yMd", "-"}) {
        const std::size_t room = 4 * std::strlen(picture) + 1;
        std::vector<char> buffer(room + 8, '#');
        t.format(buffer.data(), picture, 0);
        EXPECT_LT(std::strlen(buffer.data()), room) << picture;
        for (std::size_t i = room; i < buffer.size(); ++i) {
            EXPECT_EQ(buffer[i], '#');
        }
    }
    // Three y make a four-digit year; no month or day letters, so the other runs write nothing.
    EXPECT_EQ(formatted(t, "y y y", 1), "2013  ");
}

TEST_F(TimeFormat, NullArgumentsAreLoggedNotFollowed) {
    LogCapture log;
    const CTime t(2013, 5, 7, 15, 3, 4);
    t.format(nullptr, kDefault, 0);
    EXPECT_TRUE(log.contains("buf is NULL!!\n"));
    EXPECT_TRUE(log.contains("tid:"));
    char buffer[8] = "xxxxxxx";
    t.format(buffer, nullptr, 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_TRUE(log.contains("format is NULL!!\n"));
    EXPECT_FALSE(t.format(nullptr, 10, kDefault, 0));
    EXPECT_FALSE(t.format(buffer, 0, kDefault, 0));
    EXPECT_FALSE(t.format(buffer, sizeof buffer, nullptr, 0));
}

TEST_F(TimeFormat, SettingsAreDerivedFromTheFormat) {
    EXPECT_EQ(CTime::getFormat(), flex_string(kDefault));
    EXPECT_EQ(CTime::getSeparator(), '-');
    EXPECT_EQ(CTime::getDateFormat(), CTime::ymd);
    EXPECT_FALSE(CTime::get12Hour());

    CTime::setFormatString("MM/dd/yyyy hh:mm:ss tt");
    EXPECT_EQ(CTime::getSeparator(), '/');
    EXPECT_EQ(CTime::getDateFormat(), CTime::mdy);
    EXPECT_TRUE(CTime::get12Hour());
    EXPECT_EQ(formatted(CTime(2013, 5, 7, 15, 3, 4), kDefault, 0), "05/07/2013 03:03:04");

    CTime::setFormat(flex_string("dd.MM/yyyy"));  // a full stop wins over a slash
    EXPECT_EQ(CTime::getSeparator(), '.');
    EXPECT_EQ(CTime::getDateFormat(), CTime::dmy);
    EXPECT_FALSE(CTime::get12Hour());
    EXPECT_EQ(CTime::getFormat(), flex_string("dd.MM/yyyy"));

    {
        LogCapture log;
        CTime::setFormatString("HH:mm");
        EXPECT_TRUE(log.contains("tid:" /* prefix */));
        EXPECT_TRUE(log.contains("setFormat separator is invalid,set default separator: - \n"));
        EXPECT_TRUE(log.contains("setFormat dateFormat is invalid,set default separator: ymd \n"));
    }
    EXPECT_EQ(CTime::getSeparator(), '-');
    EXPECT_EQ(CTime::getDateFormat(), CTime::ymd);

    LogCapture log;
    CTime::setFormatString(nullptr);
    EXPECT_EQ(CTime::getFormat(), flex_string(""));
    EXPECT_TRUE(log.contains("separator is invalid"));
    CTime::setFormatString("yyyy-dd-MM");  // y, d, M: no known order
    EXPECT_EQ(CTime::getDateFormat(), CTime::ymd);
    EXPECT_EQ(CTime::getSeparator(), '-');
}

TEST_F(TimeFormat, OrderFromAnInvalidPictureIsLoggedAndYearFirst) {
    LogCapture log;
    EXPECT_EQ(formatted(CTime(2013, 5, 7, 0, 0, 0), "MM-yyyy", 3), "2013-05");
    EXPECT_TRUE(log.contains("setFormat dateFormat is invalid,set default separator: ymd \n"));
}

TEST_F(TimeFormat, FormattingWhileTheSettingsChangeSeesOneSetOrTheOther) {
    const CTime t(2013, 5, 7, 15, 3, 4);
    const std::string a = "2013-05-07 15:03:04";
    const std::string b = "05/07/2013 03:03:04";
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop.load(); ++i) {
            CTime::setFormatString(i % 2 ? "MM/dd/yyyy hh:mm:ss" : kDefault);
        }
    });
    int mixed = 0;
    for (int i = 0; i < 20000; ++i) {
        char buffer[64];
        t.format(buffer, sizeof buffer, kDefault, 0);
        if (buffer != a && buffer != b) {
            ++mixed;
        }
        (void)CTime::getFormat();
    }
    stop = true;
    writer.join();
    EXPECT_EQ(mixed, 0);
}
