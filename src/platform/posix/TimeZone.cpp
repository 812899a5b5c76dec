// Platform, POSIX local time: mktime and localtime_r with the process's zone rules; clock_settime.
#include <time.h>

#include <climits>

#include "platform/TimeZone.h"

namespace Tovix {
namespace Platform {

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
    // mktime fills tm_wday only on success; -1 is also a valid result, so it cannot tell.
    parts.tm_wday = -1;
    const time_t result = mktime(&parts);
    if (parts.tm_wday < 0) {
        return false;
    }
    *seconds = static_cast<long long>(result);
    return true;
}

bool secondsToLocalFields(long long seconds, LocalTimeFields* fields) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm parts;
    if (localtime_r(&t, &parts) == nullptr || parts.tm_year > INT_MAX - 1900) {
        return false;
    }
    *fields = LocalTimeFields{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_wday,
                              parts.tm_hour,        parts.tm_min,     parts.tm_sec,  0};
    return true;
}

bool setRealTimeClock(long long seconds, long nanoseconds) {
    struct timespec target;
    target.tv_sec = static_cast<time_t>(seconds);
    target.tv_nsec = nanoseconds;
    return clock_settime(CLOCK_REALTIME, &target) == 0;
}

}  // namespace Platform
}  // namespace Tovix
