/// @file
/// The plain date-and-time records that cross the interface: SystemTime (the record form of
/// CTime, declared in Time.h) and SystemTimeEx (the system clock's reading with milliseconds).
#ifndef INFRA_SYSTEMTIME_H
#define INFRA_SYSTEMTIME_H

namespace Tovix {
namespace Infra {

/// A date and time as plain fields (the record form of CTime).
struct SystemTime {
    int year;    ///< full year, e.g. 2013
    int month;   ///< 1..12
    int day;     ///< 1..31
    int wday;    ///< day of the week, 0 = Sunday .. 6; computed, never read as an input
    int hour;    ///< 0..23
    int minute;  ///< 0..59
    int second;  ///< 0..59
    int isdst;  ///< daylight-saving flag; -1 in every value this library creates, never interpreted
};
static_assert(sizeof(SystemTime) == 32, "SystemTime is eight 32-bit integers");

/// A date and time with milliseconds, as read from the system clock (log prefixes, set-time
/// hooks).
struct SystemTimeEx {
    int year;
    int month;
    int day;
    int wday;
    int hour;
    int minute;
    int second;
    int millisecond;  ///< 0..999
    int reserved[4];  ///< always 0
};
static_assert(sizeof(SystemTimeEx) == 48, "SystemTimeEx is twelve 32-bit integers");

}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SYSTEMTIME_H
