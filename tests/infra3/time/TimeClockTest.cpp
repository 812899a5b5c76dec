// Setting the system clock through the hooks (with a recording clock setter: the machine's clock
// is never touched), modify procedures, the embedded zone and daylight flag, the zone table.
// Tests run in declaration order: the modify procedure list only grows and the zone switch only
// turns off, so the tests that need them untouched come first and disableTimezone comes last.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <cstdio>
#include <string>
#include <thread>
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
    Events events;
    events.swap(g_events);
    return events;
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
        g_setterFails = false;
        setLastError(0);
    }
    void TearDown() override { Detail::replaceLocalClockSetter(m_previous); }
    Detail::LocalClockSetter m_previous = nullptr;
};

struct Observer {  // attached for the life of the process, so it lives as long
    std::string name;
    bool modified(SystemTime t) {
        g_events.push_back(name + " " + std::to_string(t.year) + "-" + std::to_string(t.month));
        return true;
    }
} g_first{"first"}, g_second{"second"}, g_late{"late"};

bool attachingProc(SystemTime) {  // attaches another procedure the first time it runs
    static int calls = 0;
    if (calls++ == 0) {
        CTime::attachModifyProc(CTime::ModifyProc(&g_late, &Observer::modified));
    }
    g_events.push_back("attaching");
    return false;
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
    const Events events = takeEvents();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(
        Events(events.begin(), events.begin() + 3),
        (Events{"set 2020-6-1 12:0:0.0 w0", "set 2000-1-1 0:0:0.0 w0", "set 2038-1-1 0:0:0.0 w0"}));
    EXPECT_EQ(getLastError(), 0);
    // The millisecond form: fields clamped as by the six-field constructor, milliseconds too.
    SystemTimeEx ex = {2021, 2, 29, 6, 10, 20, 30, 456, {9, 9, 9, 9}};
    EXPECT_TRUE(CTime::setCurrentTime(ex, 0));
    ex.millisecond = 5000;
    EXPECT_TRUE(CTime::setCurrentTime(ex, 0));
    ex = {1990, 2, 29, 6, 10, 20, 30, -1, {0, 0, 0, 0}};
    EXPECT_TRUE(CTime::setCurrentTime(ex, 0));
    EXPECT_EQ(takeEvents(), (Events{"set 2021-2-28 10:20:30.456 w0",
                                    "set 2021-2-28 10:20:30.999 w0", "set 2000-1-1 0:0:0.0 w0"}));
}

TEST_F(TimeClock, AFailedSetIsReportedOnlyThroughTheLastError) {
    LogCapture log;
    g_setterFails = true;
    CTime::setCurrentTime(CTime(2020, 6, 1, 12, 0, 0), 0);
    EXPECT_EQ(getLastError(), CTime::errorSetTimeFailed);
    EXPECT_FALSE(log.contains("success without callback"));
    const SystemTimeEx ex = {2020, 6, 1, 0, 12, 0, 0, 500, {0, 0, 0, 0}};
    setLastError(0);
    EXPECT_FALSE(CTime::setCurrentTime(ex, 0));
    EXPECT_EQ(getLastError(), 0x1000000E);
    // A success after a failure reports success and keeps the earlier code for the caller.
    g_setterFails = false;
    EXPECT_TRUE(CTime::setCurrentTimeEx(CTime(2020, 6, 1, 12, 0, 0), 0));
    EXPECT_TRUE(CTime::setCurrentTime(ex, 0));
    EXPECT_EQ(getLastError(), 0x1000000E);
    g_setterFails = true;  // each thread has its own last error
    setLastError(0);
    std::thread([] {
        EXPECT_FALSE(CTime::setCurrentTimeEx(CTime(2020, 6, 1, 12, 0, 0), 0));
    }).join();
    EXPECT_EQ(getLastError(), 0);
    EXPECT_FALSE(CTime::setCurrentTimeEx(CTime(2020, 6, 1, 12, 0, 0), 0));
}

struct HookRecord {
    Events calls;
    CTime::SetTimeHook previous;
    void hook(const CTime& t, int tolerance) {
        calls.push_back(std::to_string(t.day) + " " + std::to_string(t.hour) + " w" +
                        std::to_string(t.wday) + " " + std::to_string(tolerance));
        previous(t, tolerance);
    }
    void hookEx(const SystemTimeEx& t, int tolerance) {
        calls.push_back(text(t) + " r" + std::to_string(t.reserved[0] | t.reserved[3]) + " " +
                        std::to_string(tolerance));
        setLastError(CTime::errorSetTimeRefused);
    }
};

TEST_F(TimeClock, HooksReplaceTheBuiltInProceduresWhichStayCallable) {
    LogCapture quiet;
    HookRecord r;
    r.previous = CTime::attachSetCurrentTimeHook(CTime::SetTimeHook(&r, &HookRecord::hook));
    CTime raw;  // out of range: the hook gets the fields clamped, the weekday computed
    raw.year = 2013, raw.month = 4, raw.day = 31, raw.hour = 25;
    CTime::setCurrentTime(raw, 0);  // the hook chains to the built-in procedure
    EXPECT_EQ(r.calls, Events{"30 23 w2 0"});
    EXPECT_EQ(takeEvents(), Events{"set 2013-4-30 23:59:59.0 w0"});
    // An empty hook brings the built-in one back; attaching returns the one replaced.
    EXPECT_TRUE(CTime::attachSetCurrentTimeHook(CTime::SetTimeHook()) ==
                CTime::SetTimeHook(&r, &HookRecord::hook));
    CTime::setCurrentTime(CTime(2017, 1, 2, 3, 4, 5), 0);
    EXPECT_EQ(r.calls.size() * 10 + takeEvents().size(), 11u);

    const CTime::SetTimeHookEx previousEx =
        CTime::attachSetCurrentTimeHookEx(CTime::SetTimeHookEx(&r, &HookRecord::hookEx));
    const SystemTimeEx ex = {2013, 5, 7, 0, 15, 3, 4, 250, {1, 2, 3, 4}};
    EXPECT_FALSE(CTime::setCurrentTime(ex, 3));
    EXPECT_EQ(getLastError(), CTime::errorSetTimeRefused);
    EXPECT_EQ(r.calls.back(), "2013-5-7 15:3:4.250 w2 r0 3");
    EXPECT_TRUE(takeEvents().empty());
    CTime::attachSetCurrentTimeHookEx(previousEx);
    EXPECT_TRUE(CTime::setCurrentTime(ex, 0));
    EXPECT_EQ(takeEvents().size(), 1u);
}

TEST_F(TimeClock, ModifyProceduresRunInOrderAfterTheClockIsSet) {
    // An empty procedure is attached too, and never called.
    EXPECT_TRUE(CTime::attachModifyProc(CTime::ModifyProc()));
    EXPECT_TRUE(CTime::attachModifyProc(CTime::ModifyProc(&g_first, &Observer::modified)));
    EXPECT_TRUE(CTime::attachModifyProc(CTime::ModifyProc(&g_second, &Observer::modified)));
    EXPECT_TRUE(CTime::attachModifyProc(CTime::ModifyProc(&g_first, &Observer::modified)));
    EXPECT_TRUE(CTime::attachModifyProc(CTime::ModifyProc(&attachingProc)));
    LogCapture log;
    CTime::setCurrentTime(CTime(2030, 3, 4, 5, 6, 7), 0);
    EXPECT_FALSE(log.contains("without callback"));
    EXPECT_EQ(takeEvents(), (Events{"set 2030-3-4 5:6:7.0 w0", "first 2030-3", "second 2030-3",
                                    "first 2030-3", "attaching"}));
    // The procedure attached during a set runs from the next one on; a skipped or failed set
    // calls none.
    CTime::setCurrentTime(CTime(1990, 1, 1, 0, 0, 0), 0);
    EXPECT_EQ(takeEvents(), (Events{"set 2000-1-1 0:0:0.0 w0", "first 2000-1", "second 2000-1",
                                    "first 2000-1", "attaching", "late 2000-1"}));
    CTime::setCurrentTime(CTime::getCurrentTime(), 100);
    g_setterFails = true;
    CTime::setCurrentTime(CTime(2030, 3, 4, 5, 6, 7), 0);
    EXPECT_EQ(takeEvents().size(), 1u);
}

TEST_F(TimeClock, EmbeddedZoneDaylightAndTheZoneTable) {
    CTime::UTCTimeDef out = {1, 2, 3};
    EXPECT_EQ(CTime::getDst(), -1);
    EXPECT_FALSE(CTime::getUTCForEmbed(out));
    EXPECT_TRUE(CTime::setTimeZone(28800));
    EXPECT_FALSE(CTime::getUTCForEmbed(out) || out.utc != 1);
    EXPECT_FALSE(CTime::setTimeZone(50401) || CTime::setTimeZone(-43201) ||
                 CTime::setTimeZone(INT_MIN));
    EXPECT_TRUE(CTime::setDst(true) && CTime::getDst() == 1);
    const unsigned long long before = CTime::timeToSeconds(CTime::getCurrentTime());
    ASSERT_TRUE(CTime::getUTCForEmbed(out));
    const unsigned long long after = CTime::timeToSeconds(CTime::getCurrentTime());
    EXPECT_TRUE(out.utc >= before - 32400 && out.utc <= after - 32400);
    EXPECT_TRUE(out.timeZone == 28800 && out.dst == 1);
    EXPECT_TRUE(CTime::setDst(false) && CTime::setTimeZone(50400) && CTime::setTimeZone(-43200));
    ASSERT_TRUE(CTime::getUTCForEmbed(out));
    EXPECT_TRUE(out.utc >= before + 43200 && out.timeZone == -43200 && out.dst == 0);
    EXPECT_EQ(CTime::getTimeZone(), -28800L);  // the embedded zone is not the zone offset

    const int offsets[36] = {0,      3600,   7200,   10800,  12600,  14400,  16200,  18000,  19800,
                             20700,  21600,  23400,  25200,  28800,  32400,  34200,  36000,  39600,
                             43200,  46800,  -3600,  -7200,  -10800, -12600, -14400, -18000, -21600,
                             -25200, -28800, -32400, -36000, -39600, -43200, -16200, 37800,  50400};
    for (int i = 0; i < 36; ++i) {
        EXPECT_EQ(CTime::getTimeZonefromTable(i), offsets[i]) << i;
    }
    LogCapture log;
    EXPECT_EQ(CTime::getTimeZonefromTable(36) | CTime::getTimeZonefromTable(-1), 0);
    EXPECT_TRUE(log.contains("CTime::getTimeZonefromTable, zoneIndex error : 36\n"));
    EXPECT_TRUE(log.contains("zoneIndex error : -1\n"));
    // Messages name their source from the source root, not by the build machine's folders
    // (a compiler cache may hand the compiler a relative path: "../../src/...").
    EXPECT_TRUE(log.contains("src/infra3/time/TimeZone.cpp:") && !log.contains("[/")) << log.text();
}

TEST_F(TimeClock, DisablingTheTimezoneIsForTheRestOfTheProcess) {
    EXPECT_EQ(CTime(1000000000ULL).hour, 9);  // 01:46:40 UTC
    EXPECT_EQ(CTime::disableTimezone(), 0);
    EXPECT_EQ(CTime::disableTimezone() + CTime::getTimeZone(), 0L);
    EXPECT_EQ(CTime(1000000000ULL).makeTime(), 1000000000ULL);
    EXPECT_EQ(CTime(1000000000ULL).hour, 1);
}
