// Time: setting the system clock through replaceable hooks, modify procedures, the time-zone
// switch, the embedded zone and daylight flag, and the zone table.
#include <atomic>
#include <cstdlib>
#include <vector>

#include "infra/Error.h"
#include "infra/Mutex.h"
#include "infra/Time.h"
#include "infra3/core/Diagnostics.h"
#include "platform/TimeZone.h"

namespace Tovix {
namespace Infra {

namespace {

constexpr int kZoneNotSet = 0x0FFFFFFF;
constexpr int kZoneMin = -43200;
constexpr int kZoneMax = 50400;

struct ZoneRow {
    int index;
    int offset;  // seconds east of UTC
    const char* label;
};

// Rows 33 to 35 were added after the rest and stay at the end, so that stored indexes keep
// their meaning.
constexpr ZoneRow kZoneTable[] = {
    {0, 0, "GMT+00:00"},       {1, 3600, "GMT+01:00"},    {2, 7200, "GMT+02:00"},
    {3, 10800, "GMT+03:00"},   {4, 12600, "GMT+03:30"},   {5, 14400, "GMT+04:00"},
    {6, 16200, "GMT+04:30"},   {7, 18000, "GMT+05:00"},   {8, 19800, "GMT+05:30"},
    {9, 20700, "GMT+05:45"},   {10, 21600, "GMT+06:00"},  {11, 23400, "GMT+06:30"},
    {12, 25200, "GMT+07:00"},  {13, 28800, "GMT+08:00"},  {14, 32400, "GMT+09:00"},
    {15, 34200, "GMT+09:30"},  {16, 36000, "GMT+10:00"},  {17, 39600, "GMT+11:00"},
    {18, 43200, "GMT+12:00"},  {19, 46800, "GMT+13:00"},  {20, -3600, "GMT-01:00"},
    {21, -7200, "GMT-02:00"},  {22, -10800, "GMT-03:00"}, {23, -12600, "GMT-03:30"},
    {24, -14400, "GMT-04:00"}, {25, -18000, "GMT-05:00"}, {26, -21600, "GMT-06:00"},
    {27, -25200, "GMT-07:00"}, {28, -28800, "GMT-08:00"}, {29, -32400, "GMT-09:00"},
    {30, -36000, "GMT-10:00"}, {31, -39600, "GMT-11:00"}, {32, -43200, "GMT-12:00"},
    {33, -16200, "GMT-4:30"},  {34, 37800, "GMT+10:30"},  {35, 50400, "GMT+14:00"},
};
constexpr int kZoneRows = static_cast<int>(sizeof kZoneTable / sizeof kZoneTable[0]);
static_assert(kZoneRows == 36, "the zone table has 36 rows");

constexpr bool rowsAreIndexed() {
    for (int i = 0; i < kZoneRows; ++i) {
        if (kZoneTable[i].index != i || kZoneTable[i].label == nullptr) {
            return false;
        }
    }
    return true;
}
static_assert(rowsAreIndexed(), "each zone row sits at its own index");

INFRA_CONSTINIT std::atomic<int> g_embeddedZone{kZoneNotSet};
INFRA_CONSTINIT std::atomic<int> g_daylight{-1};

// The platform's way of setting the clock to local fields: through the zone rules (daylight
// saving decided by them) to UTC seconds.
bool platformLocalClockSetter(const SystemTimeEx& local) {
    long long seconds = 0;
    if (!Platform::localFieldsToSeconds(local.year, local.month, local.day, local.hour,
                                        local.minute, local.second, -1, &seconds)) {
        return false;
    }
    return Platform::setRealTimeClock(seconds, static_cast<long>(local.millisecond) * 1000000L);
}

INFRA_CONSTINIT std::atomic<Detail::LocalClockSetter> g_clockSetter{&platformLocalClockSetter};

void builtinSetTime(const CTime& time, int tolerance);
void builtinSetTimeEx(const SystemTimeEx& time, int tolerance);

// The hooks and the modify procedures. Hooks and procedures are copied out under the locks
// and called with no lock held. Never destroyed: a set from an exit handler stays safe.
struct ClockHooks {
    CMutex hookMutex;
    CTime::SetTimeHook hook{&builtinSetTime};
    CTime::SetTimeHookEx hookEx{&builtinSetTimeEx};
    CMutex procMutex;
    std::vector<CTime::ModifyProc> procs;
};

ClockHooks& clockHooks() {
    static ClockHooks* const hooks = new ClockHooks;
    return *hooks;
}

// The built-in procedure: clamp, tolerance, set, then the modify procedures.
void applyTime(CTime target, int millisecond, int tolerance) {
    if (target < CTime::minTime) {
        target = CTime::minTime;
    } else if (target > CTime::maxTime) {
        target = CTime::maxTime;
    }
    if (tolerance != 0) {
        const long long distance = std::llabs(CTime::getCurrentTime() - target);
        if (distance <= static_cast<long long>(tolerance)) {
            return;
        }
    }
    const SystemTimeEx local = {target.year,   target.month,  target.day,  0,           target.hour,
                                target.minute, target.second, millisecond, {0, 0, 0, 0}};
    if (!g_clockSetter.load(std::memory_order_acquire)(local)) {
        setLastError(CTime::errorSetTimeFailed);
        return;
    }
    ClockHooks& hooks = clockHooks();
    std::vector<CTime::ModifyProc> procs;
    {
        CMutexGuard guard(hooks.procMutex);
        procs = hooks.procs;
    }
    if (procs.empty()) {
        INFRA_DIAG_PLAIN(Detail::kLevelInfo,
                         "CTime::setCurrentTime() success without callback function\n");
        return;
    }
    const SystemTime set = target;
    for (const CTime::ModifyProc& proc : procs) {
        if (!proc.empty()) {  // attached like any other, but there is nothing to call
            proc(set);
        }
    }
}

void builtinSetTime(const CTime& time, int tolerance) {
    applyTime(time, 0, tolerance);
}

void builtinSetTimeEx(const SystemTimeEx& time, int tolerance) {
    const int millisecond =
        time.millisecond < 0 ? 0 : (time.millisecond > 999 ? 999 : time.millisecond);
    applyTime(CTime(time.year, time.month, time.day, time.hour, time.minute, time.second),
              millisecond, tolerance);
}

// Runs `set` and tells whether it failed by the last error it left; the caller's earlier last
// error is kept when this set leaves none.
template <class Set>
bool setAndReport(Set set) {
    const int earlier = getLastError();
    setLastError(0);
    set();
    const int code = getLastError();
    if (code == 0) {
        setLastError(earlier);
    }
    return code != CTime::errorSetTimeFailed && code != CTime::errorSetTimeRefused;
}

}  // namespace

namespace Detail {

LocalClockSetter replaceLocalClockSetter(LocalClockSetter setter) {
    return g_clockSetter.exchange(setter != nullptr ? setter : &platformLocalClockSetter,
                                  std::memory_order_acq_rel);
}

}  // namespace Detail

// Defined here too so that a DLL build exports them: a program binding one to a reference (as a
// test framework's comparisons do) links against the library's copy.
constexpr int CTime::errorSetTimeFailed;
constexpr int CTime::errorSetTimeRefused;

void CTime::setCurrentTime(const CTime& time, int tolerance) {
    const CTime target(time.year, time.month, time.day, time.hour, time.minute, time.second);
    ClockHooks& hooks = clockHooks();
    SetTimeHook hook;
    {
        CMutexGuard guard(hooks.hookMutex);
        hook = hooks.hook;
    }
    hook(target, tolerance);
}

bool CTime::setCurrentTimeEx(const CTime& time, int tolerance) {
    return setAndReport([&] { setCurrentTime(time, tolerance); });
}

bool CTime::setCurrentTime(const SystemTimeEx& time, int tolerance) {
    const CTime date(time.year, time.month, time.day, 0, 0, 0);  // for the weekday only
    const SystemTimeEx target = {time.year,   time.month,  time.day,         date.wday,   time.hour,
                                 time.minute, time.second, time.millisecond, {0, 0, 0, 0}};
    ClockHooks& hooks = clockHooks();
    SetTimeHookEx hook;
    {
        CMutexGuard guard(hooks.hookMutex);
        hook = hooks.hookEx;
    }
    return setAndReport([&] { hook(target, tolerance); });
}

CTime::SetTimeHook CTime::attachSetCurrentTimeHook(SetTimeHook hook) {
    ClockHooks& hooks = clockHooks();
    CMutexGuard guard(hooks.hookMutex);
    const SetTimeHook previous = hooks.hook;
    hooks.hook = hook.empty() ? SetTimeHook(&builtinSetTime) : hook;
    return previous;
}

CTime::SetTimeHookEx CTime::attachSetCurrentTimeHookEx(SetTimeHookEx hook) {
    ClockHooks& hooks = clockHooks();
    CMutexGuard guard(hooks.hookMutex);
    const SetTimeHookEx previous = hooks.hookEx;
    hooks.hookEx = hook.empty() ? SetTimeHookEx(&builtinSetTimeEx) : hook;
    return previous;
}

bool CTime::attachModifyProc(ModifyProc proc) {
    ClockHooks& hooks = clockHooks();
    CMutexGuard guard(hooks.procMutex);
    hooks.procs.push_back(proc);
    return true;
}

int CTime::disableTimezone() {
    Detail::setTimezoneDisabled(true);
    return 0;
}

bool CTime::setTimeZone(int seconds) {
    if (seconds < kZoneMin || seconds > kZoneMax) {
        return false;
    }
    g_embeddedZone.store(seconds, std::memory_order_relaxed);
    return true;
}

bool CTime::setDst(bool on) {
    g_daylight.store(on ? 1 : 0, std::memory_order_relaxed);
    return true;
}

int CTime::getDst() {
    return g_daylight.load(std::memory_order_relaxed);
}

int CTime::getTimeZonefromTable(int index) {
    if (index < 0 || index >= kZoneRows) {
        INFRA_DIAG(Detail::kLevelError, "CTime::getTimeZonefromTable, zoneIndex error : %d\n",
                   index);
        return 0;
    }
    return kZoneTable[index].offset;
}

bool CTime::getUTCForEmbed(UTCTimeDef& out) {
    const int zone = g_embeddedZone.load(std::memory_order_relaxed);
    const int daylight = g_daylight.load(std::memory_order_relaxed);
    if (zone == kZoneNotSet || daylight < 0) {
        return false;
    }
    long long utc = static_cast<long long>(timeToSeconds(getCurrentTime())) - zone;
    if (daylight == 1) {
        utc -= 3600;
    }
    out.utc = static_cast<unsigned long long>(utc);
    out.timeZone = zone;
    out.dst = daylight;
    return true;
}

}  // namespace Infra
}  // namespace Tovix
