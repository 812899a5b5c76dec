// Platform, the local-time seam: conversions between local date and time fields and seconds by the
// system's zone rules (with daylight saving), and setting the real-time clock. Implemented by
// src/platform/posix/TimeZone.cpp (and a win32 counterpart).
#ifndef INFRA_PLATFORM_TIMEZONE_H
#define INFRA_PLATFORM_TIMEZONE_H

#include "platform/Clock.h"

namespace Tovix {
namespace Platform {

// Seconds since 1970-01-01 00:00:00 UTC of the local date and time given by the fields (month
// 1..12; out-of-range fields roll over into the next ones, 31 April being 1 May). `isdst` is 0
// (the fields are standard time), positive (daylight time) or negative (let the zone rules
// decide). False, with `*seconds` untouched, when the system cannot convert the fields (the
// year is beyond what it represents).
bool localFieldsToSeconds(int year, int month, int day, int hour, int minute, int second, int isdst,
                          long long* seconds);

// The local date and time of `seconds` since 1970-01-01 00:00:00 UTC (millisecond 0). False,
// with `*fields` untouched, when the system cannot split it.
bool secondsToLocalFields(long long seconds, LocalTimeFields* fields);

// Sets the real-time clock to `seconds` since 1970-01-01 00:00:00 UTC plus `nanoseconds`
// (0..999999999). False when the system refuses (no privilege, value out of range).
bool setRealTimeClock(long long seconds, long nanoseconds);

}  // namespace Platform
}  // namespace Tovix

#endif  // INFRA_PLATFORM_TIMEZONE_H
