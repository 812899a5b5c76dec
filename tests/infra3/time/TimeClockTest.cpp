// Setting the system clock through the hooks (with a recording clock setter: the machine's clock
// is never touched), modify procedures, the embedded zone and daylight flag, the zone table.
//
// Tests run in declaration order when the program runs as a whole: the modify procedure list
// only grows and the zone switch only turns off, so the tests that need them untouched come
// first and disableTimezone comes last.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "infra/Error.h"
#include "infra/PrintLog.h"
#include "infra/Time.h"
#include "support/LogCapture.h"

using namespace Tovix::Infra;
using TestSupport::LogCapture;

namespace {

// Eight hours east of Greenwich, no daylight saving.
const bool g_zoneSet = [] {
#if defined(_WIN32)
    // The Windows runtime reads "name, hours west" and no POSIX rules.
    _putenv_s("TZ", "CST-8");
    _tzset();
#else
    setenv("TZ", "<+08>-8", 1);
    tzset();
#endif
    return true;
}();

// What the clock setter was asked to do.
std::mutex g_mutex;
std::vector<SystemTimeEx> g_sets;
std::atomic<bool> g_setterFails{false};
std::vector<std::string> g_events;  // modify procedures and hooks, in call order

bool recordingSetter(const SystemTimeEx& local) {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_sets.push_back(local);
    g_events.push_back("set");
    return !g_setterFails.load();
}

std::vector<SystemTimeEx> sets() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_sets;
}

std::vector<std::string> events() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_events;
}

void record(const std::string& event) {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_events.push_back(event);
}

class TimeClock : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(g_zoneSet);
        m_previous = Detail::replaceLocalClockSetter(&recordingSetter);
        std::lock_guard<std::mutex> guard(g_mutex);
        g_sets.clear();
        g_events.clear();
        g_setterFails = false;
        setLastError(0);
    }
    void TearDown() override { Detail::replaceLocalClockSetter(m_previous); }

private:
    Detail::LocalClockSetter m_previous = nullptr;
};

void expectSet(const SystemTimeEx& s, int year, int month, int day, int hour, int minute,
               int second, int millisecond) {
    EXPECT_EQ(s.year, year);
    EXPECT_EQ(s.month, month);
    EXPECT_EQ(s.day, day);
    EXPECT_EQ(s.hour, hour);
    EXPECT_EQ(s.minute, minute);
    EXPECT_EQ(s.second, second);
    EXPECT_EQ(s.millisecond, millisecond);
}

class Observer {
public:
    explicit Observer(const char* name) : m_name(name) {}
    bool modified(SystemTime time) {
        record(m_name + ":" + std::to_string(time.year) + "-" + std::to_string(time.month) + "-" +
               std::to_string(time.day) + " " + std::to_string(time.hour));
        return true;
    }

private:
    std::string m_name;
};

// Procedures stay attached for the life of the process, so their objects do too.
Observer g_first("first");
Observer g_second("second");
Observer g_late("late");

void clearEvents() {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_events.clear();
}

// A modify procedure that attaches another one while it runs.
std::atomic<int> g_attachingCalls{0};
bool attachingProc(SystemTime) {
    if (g_attachingCalls++ == 0) {
        CTime::attachModifyProc(CTime::ModifyProc(&g_late, &Observer::modified));
    }
    record("attaching");
    return false;
}

}  // namespace

// ---- Built-in procedure, before any modify procedure is attached -----------------------------

TEST_F(TimeClock, ASetWithoutProceduresLogsItsSuccess) {
    LogCapture log;
    const int level = getPrintLogLevel();
    setPrintLogLevel(4);  // an information line
    CTime::setCurrentTime(CTime(2020, 6, 1, 12, 0, 0), 0);
    setPrintLogLevel(level);
    ASSERT_EQ(sets().size(), 1u);
    expectSet(sets()[0], 2020, 6, 1, 12, 0, 0, 0);
    EXPECT_EQ(sets()[0].wday, 0);
    EXPECT_TRUE(log.contains("CTime::setCurrentTime() success without callback function\n"));
    EXPECT_EQ(getLastError(), 0);
}

TEST_F(TimeClock, TargetsAreClampedIntoTheSupportedRange) {
    LogCapture quiet;
    CTime::setCurrentTime(CTime(1999, 12, 31, 23, 0, 0), 0);
    CTime::setCurrentTime(CTime(2040, 6, 1, 0, 0, 0), 0);
    CTime::setCurrentTime(CTime(2038, 1, 1, 0, 0, 1), 0);
    CTime::setCurrentTime(CTime(2000, 1, 1, 0, 0, 0), 0);
    const std::vector<SystemTimeEx> s = sets();
    ASSERT_EQ(s.size(), 4u);
    expectSet(s[0], 2000, 1, 1, 0, 0, 0, 0);
    expectSet(s[1], 2038, 1, 1, 0, 0, 0, 0);
    expectSet(s[2], 2038, 1, 1, 0, 0, 0, 0);
    expectSet(s[3], 2000, 1, 1, 0, 0, 0, 0);
}

TEST_F(TimeClock, ToleranceSkipsSmallChanges) {
    LogCapture quiet;
    const CTime now = CTime::getCurrentTime();
    CTime::setCurrentTime(now + 3, 5);
    CTime::setCurrentTime(now - 3, 5);
    EXPECT_TRUE(sets().empty());
    CTime::setCurrentTime(now + 3, 0);  // tolerance 0: always set
    CTime::setCurrentTime(now, 0);
    CTime::setCurrentTime(now + 3600, 5);
    CTime::setCurrentTime(now + 3, -5);  // a negative tolerance never skips
    EXPECT_EQ(sets().size(), 4u);
}

TEST_F(TimeClock, AFailedSetIsReportedOnlyThroughTheLastError) {
    LogCapture log;
    g_setterFails = true;
    CTime::setCurrentTime(CTime(2020, 6, 1, 12, 0, 0), 0);
    EXPECT_EQ(getLastError(), CTime::errorSetTimeFailed);
    EXPECT_FALSE(log.contains("success without callback"));

    setLastError(0);
    EXPECT_FALSE(CTime::setCurrentTimeEx(CTime(2020, 6, 1, 12, 0, 0), 0));
    EXPECT_EQ(getLastError(), 0x1000000E);
    const SystemTimeEx ex = {2020, 6, 1, 0, 12, 0, 0, 500, {0, 0, 0, 0}};
    setLastError(0);
    EXPECT_FALSE(CTime::setCurrentTime(ex, 0));
    EXPECT_EQ(getLastError(), 0x1000000E);

    // A success after a failure reports success and keeps the earlier code for the caller.
    g_setterFails = false;
    EXPECT_TRUE(CTime::setCurrentTimeEx(CTime(2020, 6, 1, 12, 0, 0), 0));
    EXPECT_EQ(getLastError(), 0x1000000E);
    EXPECT_TRUE(CTime::setCurrentTime(ex, 0));
    setLastError(0);
    EXPECT_TRUE(CTime::setCurrentTimeEx(CTime(2020, 6, 1, 12, 0, 0), 0));
    EXPECT_EQ(getLastError(), 0);
    // Each thread has its own last error.
    g_setterFails = true;
    std::thread([] {
        EXPECT_FALSE(CTime::setCurrentTimeEx(CTime(2020, 6, 1, 12, 0, 0), 0));
    }).join();
    EXPECT_EQ(getLastError(), 0);
}

TEST_F(TimeClock, MillisecondFormCarriesItsMilliseconds) {
    LogCapture quiet;
    SystemTimeEx ex = {2021, 2, 29, 6, 10, 20, 30, 456, {9, 9, 9, 9}};  // no 29 Feb in 2021
    EXPECT_TRUE(CTime::setCurrentTime(ex, 0));
    ex.millisecond = 5000;
    EXPECT_TRUE(CTime::setCurrentTime(ex, 0));
    ex.millisecond = -1;
    ex.year = 1990;
    EXPECT_TRUE(CTime::setCurrentTime(ex, 0));
    const std::vector<SystemTimeEx> s = sets();
    ASSERT_EQ(s.size(), 3u);
    expectSet(s[0], 2021, 2, 28, 10, 20, 30, 456);
    expectSet(s[1], 2021, 2, 28, 10, 20, 30, 999);
    expectSet(s[2], 2000, 1, 1, 0, 0, 0, 0);
}

// ---- Hooks ------------------------------------------------------------------------------------

struct HookRecord {
    std::vector<CTime> times;
    std::vector<int> tolerances;
    std::vector<SystemTimeEx> exTimes;
    CTime::SetTimeHook previous;
    bool chain = false;
    void hook(const CTime& time, int tolerance) {
        times.push_back(time);
        tolerances.push_back(tolerance);
        if (chain) {
            previous(time, tolerance);
        }
    }
    void hookEx(const SystemTimeEx& time, int tolerance) {
        exTimes.push_back(time);
        tolerances.push_back(tolerance);
        setLastError(CTime::errorSetTimeRefused);
    }
};

TEST_F(TimeClock, AHookReplacesTheBuiltInProcedureWhichStaysCallable) {
    LogCapture quiet;
    HookRecord record;
    record.previous =
        CTime::attachSetCurrentTimeHook(CTime::SetTimeHook(&record, &HookRecord::hook));
    ASSERT_FALSE(record.previous.empty());

    CTime raw;  // fields out of range: the hook gets them clamped, weekday computed
    raw.year = 2013;
    raw.month = 4;
    raw.day = 31;
    raw.hour = 25;
    CTime::setCurrentTime(raw, 7);
    EXPECT_TRUE(sets().empty());
    ASSERT_EQ(record.times.size(), 1u);
    EXPECT_EQ(record.times[0], CTime(2013, 4, 30, 23, 59, 59));
    EXPECT_EQ(record.times[0].wday, 2);
    EXPECT_EQ(record.tolerances[0], 7);

    // The previous hook still performs the built-in procedure.
    record.previous(CTime(2015, 1, 2, 3, 4, 5), 0);
    ASSERT_EQ(sets().size(), 1u);
    expectSet(sets()[0], 2015, 1, 2, 3, 4, 5, 0);
    record.chain = true;
    CTime::setCurrentTime(CTime(2016, 1, 2, 3, 4, 5), 0);
    EXPECT_EQ(sets().size(), 2u);

    // Attaching returns the hook it replaces; an empty hook brings the built-in one back.
    const CTime::SetTimeHook mine = CTime::attachSetCurrentTimeHook(CTime::SetTimeHook());
    EXPECT_TRUE(mine == CTime::SetTimeHook(&record, &HookRecord::hook));
    CTime::setCurrentTime(CTime(2017, 1, 2, 3, 4, 5), 0);
    EXPECT_EQ(sets().size(), 3u);
    EXPECT_EQ(record.times.size(), 2u);
    const CTime::SetTimeHook builtIn = CTime::attachSetCurrentTimeHook(record.previous);
    EXPECT_TRUE(builtIn == record.previous);
}

TEST_F(TimeClock, AHookExThatRefusesMakesTheSetFail) {
    HookRecord record;
    const CTime::SetTimeHookEx previous =
        CTime::attachSetCurrentTimeHookEx(CTime::SetTimeHookEx(&record, &HookRecord::hookEx));
    const SystemTimeEx ex = {2013, 5, 7, 0, 15, 3, 4, 250, {1, 2, 3, 4}};
    EXPECT_FALSE(CTime::setCurrentTime(ex, 3));
    EXPECT_EQ(getLastError(), CTime::errorSetTimeRefused);
    ASSERT_EQ(record.exTimes.size(), 1u);
    const SystemTimeEx& got = record.exTimes[0];
    expectSet(got, 2013, 5, 7, 15, 3, 4, 250);
    EXPECT_EQ(got.wday, 2);
    for (int r : got.reserved) {
        EXPECT_EQ(r, 0);
    }
    EXPECT_TRUE(sets().empty());
    CTime::attachSetCurrentTimeHookEx(previous);
    LogCapture quiet;
    EXPECT_TRUE(CTime::setCurrentTime(ex, 0));
    EXPECT_EQ(sets().size(), 1u);
}

// ---- Modify procedures -----------------------------------------------------------------------

TEST_F(TimeClock, ModifyProceduresRunInOrderAfterTheClockIsSet) {
    Observer& first = g_first;
    Observer& second = g_second;
    // An empty procedure is attached too, and never called.
    EXPECT_TRUE(CTime::attachModifyProc(CTime::ModifyProc()));
    EXPECT_TRUE(CTime::attachModifyProc(CTime::ModifyProc(&first, &Observer::modified)));
    EXPECT_TRUE(CTime::attachModifyProc(CTime::ModifyProc(&second, &Observer::modified)));
    EXPECT_TRUE(CTime::attachModifyProc(CTime::ModifyProc(&first, &Observer::modified)));
    EXPECT_TRUE(CTime::attachModifyProc(CTime::ModifyProc(&attachingProc)));

    LogCapture log;
    CTime::setCurrentTime(CTime(2030, 3, 4, 5, 6, 7), 0);
    EXPECT_FALSE(log.contains("without callback"));
    const std::vector<std::string> expected = {"set", "first:2030-3-4 5", "second:2030-3-4 5",
                                               "first:2030-3-4 5", "attaching"};
    EXPECT_EQ(events(), expected);

    // The procedure attached during the last set runs from the next one on; a skipped or
    // failed set calls none.
    clearEvents();
    CTime::setCurrentTime(CTime(1990, 1, 1, 0, 0, 0), 0);
    const std::vector<std::string> next = {
        "set",       "first:2000-1-1 0", "second:2000-1-1 0", "first:2000-1-1 0",
        "attaching", "late:2000-1-1 0"};
    EXPECT_EQ(events(), next);
    clearEvents();
    g_setterFails = true;
    CTime::setCurrentTime(CTime(2030, 3, 4, 5, 6, 7), 0);
    CTime::setCurrentTime(CTime::getCurrentTime(), 100);
    EXPECT_EQ(events(), std::vector<std::string>{"set"});
}

TEST_F(TimeClock, ConcurrentSetsAndAttachesLoseNothing) {
    LogCapture quiet;
    static std::atomic<int> calls{0};
    struct Counter {
        static bool count(SystemTime) {
            ++calls;
            return true;
        }
    };
    const int before = static_cast<int>(sets().size());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                if (t == 0 && i < 10) {
                    CTime::attachModifyProc(CTime::ModifyProc(&Counter::count));
                }
                CTime::setCurrentTime(CTime(2020, 1, 1, 0, 0, i % 60), 0);
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(static_cast<int>(sets().size()) - before, 800);
    // Each set sees some prefix of the ten attaches; the last sets see all ten.
    EXPECT_GE(calls.load(), 10);
    EXPECT_LE(calls.load(), 8000);
    calls = 0;
    CTime::setCurrentTime(CTime(2020, 1, 1, 0, 0, 0), 0);
    EXPECT_EQ(calls.load(), 10);
}

// ---- Zones --------------------------------------------------------------------------------------

TEST_F(TimeClock, EmbeddedZoneAndDaylightGiveAUtcCount) {
    CTime::UTCTimeDef out = {1, 2, 3};
    EXPECT_EQ(CTime::getDst(), -1);
    EXPECT_FALSE(CTime::getUTCForEmbed(out));
    EXPECT_TRUE(CTime::setTimeZone(28800));
    EXPECT_FALSE(CTime::getUTCForEmbed(out));
    EXPECT_EQ(out.utc, 1u);

    for (int refused : {50401, -43201, 0x0FFFFFFF, -2147483647 - 1}) {
        EXPECT_FALSE(CTime::setTimeZone(refused)) << refused;
    }
    EXPECT_TRUE(CTime::setDst(true));
    EXPECT_EQ(CTime::getDst(), 1);
    const unsigned long long before = CTime::timeToSeconds(CTime::getCurrentTime());
    ASSERT_TRUE(CTime::getUTCForEmbed(out));
    const unsigned long long after = CTime::timeToSeconds(CTime::getCurrentTime());
    EXPECT_GE(out.utc, before - 32400);
    EXPECT_LE(out.utc, after - 32400);
    EXPECT_EQ(out.timeZone, 28800);
    EXPECT_EQ(out.dst, 1);

    EXPECT_TRUE(CTime::setDst(false));
    EXPECT_EQ(CTime::getDst(), 0);
    EXPECT_TRUE(CTime::setTimeZone(50400));
    EXPECT_TRUE(CTime::setTimeZone(-43200));
    ASSERT_TRUE(CTime::getUTCForEmbed(out));
    EXPECT_GE(out.utc, before + 43200);
    EXPECT_EQ(out.timeZone, -43200);
    EXPECT_EQ(out.dst, 0);
    // The embedded zone is not the zone offset.
    EXPECT_EQ(CTime::getTimeZone(), -28800L);
}

TEST_F(TimeClock, ZoneTableRowsAndBadIndexes) {
    const int offsets[36] = {0,      3600,   7200,   10800,  12600,  14400,  16200,  18000,  19800,
                             20700,  21600,  23400,  25200,  28800,  32400,  34200,  36000,  39600,
                             43200,  46800,  -3600,  -7200,  -10800, -12600, -14400, -18000, -21600,
                             -25200, -28800, -32400, -36000, -39600, -43200, -16200, 37800,  50400};
    for (int i = 0; i < 36; ++i) {
        EXPECT_EQ(CTime::getTimeZonefromTable(i), offsets[i]) << i;
        EXPECT_TRUE(CTime::setTimeZone(offsets[i])) << "every row is an accepted zone";
    }
    EXPECT_EQ(CTime::getTimeZonefromTable(13), 28800);
    LogCapture log;
    EXPECT_EQ(CTime::getTimeZonefromTable(36), 0);
    EXPECT_TRUE(log.contains("CTime::getTimeZonefromTable, zoneIndex error : 36\n"));
    // The library's messages name their source from the source root, not the build machine's.
    EXPECT_TRUE(log.contains("[src/infra3/time/TimeZone.cpp:")) << log.text();
    EXPECT_EQ(CTime::getTimeZonefromTable(-1), 0);
    EXPECT_TRUE(log.contains("zoneIndex error : -1\n"));
}

TEST_F(TimeClock, DisablingTheTimezoneIsForTheRestOfTheProcess) {
    EXPECT_EQ(CTime::getTimeZone(), -28800L);
    EXPECT_EQ(CTime(1000000000ULL).makeTime(), 1000000000ULL);
    EXPECT_EQ(CTime(1000000000ULL).hour, 9);  // 01:46:40 UTC
    EXPECT_EQ(CTime::disableTimezone(), 0);
    EXPECT_EQ(CTime::getTimeZone(), 0L);
    EXPECT_EQ(CTime::disableTimezone(), 0);
    EXPECT_EQ(CTime(1000000000ULL).makeTime(), 1000000000ULL);
    EXPECT_EQ(CTime(1000000000ULL).hour, 1);
}
