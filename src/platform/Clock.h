// Platform, the clock seam: the system's real-time and monotonic clocks, local time and the zone
// offset. Implemented by src/platform/posix/Clock.cpp and src/platform/win32/Clock.cpp. Nothing
// here throws or fails: every function returns a usable value.
#ifndef INFRA_PLATFORM_CLOCK_H
#define INFRA_PLATFORM_CLOCK_H

namespace Tovix {
namespace Platform {

// The local date and time as the system splits it (daylight saving applied).
struct LocalTimeFields {
    int year;         // full year
    int month;        // 1..12
    int day;          // 1..31
    int wday;         // 0 = Sunday .. 6
    int hour;         // 0..23
    int minute;       // 0..59
    int second;       // 0..60 (60 only where the system reports leap seconds)
    int millisecond;  // 0..999
};

// The real-time (settable, wall) clock: whole seconds since 1970-01-01 00:00:00 UTC (negative
// before 1970) and the nanoseconds of the current second (0..999999999). Exact, not a coarse
// clock.
void realTimeNow(long long* seconds, long* nanoseconds);

// The current local date and time with milliseconds, read from the real-time clock. The split
// into local fields is done once per second of the clock and per thread; the other calls cost
// one clock read. Should the system fail to split the time, the fields are those of 1970-01-01
// 00:00:00 (a Thursday) with the current milliseconds.
void localTimeNow(LocalTimeFields* fields);

// A monotonic count of microseconds from an unspecified origin; it never goes back and does not
// follow changes of the system time.
unsigned long long monotonicMicroseconds();

// The seconds to add to local standard time to get UTC (west of Greenwich positive): the
// runtime's zone variable, read at each call. The first call has the runtime read the zone of
// the process environment (tzset); a program that changes TZ later calls tzset itself.
int zoneOffsetSeconds();

}  // namespace Platform
}  // namespace Tovix

#endif  // INFRA_PLATFORM_CLOCK_H
