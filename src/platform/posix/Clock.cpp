// Platform, POSIX clocks: clock_gettime for the real-time and monotonic clocks, localtime_r and the
// `timezone` variable for local time.
#include <time.h>

#include "platform/Clock.h"

namespace Tovix {
namespace Platform {

namespace {

// The local fields of one whole second of the real-time clock, kept per thread so that the
// common case (another call within the same second) needs no lock and no localtime_r. Being
// keyed on the whole second count, it is exact across minute, hour, day and daylight-saving
// changes alike. Trivial type: no thread-exit work, no lazy-initialisation guard.
struct LocalSecondCache {
    bool valid;
    time_t second;
    LocalTimeFields fields;
};

__attribute__((tls_model("initial-exec"))) thread_local LocalSecondCache t_localSecond;

void fillLocalFields(time_t second, LocalTimeFields* fields) {
    struct tm parts;
    if (localtime_r(&second, &parts) == nullptr) {
        *fields = LocalTimeFields{1970, 1, 1, 4, 0, 0, 0, 0};
        return;
    }
    fields->year = parts.tm_year + 1900;
    fields->month = parts.tm_mon + 1;
    fields->day = parts.tm_mday;
    fields->wday = parts.tm_wday;
    fields->hour = parts.tm_hour;
    fields->minute = parts.tm_min;
    fields->second = parts.tm_sec;
    fields->millisecond = 0;
}

}  // namespace

void realTimeNow(long long* seconds, long* nanoseconds) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    *seconds = static_cast<long long>(now.tv_sec);
    *nanoseconds = static_cast<long>(now.tv_nsec);
}

void localTimeNow(LocalTimeFields* fields) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    LocalSecondCache& cache = t_localSecond;
    if (!cache.valid || cache.second != now.tv_sec) {
        fillLocalFields(now.tv_sec, &cache.fields);
        cache.second = now.tv_sec;
        cache.valid = true;
    }
    *fields = cache.fields;
    fields->millisecond = static_cast<int>(now.tv_nsec / 1000000);
}

unsigned long long monotonicMicroseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
           static_cast<unsigned long long>(now.tv_nsec) / 1000ULL;
}

int zoneOffsetSeconds() {
    // tzset() once, so that the variable holds the zone of the environment even before any
    // local-time call; the variable is then read at each call (it is a plain load), so a program
    // that changes TZ and calls tzset() again sees the new offset. It holds the standard-time
    // offset west of UTC.
    static const bool zoneRead = [] {
        tzset();
        return true;
    }();
    static_cast<void>(zoneRead);
    return static_cast<int>(timezone);
}

}  // namespace Platform
}  // namespace Tovix
