// Platform, Windows local time: the runtime's _mktime64 and _localtime64_s with the process's zone
// rules; the clock is set with SetSystemTime.
#include <time.h>

#include <climits>

#include "WindowsHeader.h"
#include "platform/TimeZone.h"

namespace Tovix {
namespace Platform {

namespace {

// The runtime's 64-bit time covers 1970-01-01 00:00:00 to 3000-12-31 23:59:59 UTC.
constexpr long long kLatestRuntimeTime = 32535215999LL;

// FILETIME counts 100-nanosecond units from 1601-01-01 00:00:00 UTC.
constexpr long long kUnitsPerSecond = 10000000LL;
constexpr long long kUnixEpochInSeconds = 11644473600LL;
// SYSTEMTIME reaches the year 30827; FileTimeToSystemTime takes FILETIME values below 2^63.
constexpr long long kLatestFileTimeSeconds = LLONG_MAX / kUnitsPerSecond - kUnixEpochInSeconds - 1;

}  // namespace

bool localFieldsToSeconds(int year, int month, int day, int hour, int minute, int second, int isdst,
                          long long* seconds) {
    // The offsets are taken in 64 bits: year - 1900 or month - 1 of extreme values would
    // overflow an int.
    const long long tmYear = static_cast<long long>(year) - 1900;
    const long long tmMonth = static_cast<long long>(month) - 1;
    if (tmYear < INT_MIN || tmMonth < INT_MIN) {
        return false;
    }
    struct tm parts = {};
    parts.tm_year = static_cast<int>(tmYear);
    parts.tm_mon = static_cast<int>(tmMonth);
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    parts.tm_isdst = isdst < 0 ? -1 : (isdst > 0 ? 1 : 0);
    // The runtime represents no time before 1970, so -1 is always its failure result.
    const __time64_t result = _mktime64(&parts);
    if (result < 0 || result > kLatestRuntimeTime) {
        return false;
    }
    *seconds = static_cast<long long>(result);
    return true;
}

bool secondsToLocalFields(long long seconds, LocalTimeFields* fields) {
    // Checked here: some runtimes hand values out of their range to the invalid-parameter
    // handler, which ends the process.
    if (seconds < 0 || seconds > kLatestRuntimeTime) {
        return false;
    }
    const __time64_t t = static_cast<__time64_t>(seconds);
    struct tm parts = {};
    if (_localtime64_s(&parts, &t) != 0 || parts.tm_year > INT_MAX - 1900) {
        return false;
    }
    *fields = LocalTimeFields{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_wday,
                              parts.tm_hour,        parts.tm_min,     parts.tm_sec,  0};
    return true;
}

bool setRealTimeClock(long long seconds, long nanoseconds) {
    // The instant is already in UTC, so the system time is set directly. Going back to local
    // fields for SetLocalTime would apply the runtime's zone (which TZ may change) where the
    // system applies its own, and would need a second call whenever daylight saving changes.
    if (nanoseconds < 0 || nanoseconds > 999999999L || seconds < -kUnixEpochInSeconds ||
        seconds > kLatestFileTimeSeconds) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const unsigned long long units =
        static_cast<unsigned long long>(seconds + kUnixEpochInSeconds) * kUnitsPerSecond +
        static_cast<unsigned long long>(nanoseconds / 100);
    FILETIME fileTime;
    fileTime.dwLowDateTime = static_cast<DWORD>(units & 0xFFFFFFFFULL);
    fileTime.dwHighDateTime = static_cast<DWORD>(units >> 32);
    SYSTEMTIME utc;
    if (!FileTimeToSystemTime(&fileTime, &utc)) {
        return false;
    }
    // SetSystemTime enables the time privilege for the call itself; without the right to it
    // (not an administrator) the call fails.
    return SetSystemTime(&utc) != FALSE;
}

}  // namespace Platform
}  // namespace Tovix
