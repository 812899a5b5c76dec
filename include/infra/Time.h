// Calendar time: a broken-down local date and time with second resolution, its plain record
// forms, and the system clocks.
//
// Seconds are counted from 1970-01-01 00:00:00. The calendar arithmetic is the library's own;
// every date that is converted to seconds is first clamped into the years 1970 to 2038 (see
// CTime::timeToSeconds), so any field values, however wild, give a defined result.
#ifndef INFRA_TIME_H
#define INFRA_TIME_H

#include "infra/Defs.h"

namespace Tovix {
namespace Infra {

// A date and time as plain fields (the record form of CTime).
struct SystemTime {
    int year;    // full year, e.g. 2013
    int month;   // 1..12
    int day;     // 1..31
    int wday;    // day of the week, 0 = Sunday .. 6; computed, never read as an input
    int hour;    // 0..23
    int minute;  // 0..59
    int second;  // 0..59
    int isdst;   // daylight-saving flag; -1 in every value this library creates, never interpreted
};
static_assert(sizeof(SystemTime) == 32, "SystemTime is eight 32-bit integers");

// A date and time with milliseconds, as read from the system clock (log prefixes, set-time
// hooks).
struct SystemTimeEx {
    int year;
    int month;
    int day;
    int wday;
    int hour;
    int minute;
    int second;
    int millisecond;  // 0..999
    int reserved[4];  // always 0
};
static_assert(sizeof(SystemTimeEx) == 48, "SystemTimeEx is twelve 32-bit integers");

namespace Detail {

// Turns the zone offset off (CTime::getTimeZone() then returns 0) or back on, for the whole
// process. Safe to call from any thread.
INFRA_API void setTimezoneDisabled(bool disabled);

// Calendar helpers shared by the constexpr constructor and the library. Month index 1..12.
constexpr int kDaysInMonth[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr int kDaysBeforeMonth[13] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

constexpr bool isLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Clamps the six date and time fields into 1970-01-01 00:00:00 .. 2038-12-31 23:59:59, field by
// field: year into 1970..2038, month into 1..12, day into 1..(length of that month, 29 for
// February of a leap year), hour into 0..23 (an hour above 23 also makes minute and second 59),
// minute and second into 0..59. wday and isdst are left alone.
constexpr void normalizeFields(SystemTime& t) {
    if (t.year < 1970) {
        t.year = 1970;
    } else if (t.year > 2038) {
        t.year = 2038;
    }
    if (t.month < 1) {
        t.month = 1;
    } else if (t.month > 12) {
        t.month = 12;
    }
    const int monthLength = (t.month == 2 && isLeapYear(t.year)) ? 29 : kDaysInMonth[t.month];
    if (t.day < 1) {
        t.day = 1;
    } else if (t.day > monthLength) {
        t.day = monthLength;
    }
    if (t.hour < 0) {
        t.hour = 0;
    } else if (t.hour > 23) {
        t.hour = 23;
        t.minute = 59;
        t.second = 59;
    }
    if (t.minute < 0) {
        t.minute = 0;
    } else if (t.minute > 59) {
        t.minute = 59;
    }
    if (t.second < 0) {
        t.second = 0;
    } else if (t.second > 59) {
        t.second = 59;
    }
}

// Day of the week (0 = Sunday) of a date already normalised by normalizeFields.
constexpr int weekdayOf(int year, int month, int day) {
    int days = (year - 1968) / 4 + year - 1970 + kDaysBeforeMonth[month] + day + 3;
    if (isLeapYear(year) && month < 3) {
        --days;
    }
    return days % 7;
}

}  // namespace Detail

// A local date and time with second resolution. It is a SystemTime (same layout, no extra
// data), so it can be passed wherever a SystemTime is expected; copying is a plain copy.
//
// Zone offset: the number of seconds to add to local standard time to get UTC (see
// getTimeZone); makeTime and breakTime apply it, the arithmetic operators do not.
//
// Unsigned seconds: results that would be negative (makeTime of a date early on 1970-01-01 east
// of Greenwich, breakTime of a count near 0 west of it, or subtracting more seconds than a value
// holds) wrap modulo 2^64 to a huge value; such a
// value, split back into fields, gives some date far beyond 2099 whose month, day, hour, minute
// and second are in range and whose year is capped at 2147483647. Nothing of this is undefined
// behaviour, but the date has no meaning.
class INFRA_API CTime : public SystemTime {
public:
    // 2000-01-01 00:00:00 and 2038-01-01 00:00:00 (weekday set, isdst -1). Constant-initialised,
    // so they are safe to read from static initialisers anywhere.
    static const CTime minTime;
    static const CTime maxTime;

    // All fields 0, isdst -1 (not a valid date: use the six-field constructor for one).
    constexpr CTime() : SystemTime{0, 0, 0, 0, 0, 0, 0, -1} {}

    // The local date and time of `seconds` since 1970-01-01 00:00:00 UTC (breakTime).
    CTime(unsigned long long seconds);

    // As CTime(seconds) when `withZone`; otherwise the plain split of `seconds` into fields,
    // without the zone offset (UTC fields when `seconds` is a UTC count).
    CTime(unsigned long long seconds, bool withZone);

    // The given fields, clamped into 1970-01-01 00:00:00 .. 2038-12-31 23:59:59 as described at
    // Detail::normalizeFields (e.g. 2013-02-29 gives 2013-02-28), with the weekday computed and
    // isdst -1. Usable in constant expressions.
    constexpr CTime(int theYear, int theMonth, int theDay, int theHour, int theMinute,
                    int theSecond)
        : SystemTime{theYear, theMonth, theDay, 0, theHour, theMinute, theSecond, -1} {
        Detail::normalizeFields(*this);
        wday = Detail::weekdayOf(year, month, day);
    }

    // The local fields as seconds since 1970-01-01 00:00:00 UTC: timeToSeconds(*this) plus the
    // zone offset (wraps modulo 2^64 when that is negative).
    unsigned long long makeTime() const;

    // Sets year, month, day, hour, minute, second and wday to the local date and time of the UTC
    // count `seconds` (seconds minus the zone offset, modulo 2^64). isdst is left as it was.
    void breakTime(unsigned long long seconds);

    // A new value (isdst -1): the split of timeToSeconds(*this) plus or minus `seconds`, without
    // the zone offset. Unsigned wrap-around as described at the class.
    CTime operator+(long long seconds) const;
    CTime operator-(long long seconds) const;
    // The same in place; isdst is kept.
    CTime& operator+=(long long seconds);
    CTime& operator-=(long long seconds);

    // timeToSeconds(*this) - timeToSeconds(other).
    long long operator-(const CTime& other) const;

    // Compare year, month, day, hour, minute and second, in that order of significance; wday and
    // isdst take no part.
    constexpr bool operator==(const CTime& other) const { return compare(other) == 0; }
    constexpr bool operator!=(const CTime& other) const { return compare(other) != 0; }
    constexpr bool operator<(const CTime& other) const { return compare(other) < 0; }
    constexpr bool operator>(const CTime& other) const { return compare(other) > 0; }
    constexpr bool operator<=(const CTime& other) const { return compare(other) <= 0; }
    constexpr bool operator>=(const CTime& other) const { return compare(other) >= 0; }

    // Seconds since 1970-01-01 00:00:00 of the fields of `time`, read as UTC, after clamping a
    // copy of them as described at Detail::normalizeFields. No zone offset. The result is in
    // 0 .. 2177452799 (2038-12-31 23:59:59).
    static unsigned long long timeToSeconds(const SystemTime& time);

    // The current local date and time, through the six-field constructor (so clamped).
    static CTime getCurrentTime();
    // The same as getCurrentTime.
    static CTime getCurTimeForPrint();

    // The current local date and time field by field, as the system gives it (not clamped), with
    // milliseconds; reserved fields 0. Cheap: about one clock read per call.
    static SystemTimeEx getCurrentTimeEx();

    // The current UTC time as seconds since 1970, through timeToSeconds (so clamped into
    // 1970..2038).
    static unsigned long long getCurrentUTCtime();
    // getCurrentUTCtime() * 1000 plus the milliseconds of the current second.
    static unsigned long long getCurrentUTCMilliSecond();

    // Microseconds since the library was loaded, from a monotonic counter (unaffected by setting
    // the system time).
    static unsigned long long getCurrentMicroSecond();
    // getCurrentMicroSecond() / 1000, but never less than any value this function has already
    // returned to any thread of the process.
    static unsigned long long getCurrentMilliSecond();

    // The seconds to add to local standard time to get UTC (e.g. -3600 for a zone one hour east
    // of Greenwich, whether or not daylight saving is in effect); 0 while time zones are
    // disabled. Read from the system once, at first use.
    static int getTimeZone();

private:
    constexpr int compare(const CTime& other) const {
        const int mine[6] = {year, month, day, hour, minute, second};
        const int theirs[6] = {other.year, other.month,  other.day,
                               other.hour, other.minute, other.second};
        for (int i = 0; i < 6; ++i) {
            if (mine[i] != theirs[i]) {
                return mine[i] < theirs[i] ? -1 : 1;
            }
        }
        return 0;
    }
};

static_assert(sizeof(CTime) == sizeof(SystemTime), "CTime adds no data to SystemTime");

}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_TIME_H
