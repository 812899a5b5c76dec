// Time as text: writing by pictures and reading back, each against a plain model of the picture
// rules, plus the documented cases, the messages and the process-wide format settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
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
    const std::vector<std::string> pictures = {
        kDefault,
        "yyyy-MM-dd HH:mm:s",
        "MM/dd/yyyy hh:mm:ss tt",
        "MM/dd/yyyy hh:mm:ss t",
        "HH:mm tt",
        "HH:mm t",
        "yyyy-M-dd HH",
        "yyyy-MM-d HH",
        "yyyyMd",
        "yyyy-MM-yy|",
        "dd",
        "dd.MM.yy h:m:s",
        "yy/M/d H:m:s",
        "HH \t  tt|",
        "MM-yyyy",
        "y-M-d",
        "hh:mm:ss tt x",
        "",
        "yyyy-MM-dd HH:mm:ss tt | yyyy-MM-dd HH:mm:ss tt | HH:mm:ss    t"};
    const std::vector<std::string> formats = {kDefault,
                                              "MM/dd/yyyy hh:mm:ss tt",
                                              "dd.MM/yyyy hh:mm",
                                              "HH:mm",
                                              "y-M-d",
                                              "MM",
                                              "dd",
                                              "d-M",
                                              "yyyy-dd-MM",
                                              ""};
    std::thread([&] {  // a thread of its own: no pictures kept from other tests
        std::mt19937 rng(5);
        Settings s = settingsOf(kDefault);
        for (int i = 0; i < 30000; ++i) {
            if (i % 500 == 0) {  // the settings a format implies, and its messages
                LogCapture log;
                const std::string f = formats[(i / 500) % formats.size()];
                CTime::setFormatString(f.c_str());
                s = settingsOf(f);
                ASSERT_EQ(log.contains("setFormat dateFormat is invalid,set default separator: "
                                       "ymd \n"),
                          s.order < 0);
                ASSERT_EQ(
                    log.contains("setFormat separator is invalid,set default separator: - \n"),
                    f.find_first_of("-./") == f.npos);
                s.order = std::max(s.order, 0);
                ASSERT_EQ(CTime::getFormat(), flex_string(f.c_str()));
                ASSERT_EQ(int(CTime::getDateFormat()) + 2 * CTime::get12Hour(),
                          s.order + 2 * s.twelve);
                ASSERT_EQ(CTime::getSeparator(), s.separator) << f;
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

TEST_F(TimeText, DocumentedCasesAndArgumentsThatAreNotFollowed) {
    const CTime pm(2013, 5, 7, 15, 3, 4);
    EXPECT_EQ(formatted(CTime(2013, 5, 7, 9, 3, 4), "yy/M/d H:m:s", 1), "13/5/7 9:3:4");
    EXPECT_EQ(formatted(pm, "MM/dd/yyyy hh:mm:ss tt", 7), "05/07/2013 03:03:04 PM");
    EXPECT_EQ(formatted(pm, "MM/dd/yyyy hh:mm:ss tt", 3), "05/07/2013 15:03:04");
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

TEST_F(TimeText, FormattingWhileTheSettingsChangeSeesOneSetOrTheOther) {
    const CTime t(2013, 5, 7, 15, 3, 4);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop.load(); ++i) {
            CTime::setFormatString(i % 2 ? "MM/dd/yyyy hh:mm:ss" : kDefault);
        }
    });
    int mixed = 0;
    for (int i = 0; i < 20000; ++i) {
        const std::string text = formatted(t, kDefault, 0);
        mixed += text != "2013-05-07 15:03:04" && text != "05/07/2013 03:03:04";
        (void)CTime::getFormat();
    }
    stop = true;
    writer.join();
    EXPECT_EQ(mixed, 0);
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
    const std::vector<std::string> pictures = {"MM/dd/yyyy hh:mm:ss tt",
                                               "dd.MM.yyyy HH:mm:ss",
                                               "HH:mm:ss",
                                               "",
                                               "y M",
                                               "M d y",
                                               "hh",
                                               kDefault};
    LogCapture quiet;
    std::thread([&] {
        std::mt19937 rng(11);
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
    EXPECT_TRUE(log.contains("this:") &&
                log.contains("CTime parser input information is not enough.\n"));
    EXPECT_FALSE(t.parse("05/07/2013 13:03:04 PM", "MM/dd/yyyy hh:mm:ss tt", 0));
    EXPECT_TRUE(
        log.contains("CTime parser input hour format is not accord with real value format.\n"));
    EXPECT_FALSE(t.parse("05/07/2013 03:03:04", "MM/dd/yyyy hh:mm:ss tt", 0));
    EXPECT_TRUE(log.contains("12 hours time point is unclear.\n"));
}
