// Version records, the application date, the library's own record and the include-version
// registry.
#include "infra/Version.h"

#include <gtest/gtest.h>

#include <string>

#include "infra/PrintLog.h"
#include "infra3/core/CheckIncludeVersion.h"
#include "support/LogCapture.h"

namespace {

using Tovix::Infra::CVersion;
using Tovix::Infra::Detail::IncludeVersionEntry;
using Tovix::Infra::Detail::IncludeVersionTable;

std::string svnAndDate(const CVersion& v) {
    return std::to_string(v.svn) + " " + std::to_string(v.date.year) + "-" +
           std::to_string(v.date.month) + "-" + std::to_string(v.date.day);
}

TEST(VersionTest, RevisionAndDateTextsAreReadAndPrintedAtInfoLevel) {
    const char* const readings[][3] = {{"1234", "Mar  6 2019", "1234 2019-3-6"},
                                       {"$Rev: 1234 $", "Dec 31 1999", "1234 1999-12-31"},
                                       {"12M", "Foo 12 2020", "12 2020-13-12"},
                                       {"no number", "Ma", "0 0-13-0"},
                                       {" 42", "Jun 5", "0 0-6-5"},
                                       {nullptr, nullptr, "0 0-13-0"}};
    for (const auto& r : readings) {
        EXPECT_EQ(r[2], svnAndDate(CVersion("Lib", 1, 2, 3, r[0], r[1])));
    }
    EXPECT_EQ(std::string(31, 'n'), CVersion(std::string(40, 'n').c_str(), 0, 0, 0, "", "").name);
    EXPECT_EQ("0 2019-3-6", svnAndDate(Tovix::Infra::Detail::libraryVersion()));
    EXPECT_STREQ("Rided2", Tovix::Infra::Detail::libraryVersion().name);
    TestSupport::LogCapture capture;
    const CVersion v("MyLib", 2, 1, 0, "$Rev: 321 $", "Mar  6 2019");
    v.print();
    EXPECT_EQ("", capture.text());  // the start print level hides info
    Tovix::Infra::setPrintLogLevel(4);
    v.print();
    Tovix::Infra::setPrintLogLevel(3);
    EXPECT_TRUE(capture.contains("[*] MyLib 2.1.0.321 Built in 2019/ 3/ 6 [*]\n"));
    const Tovix::Infra::SystemTime saved = CVersion::appDate;
    EXPECT_EQ(-1, saved.isdst);
    CVersion::setAppDate("Mar  6 2019");  // the other fields keep their values
    CVersion version("", 0, 0, 0, "", "");
    version.date = CVersion::appDate;
    EXPECT_EQ("0 2019-3-6 6", svnAndDate(version) + " " + std::to_string(version.date.wday));
    CVersion::appDate = saved;
}

IncludeVersionTable table(const char* name, const IncludeVersionEntry* entries, int count) {
    return IncludeVersionTable{name, entries, count};
}

TEST(IncludeVersionTest, ConflictsAndInvalidVersionsFailAndEveryTableIsKept) {
    Tovix::Infra::Detail::CCheckIncludeVersionInter registry;
    const IncludeVersionEntry first[] = {{"A.h", "3"}, {"B.h", "1"}};
    const IncludeVersionEntry agreeing[] = {{"A.h", "3"}, {"C.h", "0"}};
    const IncludeVersionEntry bad[] = {{"D.h", ""}, {"E.h", "1.2"}, {"C.h", "7"}};
    const IncludeVersionEntry later[] = {{"C.h", "8"}, {"A.h", "4"}};
    TestSupport::LogCapture capture;
    EXPECT_TRUE(registry.check(table("First", first, 2)));
    EXPECT_TRUE(registry.check(table("Agreeing", agreeing, 2)));
    EXPECT_EQ("", capture.text());  // the info lines stay hidden at level 3
    EXPECT_FALSE(registry.check(table("Bad", bad, 3)));
    EXPECT_TRUE(capture.contains("Bad version error\n") && capture.contains("D.h \n") &&
                capture.contains("E.h 1.2\n") && !capture.contains("C.h 7"));
    // Compared with the earlier tables in order, up to the first that conflicts ("First").
    Tovix::Infra::setPrintLogLevel(4);
    EXPECT_FALSE(registry.check(table("Later", later, 2)));
    Tovix::Infra::setPrintLogLevel(3);
    const std::string text = capture.text();
    EXPECT_LT(text.find("check include version:Later\n"), text.find("C.h 8\n"));
    EXPECT_LT(text.find("check include version failed\n"), text.find("First A.h 3\n"));
    EXPECT_LT(text.find("First A.h 3\n"), text.find("Later A.h 4\n"));
    EXPECT_EQ(std::string::npos, text.find("Bad C.h 7\n"));
    const IncludeVersionEntry nine[] = {{"E.h", "9"}};  // the invalid table takes part too
    EXPECT_FALSE(registry.check(table("Nine", nine, 1)));
    EXPECT_TRUE(capture.contains("Bad E.h 1.2\n") && capture.contains("Nine E.h 9\n"));
    const IncludeVersionEntry mine[] = {{"Defs.h", "999999"}};
    EXPECT_FALSE(Tovix::Infra::Detail::CCheckIncludeVersion(table("Consumer", mine, 1)).passed());
    EXPECT_TRUE(capture.contains("Consumer Defs.h 999999\n") &&
                capture.contains("check include version failed, assert\n"));
}

}  // namespace
