// Version records, the application date, the library's own record and the include-version
// registry.
#include "infra/Version.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "infra/Function.h"
#include "infra/PrintLog.h"
#include "infra3/core/CheckIncludeVersion.h"
#include "support/LogCapture.h"

using Tovix::Infra::CVersion;
using Tovix::Infra::SystemTime;
using Tovix::Infra::TFunction1;
using Tovix::Infra::Detail::CCheckIncludeVersion;
using Tovix::Infra::Detail::CCheckIncludeVersionInter;
using Tovix::Infra::Detail::IncludeVersionEntry;
using Tovix::Infra::Detail::IncludeVersionTable;

// How "%p" text begins: "0x" with the GNU C library, bare hex digits with the Windows runtimes.
#if defined(_WIN32)
#define TEST_POINTER_PREFIX ""
#else
#define TEST_POINTER_PREFIX "0x"
#endif

namespace {

using TestSupport::LogCapture;

// Shows info lines while it lives.
class InfoLevel {
public:
    InfoLevel() { Tovix::Infra::setPrintLogLevel(4); }
    ~InfoLevel() { Tovix::Infra::setPrintLogLevel(3); }
};

int svnOf(const char* text) {
    return CVersion("x", 0, 0, 0, text, "Jan  1 2000").svn;
}

TEST(VersionTest, RevisionTextGivesTheNumber) {
    EXPECT_EQ(svnOf("1234"), 1234);
    EXPECT_EQ(svnOf("$Rev: 1234 $"), 1234);
    EXPECT_EQ(svnOf("$Revision:99$"), 99);
    EXPECT_EQ(svnOf("12M"), 12);
    EXPECT_EQ(svnOf("no number"), 0);
    EXPECT_EQ(svnOf(""), 0);
    EXPECT_EQ(svnOf(" 42"), 0);  // neither a digit nor a keyword first
    EXPECT_EQ(svnOf(nullptr), 0);
    EXPECT_EQ(svnOf("99999999999999999999"), 2147483647);
}

TEST(VersionTest, DateTextGivesYearMonthDay) {
    const CVersion v("Lib", 1, 2, 3, "7", "Mar  6 2019");
    EXPECT_EQ(v.date.year, 2019);
    EXPECT_EQ(v.date.month, 3);
    EXPECT_EQ(v.date.day, 6);
    EXPECT_EQ(v.date.wday, 0);
    EXPECT_EQ(v.date.hour, 0);
    EXPECT_EQ(v.date.minute, 0);
    EXPECT_EQ(v.date.second, 0);
    EXPECT_EQ(v.date.isdst, 0);
    EXPECT_EQ(v.major, 1);
    EXPECT_EQ(v.minor, 2);
    EXPECT_EQ(v.revision, 3);
    EXPECT_EQ(v.svn, 7);

    const CVersion dec("Lib", 0, 0, 0, "", "Dec 31 1999");
    EXPECT_EQ(dec.date.month, 12);
    const CVersion unknown("Lib", 0, 0, 0, "", "Foo 12 2020");
    EXPECT_EQ(unknown.date.month, 13);
    EXPECT_EQ(unknown.date.day, 12);
    EXPECT_EQ(unknown.date.year, 2020);
    const CVersion shortText("Lib", 0, 0, 0, "", "Ma");
    EXPECT_EQ(shortText.date.month, 13);
    EXPECT_EQ(shortText.date.day, 0);
    EXPECT_EQ(shortText.date.year, 0);
    const CVersion noDate("Lib", 0, 0, 0, "", nullptr);
    EXPECT_EQ(noDate.date.month, 13);
    const CVersion dayOnly("Lib", 0, 0, 0, "", "Jun 5");
    EXPECT_EQ(dayOnly.date.day, 5);
    EXPECT_EQ(dayOnly.date.year, 0);
}

TEST(VersionTest, NameIsCutTo31Characters) {
    const std::string longName(40, 'n');
    const CVersion v(longName.c_str(), 0, 0, 0, "", "");
    EXPECT_EQ(std::string(v.name), std::string(31, 'n'));
    const CVersion none(nullptr, 0, 0, 0, "", "");
    EXPECT_STREQ(none.name, "");
    // Copying is a plain copy.
    CVersion copy = v;
    EXPECT_EQ(std::string(copy.name), std::string(31, 'n'));
}

TEST(VersionTest, PrintLogsOneLineAtInfoLevel) {
    const CVersion v("MyLib", 2, 1, 0, "$Rev: 321 $", "Mar  6 2019");
    LogCapture capture;
    v.print();
    EXPECT_EQ(capture.text(), "");  // the start print level hides info
    InfoLevel info;
    v.print();
    EXPECT_TRUE(capture.contains("[*] MyLib 2.1.0.321 Built in 2019/ 3/ 6 [*]\n"))
        << capture.text();
}

TEST(VersionTest, AppDateStartsAtTheMinimumTimeAndIsSetFromDateText) {
    const SystemTime saved = CVersion::appDate;
    EXPECT_EQ(saved.year, 2000);
    EXPECT_EQ(saved.month, 1);
    EXPECT_EQ(saved.day, 1);
    EXPECT_EQ(saved.wday, 6);
    EXPECT_EQ(saved.hour, 0);
    EXPECT_EQ(saved.isdst, -1);

    CVersion::setAppDate("Mar  6 2019");
    EXPECT_EQ(CVersion::appDate.year, 2019);
    EXPECT_EQ(CVersion::appDate.month, 3);
    EXPECT_EQ(CVersion::appDate.day, 6);
    EXPECT_EQ(CVersion::appDate.wday, 6);  // other fields keep their values
    EXPECT_EQ(CVersion::appDate.isdst, -1);

    // Missing numbers leave their fields alone.
    CVersion::setAppDate("Bad");
    EXPECT_EQ(CVersion::appDate.month, 13);
    EXPECT_EQ(CVersion::appDate.day, 6);
    EXPECT_EQ(CVersion::appDate.year, 2019);
    CVersion::appDate = saved;
}

TEST(VersionTest, LibraryRecordIsBuiltAtLoad) {
    const CVersion& v = Tovix::Infra::Detail::libraryVersion();
    EXPECT_STREQ(v.name, "Rided2");
    EXPECT_EQ(v.major, 1);
    EXPECT_EQ(v.minor, 0);
    EXPECT_EQ(v.revision, 0);
    EXPECT_EQ(v.svn, 0);
    EXPECT_EQ(v.date.year, 2019);
    EXPECT_EQ(v.date.month, 3);
    EXPECT_EQ(v.date.day, 6);
    EXPECT_EQ(&v, &Tovix::Infra::Detail::libraryVersion());
}

IncludeVersionTable table(const char* name, const IncludeVersionEntry* entries, int count) {
    return IncludeVersionTable{name, entries, count};
}

TEST(IncludeVersionTest, ConflictingVersionsFailTheLaterTable) {
    CCheckIncludeVersionInter registry;
    const IncludeVersionEntry first[] = {{"A.h", "3"}, {"B.h", "1"}};
    const IncludeVersionEntry second[] = {{"C.h", "2"}, {"A.h", "4"}};
    LogCapture capture;
    EXPECT_TRUE(registry.check(table("First", first, 2)));
    EXPECT_FALSE(registry.check(table("Second", second, 2)));
    const std::string text = capture.text();
    EXPECT_NE(text.find("check include version failed\n"), std::string::npos) << text;
    const std::size_t earlier = text.find("First A.h 3\n");
    const std::size_t later = text.find("Second A.h 4\n");
    ASSERT_NE(earlier, std::string::npos) << text;
    ASSERT_NE(later, std::string::npos) << text;
    EXPECT_LT(earlier, later);
    EXPECT_NE(text.find("] this:" TEST_POINTER_PREFIX), std::string::npos) << text;
    EXPECT_EQ(text.find("B.h"), std::string::npos);  // info lines stay hidden at level 3
}

TEST(IncludeVersionTest, DisjointAndAgreeingTablesPass) {
    CCheckIncludeVersionInter registry;
    const IncludeVersionEntry a[] = {{"A.h", "3"}};
    const IncludeVersionEntry b[] = {{"B.h", "9"}};
    const IncludeVersionEntry c[] = {{"A.h", "3"}, {"B.h", "9"}, {"C.h", "0"}};
    LogCapture capture;
    EXPECT_TRUE(registry.check(table("A", a, 1)));
    EXPECT_TRUE(registry.check(table("B", b, 1)));
    EXPECT_TRUE(registry.check(table("C", c, 3)));
    EXPECT_TRUE(registry.check(table("Empty", nullptr, 5)));
    EXPECT_EQ(capture.text(), "");
}

TEST(IncludeVersionTest, InvalidVersionsFailAndTheTableIsKept) {
    CCheckIncludeVersionInter registry;
    const IncludeVersionEntry bad[] = {{"A.h", ""}, {"B.h", "1.2"}, {"C.h", "7"}};
    const IncludeVersionEntry later[] = {{"C.h", "8"}};
    LogCapture capture;
    EXPECT_FALSE(registry.check(table("Bad", bad, 3)));
    std::string text = capture.text();
    EXPECT_NE(text.find("Bad version error\n"), std::string::npos) << text;
    EXPECT_NE(text.find("A.h \n"), std::string::npos) << text;
    EXPECT_NE(text.find("B.h 1.2\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("C.h 7"), std::string::npos) << text;
    // The invalid table still takes part in later comparisons.
    EXPECT_FALSE(registry.check(table("Later", later, 1)));
    text = capture.text();
    EXPECT_NE(text.find("Bad C.h 7\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Later C.h 8\n"), std::string::npos) << text;
}

TEST(IncludeVersionTest, ComparisonStopsAtTheFirstConflictingTable) {
    CCheckIncludeVersionInter registry;
    const IncludeVersionEntry one[] = {{"A.h", "1"}};
    const IncludeVersionEntry two[] = {{"B.h", "1"}};
    const IncludeVersionEntry both[] = {{"A.h", "2"}, {"B.h", "2"}};
    EXPECT_TRUE(registry.check(table("One", one, 1)));
    EXPECT_TRUE(registry.check(table("Two", two, 1)));
    LogCapture capture;
    EXPECT_FALSE(registry.check(table("Both", both, 2)));
    const std::string text = capture.text();
    EXPECT_NE(text.find("One A.h 1\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("Two B.h 1\n"), std::string::npos) << text;
}

TEST(IncludeVersionTest, CheckLogsTheTableAtInfoLevel) {
    CCheckIncludeVersionInter registry;
    const IncludeVersionEntry entries[] = {{"A.h", "3"}, {"B.h", "4"}};
    LogCapture capture;
    InfoLevel info;
    EXPECT_TRUE(registry.check(table("Shown", entries, 2)));
    const std::string text = capture.text();
    EXPECT_NE(text.find("check include version:Shown\n"), std::string::npos) << text;
    EXPECT_LT(text.find("A.h 3\n"), text.find("B.h 4\n"));
}

TEST(IncludeVersionTest, LibraryTableIsCheckedAtLoad) {
    const IncludeVersionEntry mine[] = {{"Defs.h", "999999"}};
    LogCapture capture;
    const CCheckIncludeVersion checker(table("Consumer", mine, 1));
    EXPECT_FALSE(checker.passed());
    const std::string text = capture.text();
    EXPECT_NE(text.find("Infra Defs.h "), std::string::npos) << text;
    EXPECT_NE(text.find("Consumer Defs.h 999999\n"), std::string::npos) << text;
    EXPECT_NE(text.find("check include version failed, assert\n"), std::string::npos) << text;
    EXPECT_EQ(CCheckIncludeVersionInter::instance(), CCheckIncludeVersionInter::instance());
}

}  // namespace
