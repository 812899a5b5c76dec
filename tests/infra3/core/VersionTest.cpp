// Version records, the application date, the library's own record and the include-version
// registry.
#include "infra/Version.h"

#include <gtest/gtest.h>

#include <string>

#include "infra/PrintLog.h"
#include "infra3/core/CheckIncludeVersion.h"
#include "support/LogCapture.h"

namespace {

using TestSupport::LogCapture;
using Tovix::Infra::CVersion;
using Tovix::Infra::Detail::CCheckIncludeVersionInter;
using Tovix::Infra::Detail::IncludeVersionEntry;
using Tovix::Infra::Detail::IncludeVersionTable;

// "svn" and date text, "svn y-m-d" of the record built from them.
struct Reading {
    const char* svn;
    const char* date;
    const char* expected;
};

TEST(VersionTest, RevisionAndDateTextsAreRead) {
    const Reading readings[] = {{"1234", "Mar  6 2019", "1234 2019-3-6"},
                                {"$Rev: 1234 $", "Dec 31 1999", "1234 1999-12-31"},
                                {"$Revision:99$", "Jan  1 2000", "99 2000-1-1"},
                                {"12M", "Foo 12 2020", "12 2020-13-12"},
                                {"no number", "Ma", "0 0-13-0"},
                                {" 42", "Jun 5", "0 0-6-5"},
                                {nullptr, nullptr, "0 0-13-0"},
                                {"99999999999999999999", "", "2147483647 0-13-0"}};
    for (const Reading& r : readings) {
        const CVersion v("Lib", 1, 2, 3, r.svn, r.date);
        EXPECT_EQ(r.expected, std::to_string(v.svn) + " " + std::to_string(v.date.year) + "-" +
                                  std::to_string(v.date.month) + "-" + std::to_string(v.date.day));
        EXPECT_EQ(0, v.date.hour + v.date.wday + v.date.isdst);
    }
    const CVersion cut(std::string(40, 'n').c_str(), 0, 0, 0, "", "");
    EXPECT_EQ(std::string(31, 'n'), CVersion(cut).name);  // cut to 31; copies are plain copies
    EXPECT_STREQ("", CVersion(nullptr, 0, 0, 0, "", "").name);
}

TEST(VersionTest, PrintLogsOneLineAtInfoLevel) {
    const CVersion v("MyLib", 2, 1, 0, "$Rev: 321 $", "Mar  6 2019");
    LogCapture capture;
    v.print();
    EXPECT_EQ("", capture.text());  // the start print level hides info
    Tovix::Infra::setPrintLogLevel(4);
    v.print();
    Tovix::Infra::setPrintLogLevel(3);
    EXPECT_TRUE(capture.contains("[*] MyLib 2.1.0.321 Built in 2019/ 3/ 6 [*]\n"))
        << capture.text();
}

TEST(VersionTest, AppDateStartsAtTheMinimumTimeAndTakesTheDateText) {
    const Tovix::Infra::SystemTime saved = CVersion::appDate;
    EXPECT_EQ(2000, saved.year);
    EXPECT_EQ(1, saved.month + saved.hour);
    EXPECT_EQ(6, saved.wday);
    EXPECT_EQ(-1, saved.isdst);
    CVersion::setAppDate("Mar  6 2019");
    EXPECT_EQ(2019 * 10000 + 306, CVersion::appDate.year * 10000 + CVersion::appDate.month * 100 +
                                      CVersion::appDate.day);
    EXPECT_EQ(6, CVersion::appDate.wday);  // other fields keep their values
    CVersion::setAppDate("Bad");           // missing numbers leave their fields alone
    EXPECT_EQ(2019 * 10000 + 1306, CVersion::appDate.year * 10000 + CVersion::appDate.month * 100 +
                                       CVersion::appDate.day);
    CVersion::appDate = saved;
    const CVersion& library = Tovix::Infra::Detail::libraryVersion();
    EXPECT_STREQ("Rided2", library.name);
    EXPECT_EQ(1000,
              library.major * 1000 + library.minor * 100 + library.revision * 10 + library.svn);
    EXPECT_EQ(20190306, library.date.year * 10000 + library.date.month * 100 + library.date.day);
}

IncludeVersionTable table(const char* name, const IncludeVersionEntry* entries, int count) {
    return IncludeVersionTable{name, entries, count};
}

TEST(IncludeVersionTest, ConflictsAndInvalidVersionsFailAndEveryTableIsKept) {
    CCheckIncludeVersionInter registry;
    const IncludeVersionEntry first[] = {{"A.h", "3"}, {"B.h", "1"}};
    const IncludeVersionEntry agreeing[] = {{"A.h", "3"}, {"C.h", "0"}};
    const IncludeVersionEntry bad[] = {{"D.h", ""}, {"E.h", "1.2"}, {"C.h", "7"}};
    const IncludeVersionEntry later[] = {{"C.h", "8"}, {"A.h", "4"}};
    LogCapture capture;
    EXPECT_TRUE(registry.check(table("First", first, 2)));
    EXPECT_TRUE(registry.check(table("Agreeing", agreeing, 2)));
    EXPECT_TRUE(registry.check(table("Empty", nullptr, 5)));
    EXPECT_EQ("", capture.text());  // the info lines stay hidden at level 3
    EXPECT_FALSE(registry.check(table("Bad", bad, 3)));
    EXPECT_TRUE(capture.contains("Bad version error\n") && capture.contains("D.h \n") &&
                capture.contains("E.h 1.2\n") && !capture.contains("C.h 7"))
        << capture.text();
    // Compared with the earlier tables in order, up to the first that conflicts ("First").
    EXPECT_FALSE(registry.check(table("Later", later, 2)));
    const std::string text = capture.text();
    EXPECT_NE(std::string::npos, text.find("check include version failed\n"));
    EXPECT_LT(text.find("First A.h 3\n"), text.find("Later A.h 4\n"));
    EXPECT_EQ(std::string::npos, text.find("Bad C.h 7\n"));
    EXPECT_NE(std::string::npos, text.find("] this:")) << text;
    // The invalid table itself still takes part.
    const IncludeVersionEntry seven[] = {{"C.h", "9"}};
    CCheckIncludeVersionInter second;
    EXPECT_FALSE(second.check(table("Bad", bad, 3)));
    EXPECT_FALSE(second.check(table("Nine", seven, 1)));
    EXPECT_TRUE(capture.contains("Bad C.h 7\n") && capture.contains("Nine C.h 9\n"));
}

TEST(IncludeVersionTest, CheckLogsTheTableAtInfoLevelAndTheLibraryTableIsKnown) {
    CCheckIncludeVersionInter registry;
    const IncludeVersionEntry entries[] = {{"A.h", "3"}, {"B.h", "4"}};
    LogCapture capture;
    Tovix::Infra::setPrintLogLevel(4);
    EXPECT_TRUE(registry.check(table("Shown", entries, 2)));
    Tovix::Infra::setPrintLogLevel(3);
    const std::string text = capture.text();
    EXPECT_LT(text.find("check include version:Shown\n"), text.find("A.h 3\n"));
    EXPECT_LT(text.find("A.h 3\n"), text.find("B.h 4\n"));
    const IncludeVersionEntry mine[] = {{"Defs.h", "999999"}};
    const Tovix::Infra::Detail::CCheckIncludeVersion checker(table("Consumer", mine, 1));
    EXPECT_FALSE(checker.passed());
    EXPECT_TRUE(capture.contains("Infra Defs.h ") && capture.contains("Consumer Defs.h 999999\n") &&
                capture.contains("check include version failed, assert\n"))
        << capture.text();
}

}  // namespace
