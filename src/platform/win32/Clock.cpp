// Platform, Windows clocks: the precise system time, GetLocalTime, the performance counter and the
// runtime's zone offset.
#include <time.h>

#include "WindowsHeader.h"
#include "platform/Clock.h"

namespace Tovix {
namespace Platform {

namespace {

// FILETIME counts 100-nanosecond units from 1601-01-01 UTC.
constexpr long long kUnitsPerSecond = 10000000LL;
constexpr long long kUnixEpochInUnits = 116444736000000000LL;

using PreciseTimeFunction = VOID(WINAPI*)(LPFILETIME);

// The precise clock exists from Windows 8 on; older systems get the tick-granular one.
PreciseTimeFunction preciseTimeFunction() {
    static const PreciseTimeFunction function = [] {
        const HMODULE kernel = GetModuleHandleA("kernel32.dll");
        FARPROC found =
            kernel != nullptr ? GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime") : nullptr;
        PreciseTimeFunction result = &GetSystemTimeAsFileTime;
        if (found != nullptr) {
            // Casting through a generic function pointer type keeps the compiler's
            // function-type check quiet; the signature is the documented one.
            result = reinterpret_cast<PreciseTimeFunction>(reinterpret_cast<void (*)()>(found));
        }
        return result;
    }();
    return function;
}

long long queryFrequency() {
    LARGE_INTEGER frequency;
    // Never fails on Windows XP and later; guard against a zero divisor all the same.
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) {
        return 1000;
    }
    return frequency.QuadPart;
}

}  // namespace

void realTimeNow(long long* seconds, long* nanoseconds) {
    FILETIME now;
    preciseTimeFunction()(&now);
    const long long units =
        static_cast<long long>((static_cast<unsigned long long>(now.dwHighDateTime) << 32) |
                               now.dwLowDateTime) -
        kUnixEpochInUnits;
    long long whole = units / kUnitsPerSecond;
    long long rest = units % kUnitsPerSecond;
    if (rest < 0) {  // before 1970: keep the nanoseconds in 0..999999999
        rest += kUnitsPerSecond;
        whole -= 1;
    }
    *seconds = whole;
    *nanoseconds = static_cast<long>(rest * 100);
}

void localTimeNow(LocalTimeFields* fields) {
    SYSTEMTIME local;
    GetLocalTime(&local);
    fields->year = local.wYear;
    fields->month = local.wMonth;
    fields->day = local.wDay;
    fields->wday = local.wDayOfWeek;
    fields->hour = local.wHour;
    fields->minute = local.wMinute;
    fields->second = local.wSecond;
    fields->millisecond = local.wMilliseconds;
}

unsigned long long monotonicMicroseconds() {
    static const long long frequency = queryFrequency();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    // Whole seconds and the remainder apart, so that the product cannot overflow.
    const unsigned long long count = static_cast<unsigned long long>(counter.QuadPart);
    const unsigned long long f = static_cast<unsigned long long>(frequency);
    return count / f * 1000000ULL + count % f * 1000000ULL / f;
}

int zoneOffsetSeconds() {
    // The runtime reads the zone (TZ, else the system's setting) at _tzset, done once here so
    // that its variable holds the zone even before any local-time call; the variable is then
    // read at each call, so a program that changes TZ and calls _tzset again sees the new
    // offset. It holds the standard-time offset, west of UTC positive.
    static const bool zoneRead = [] {
        _tzset();
        return true;
    }();
    static_cast<void>(zoneRead);
    long seconds = 0;
#if defined(_UCRT) || defined(_MSC_VER)
    if (_get_timezone(&seconds) != 0) {
        return 0;
    }
#else
    // The system msvcrt.dll that mingw-w64 links by default predates _get_timezone; its
    // _timezone variable holds the same value.
    seconds = _timezone;
#endif
    return static_cast<int>(seconds);
}

}  // namespace Platform
}  // namespace Tovix
