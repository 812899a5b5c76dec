// Setting the clock through the hooks (a recording clock setter: the machine's clock is never
// touched), modify procedures, zones. In declaration order: the procedure list only grows.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "infra/Error.h"
#include "infra/PrintLog.h"
#include "infra/Time.h"
#include "support/LogCapture.h"

using namespace Tovix::Infra;
using TestSupport::LogCapture;
using Events = std::vector<std::string>;

namespace {

const bool g_zoneSet = [] {  // eight hours east of Greenwich, no daylight saving
#if defined(_WIN32)
    return _putenv_s("TZ", "CST-8") == 0 && (_tzset(), true);  // "name, hours west", no rules
#else
    return setenv("TZ", "<+08>-8", 1) == 0 && (tzset(), true);
#endif
}();

// What the clock setter was asked and the modify procedures saw, in call order.
Events g_events;
bool g_setterFails = false;

Events takeEvents() {
    return std::exchange(g_events, Events());
}

std::string text(const SystemTimeEx& t) {
    char s[64];
    std::snprintf(s, sizeof s, "%d-%d-%d %d:%d:%d.%d w%d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second, t.millisecond, t.wday);
    return s;
}

bool recordingSetter(const SystemTimeEx& local) {
    g_events.push_back("set " + text(local));
    return !g_setterFails;
}

class TimeClock : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(g_zoneSet);
        m_previous = Detail::replaceLocalClockSetter(&recordingSetter);
        takeEvents();
        setLastError(0);
    }
    void TearDown() override {
        Detail::replaceLocalClockSetter(m_previous);
        g_setterFails = false;
    }
    Detail::LocalClockSetter m_previous = nullptr;
};

template <int N>  // modify procedures; the third attaches the fourth the first time it runs
bool proc(SystemTime t) {
    static bool attached = false;
    if (N == 3 && !attached) {
        attached = true;
        CTime::attachModifyProc(CTime::ModifyProc(&proc<4>));
    }
    g_events.push_back("p" + std::to_string(N) + " " + std::to_string(t.year));
    return N % 2 == 0;
}

}  // namespace

TEST_F(TimeClock, BuiltInProcedureClampsSkipsWithinToleranceAndLogs) {
    LogCapture log;
    const int level = getPrintLogLevel();
    setPrintLogLevel(4);  // an information line
    CTime::setCurrentTime(CTime(2020, 6, 1, 12, 0, 0), 0);
    setPrintLogLevel(level);
    EXPECT_TRUE(log.contains("CTime::setCurrentTime() success without callback function\n"));
    CTime::setCurrentTime(CTime(1999, 12, 31, 23, 0, 0), 0);
    CTime::setCurrentTime(CTime(2040, 6, 1, 0, 0, 0), 0);
    const CTime now = CTime::getCurrentTime();
    CTime::setCurrentTime(now + 3, 5);  // within the tolerance: skipped
    CTime::setCurrentTime(now - 3, 5);
    CTime::setCurrentTime(now + 3600, 5);
    CTime::setCurrentTime(now + 3, -5);  // a negative tolerance never skips
    const SystemTimeEx ex = {2021, 2, 29, 6, 10, 20, 30, 5000, {9, 9, 9, 9}};  // no 29 Feb 2021
    EXPECT_TRUE(CTime::setCurrentTime(ex, 0) && getLastError() == 0);
    const Events events = takeEvents();
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[0] + events[1] + events[2] + events[5],
              "set 2020-6-1 12:0:0.0 w0set 2000-1-1 0:0:0.0 w0set 2038-1-1 0:0:0.0 w0"
              "set 2021-2-28 10:20:30.999 w0");
}

// A failed set leaves its code in the last error only; a later success keeps the caller's code.
// A hook that refuses makes the set fail too. Hooks replace the built-in procedures, which stay
// callable through the hook returned, and an empty hook brings them back.
TEST_F(TimeClock, HooksAndFailuresReportThroughTheLastError) {
    LogCapture log;
    g_setterFails = true;
    CTime::setCurrentTime(CTime(2020, 6, 1, 12, 0, 0), 0);
    EXPECT_EQ(getLastError(), CTime::errorSetTimeFailed);
    const SystemTimeEx ex = {2013, 5, 7, 0, 15, 3, 4, 250, {1, 2, 3, 4}};
    setLastError(0);
    EXPECT_FALSE(CTime::setCurrentTime(ex, 0) || log.contains("success without callback"));
    g_setterFails = false;
    EXPECT_TRUE(CTime::setCurrentTimeEx(CTime(2020, 6, 1, 12, 0, 0), 0));
    EXPECT_EQ(getLastError(), 0x1000000E);  // a success keeps the caller's earlier code
    static CTime::SetTimeHook previous;
    void (*const hook)(const CTime&, int) = [](const CTime& t, int tolerance) {
        g_events.push_back("hook " + std::to_string(t.day) + " " + std::to_string(t.hour) + " w" +
                           std::to_string(t.wday) + " " + std::to_string(tolerance));
        previous(t, tolerance);  // the built-in procedure stays callable
    };
    previous = CTime::attachSetCurrentTimeHook(CTime::SetTimeHook(hook));
    CTime raw;  // out of range: the hook gets the fields clamped, the weekday computed
    raw.year = 2013, raw.month = 4, raw.day = 31, raw.hour = 25;
    CTime::setCurrentTime(raw, 7);
    EXPECT_TRUE(CTime::attachSetCurrentTimeHook(CTime::SetTimeHook()) == CTime::SetTimeHook(hook));
    void (*const refuse)(const SystemTimeEx&, int) = [](const SystemTimeEx& t, int tolerance) {
        g_events.push_back("refuse " + text(t) + " " + std::to_string(t.reserved[3] + tolerance));
        setLastError(CTime::errorSetTimeRefused);
    };
    const auto previousEx = CTime::attachSetCurrentTimeHookEx(CTime::SetTimeHookEx(refuse));
    EXPECT_FALSE(CTime::setCurrentTime(ex, 3));
    CTime::attachSetCurrentTimeHookEx(previousEx);
    CTime::setCurrentTime(raw, 0);  // the built-in procedures again
    EXPECT_EQ(takeEvents(),
              (Events{"set 2020-6-1 12:0:0.0 w0", "set 2013-5-7 15:3:4.250 w0",
                      "set 2020-6-1 12:0:0.0 w0", "hook 30 23 w2 7", "set 2013-4-30 23:59:59.0 w0",
                      "refuse 2013-5-7 15:3:4.250 w2 3", "set 2013-4-30 23:59:59.0 w0"}));
}

TEST_F(TimeClock, ModifyProceduresRunInOrderAfterTheClockIsSet) {
    // An empty procedure is attached too, and never called; duplicates are kept.
    for (const CTime::ModifyProc& p :
         {CTime::ModifyProc(), CTime::ModifyProc(&proc<1>), CTime::ModifyProc(&proc<2>),
          CTime::ModifyProc(&proc<1>), CTime::ModifyProc(&proc<3>)}) {
        EXPECT_TRUE(CTime::attachModifyProc(p));
    }
    LogCapture log;
    CTime::setCurrentTime(CTime(2030, 3, 4, 5, 6, 7), 0);
    EXPECT_FALSE(log.contains("without callback"));
    EXPECT_EQ(takeEvents(),
              (Events{"set 2030-3-4 5:6:7.0 w0", "p1 2030", "p2 2030", "p1 2030", "p3 2030"}));
    // One attached during a set runs from the next set on; a skipped or failed set calls none.
    CTime::setCurrentTime(CTime(1990, 1, 1, 0, 0, 0), 0);
    EXPECT_EQ(takeEvents(), (Events{"set 2000-1-1 0:0:0.0 w0", "p1 2000", "p2 2000", "p1 2000",
                                    "p3 2000", "p4 2000"}));
    CTime::setCurrentTime(CTime::getCurrentTime(), 100);
    g_setterFails = true;
    CTime::setCurrentTime(CTime(2030, 3, 4, 5, 6, 7), 0);
    EXPECT_EQ(takeEvents().size(), 1u);
}

TEST_F(TimeClock, EmbeddedZoneDaylightZoneTableAndDisablingTheZone) {
    CTime::UTCTimeDef out = {1, 2, 3};
    EXPECT_FALSE(CTime::getUTCForEmbed(out) || CTime::getDst() != -1);
    EXPECT_TRUE(CTime::setTimeZone(28800));
    EXPECT_FALSE(CTime::getUTCForEmbed(out) || out.utc != 1);
    EXPECT_FALSE(CTime::setTimeZone(50401) || CTime::setTimeZone(-43201));
    EXPECT_TRUE(CTime::setDst(true) && CTime::getDst() == 1);
    const unsigned long long before = CTime::timeToSeconds(CTime::getCurrentTime());
    ASSERT_TRUE(CTime::getUTCForEmbed(out));
    const unsigned long long after = CTime::timeToSeconds(CTime::getCurrentTime());
    EXPECT_TRUE(out.utc >= before - 32400 && out.utc <= after - 32400 && out.timeZone == 28800 &&
                out.dst == 1);
    EXPECT_TRUE(CTime::setDst(false) && CTime::setTimeZone(50400) && CTime::setTimeZone(-43200));
    ASSERT_TRUE(CTime::getUTCForEmbed(out));
    EXPECT_TRUE(out.utc >= before + 43200 && out.timeZone == -43200 && out.dst == 0);
    EXPECT_EQ(CTime::getTimeZone(), -28800L);  // the embedded zone is not the zone offset

    const int rows[][2] = {{0, 0},      {4, 12600},   {9, 20700},   {13, 28800}, {19, 46800},
                           {20, -3600}, {32, -43200}, {33, -16200}, {34, 37800}, {35, 50400}};
    for (const auto& row : rows) {
        EXPECT_EQ(CTime::getTimeZonefromTable(row[0]), row[1]) << row[0];
    }
    LogCapture log;
    EXPECT_EQ(CTime::getTimeZonefromTable(36) | CTime::getTimeZonefromTable(-1), 0);
    EXPECT_TRUE(log.contains("CTime::getTimeZonefromTable, zoneIndex error : 36\n") &&
                log.contains("zoneIndex error : -1\n"));
    // Messages name their source from the source root, not by the build machine's folders
    // (a compiler cache may hand the compiler a relative path: "../../src/...").
    EXPECT_TRUE(log.contains("src/infra3/time/TimeZone.cpp:") && !log.contains("[/")) << log.text();
    // Last: turning the zone offset off lasts for the rest of the process.
    EXPECT_EQ(CTime(1000000000ULL).hour, 9);  // 01:46:40 UTC
    EXPECT_EQ(CTime::disableTimezone() + CTime::disableTimezone() + CTime::getTimeZone() +
                  CTime(1000000000ULL).makeTime() + CTime(1000000000ULL).hour,
              1000000001ULL);
}
