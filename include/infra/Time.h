/// @file
/// Calendar time: a broken-down local date and time with second resolution, its plain record
/// forms, and the system clocks.
///
/// Seconds are counted from 1970-01-01 00:00:00. The calendar arithmetic is the library's own;
/// every date that is converted to seconds is first clamped into the years 1970 to 2038 (see
/// CTime::timeToSeconds), so any field values, however wild, give a defined result.
#ifndef INFRA_TIME_H
#define INFRA_TIME_H

#include <cstddef>

#include "infra/Defs.h"
#include "infra/FlexString.h"
#include "infra/Function.h"
#include "infra/SystemTime.h"

namespace Tovix {
namespace Infra {

namespace Detail {

/// Turns the zone offset off (CTime::getTimeZone() then returns 0) or back on, for the whole
/// process. Safe to call from any thread.
INFRA_API void setTimezoneDisabled(bool disabled);

/// Sets the machine's clock to the local date and time `local` (year, month, day, hour, minute,
/// second and millisecond are read; the rest is ignored); true when the clock was set. The
/// built-in set-time procedures call the current setter, which at start is the platform's own.
using LocalClockSetter = bool (*)(const SystemTimeEx& local);

/// Installs `setter` as the clock setter used by the built-in set-time procedures and returns
/// the one it replaces; a null `setter` reinstates the platform's own. Tests install a
/// recording setter so the machine's clock is never touched. Safe to call from any thread.
INFRA_API LocalClockSetter replaceLocalClockSetter(LocalClockSetter setter);

/// Calendar helpers shared by the constexpr constructor and the library. Month index 1..12.
constexpr int kDaysInMonth[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr int kDaysBeforeMonth[13] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

constexpr bool isLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

/// Clamps the six date and time fields into 1970-01-01 00:00:00 .. 2038-12-31 23:59:59, field by
/// field: year into 1970..2038, month into 1..12, day into 1..(length of that month, 29 for
/// February of a leap year), hour into 0..23 (an hour above 23 also makes minute and second 59),
/// minute and second into 0..59. wday and isdst are left alone.
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

/// Day of the week (0 = Sunday) of a date already normalised by normalizeFields.
constexpr int weekdayOf(int year, int month, int day) {
    int days = (year - 1968) / 4 + year - 1970 + kDaysBeforeMonth[month] + day + 3;
    if (isLeapYear(year) && month < 3) {
        --days;
    }
    return days % 7;
}

}  // namespace Detail

/// A local date and time with second resolution. It is a SystemTime (same layout, no extra
/// data), so it can be passed wherever a SystemTime is expected; copying is a plain copy.
///
/// Zone offset: the number of seconds to add to local standard time to get UTC (see
/// getTimeZone); makeTime and breakTime apply it, the arithmetic operators do not.
///
/// Unsigned seconds: results that would be negative (makeTime of a date early on 1970-01-01 east
/// of Greenwich, breakTime of a count near 0 west of it, or subtracting more seconds than a value
/// holds) wrap modulo 2^64 to a huge value; such a
/// value, split back into fields, gives some date far beyond 2099 whose month, day, hour, minute
/// and second are in range and whose year is capped at 2147483647. Nothing of this is undefined
/// behaviour, but the date has no meaning.
class INFRA_API CTime : public SystemTime {
public:
    /// 2000-01-01 00:00:00 and 2038-01-01 00:00:00 (weekday set, isdst -1). Constant-initialised,
    /// so they are safe to read from static initialisers anywhere.
    static const CTime minTime;
    static const CTime maxTime;

    /// All fields 0, isdst -1 (not a valid date: use the six-field constructor for one).
    constexpr CTime() : SystemTime{0, 0, 0, 0, 0, 0, 0, -1} {}

    /// The local date and time of `seconds` since 1970-01-01 00:00:00 UTC (breakTime).
    CTime(unsigned long long seconds);

    /// As CTime(seconds) when `withZone`; otherwise the plain split of `seconds` into fields,
    /// without the zone offset (UTC fields when `seconds` is a UTC count).
    CTime(unsigned long long seconds, bool withZone);

    /// The given fields, clamped into 1970-01-01 00:00:00 .. 2038-12-31 23:59:59 as described at
    /// Detail::normalizeFields (e.g. 2013-02-29 gives 2013-02-28), with the weekday computed and
    /// isdst -1. Usable in constant expressions.
    constexpr CTime(int theYear, int theMonth, int theDay, int theHour, int theMinute,
                    int theSecond)
        : SystemTime{theYear, theMonth, theDay, 0, theHour, theMinute, theSecond, -1} {
        Detail::normalizeFields(*this);
        wday = Detail::weekdayOf(year, month, day);
    }

    /// The local fields as seconds since 1970-01-01 00:00:00 UTC: timeToSeconds(*this) plus the
    /// zone offset (wraps modulo 2^64 when that is negative).
    unsigned long long makeTime() const;

    /// Sets year, month, day, hour, minute, second and wday to the local date and time of the UTC
    /// count `seconds` (seconds minus the zone offset, modulo 2^64). isdst is left as it was.
    void breakTime(unsigned long long seconds);

    /// A new value (isdst -1): the split of timeToSeconds(*this) plus or minus `seconds`, without
    /// the zone offset. Unsigned wrap-around as described at the class.
    CTime operator+(long long seconds) const;
    CTime operator-(long long seconds) const;
    /// The same in place; isdst is kept.
    CTime& operator+=(long long seconds);
    CTime& operator-=(long long seconds);

    /// timeToSeconds(*this) - timeToSeconds(other).
    long long operator-(const CTime& other) const;

    /// Compare year, month, day, hour, minute and second, in that order of significance; wday and
    /// isdst take no part.
    constexpr bool operator==(const CTime& other) const { return compare(other) == 0; }
    constexpr bool operator!=(const CTime& other) const { return compare(other) != 0; }
    constexpr bool operator<(const CTime& other) const { return compare(other) < 0; }
    constexpr bool operator>(const CTime& other) const { return compare(other) > 0; }
    constexpr bool operator<=(const CTime& other) const { return compare(other) <= 0; }
    constexpr bool operator>=(const CTime& other) const { return compare(other) >= 0; }

    /// Seconds since 1970-01-01 00:00:00 of the fields of `time`, read as UTC, after clamping a
    /// copy of them as described at Detail::normalizeFields. No zone offset. The result is in
    /// 0 .. 2177452799 (2038-12-31 23:59:59).
    static unsigned long long timeToSeconds(const SystemTime& time);

    /// The current local date and time, through the six-field constructor (so clamped).
    static CTime getCurrentTime();
    /// The same as getCurrentTime.
    static CTime getCurTimeForPrint();

    /// The current local date and time field by field, as the system gives it (not clamped), with
    /// milliseconds; reserved fields 0. Cheap: about one clock read per call.
    static SystemTimeEx getCurrentTimeEx();

    /// The current UTC time as seconds since 1970, through timeToSeconds (so clamped into
    /// 1970..2038).
    static unsigned long long getCurrentUTCtime();
    /// getCurrentUTCtime() * 1000 plus the milliseconds of the current second.
    static unsigned long long getCurrentUTCMilliSecond();

    /// Microseconds since the library was loaded, from a monotonic counter (unaffected by setting
    /// the system time).
    static unsigned long long getCurrentMicroSecond();
    /// getCurrentMicroSecond() / 1000, but never less than any value this function has already
    /// returned to any thread of the process.
    static unsigned long long getCurrentMilliSecond();

    /// The seconds to add to local standard time to get UTC (e.g. -3600 for a zone one hour east
    /// of Greenwich, whether or not daylight saving is in effect); 0 once time zones have been
    /// disabled. Read from the runtime at each call: a program that changes TZ and calls tzset()
    /// sees the new offset from then on. Not the value given to setTimeZone.
    static long getTimeZone();

    // ---- Text ----------------------------------------------------------------------------------
    //
    // Pictures: "yyyy"/"yy" year (more than two y in the whole picture: four digits, else the
    // year modulo 100), "MM"/"M" month, "dd"/"d" day, "HH"/"hh"/"H"/"h" hour, "mm"/"m" minute,
    // "ss"/"s" second, "tt" AM/PM; "-", "." and "/" are date separators; anything else is
    // copied. A one-letter field is written with one digit when its value has one. The three
    // runs of date letters take the year, month and day pieces in the date order in force
    // (process-wide, or from the picture with orderFromFormat), whatever letters they have; a
    // fourth date run writes nothing. Fields outside their ranges are written modulo 10000
    // (year) or 100 (the others); that is never an error.

    /// Order of the date pieces.
    enum DateFormat {
        ymd = 0,  ///< year, month, day
        mdy = 1,  ///< month, day, year
        dmy = 2,  ///< day, month, year
    };

    /// Bits of the `mask` argument of format.
    enum FormatMask {
        /// "-", "." and "/" of the picture are written as they stand; without it each becomes
        /// the process-wide separator.
        keepSeparator = 1,
        /// The date order is derived from the picture (as setFormatString does); without it the
        /// process-wide date format is used.
        orderFromFormat = 2,
        /// The 12-hour clock is used when the picture contains 'h'; without it the process-wide
        /// 12-hour flag decides.
        hourModeFromFormat = 4,
    };

    /// Codes left in the calling thread's last error by setting the time: the clock could not be
    /// set, or a set-time hook refused the time.
    static constexpr int errorSetTimeFailed = 0x1000000E;
    static constexpr int errorSetTimeRefused = 0x1000000F;

    /// Writes the value as text by `picture` into `buffer`, always terminated. On the 12-hour
    /// clock hour 0 shows as 12 and hours above 12 lose 12; "t" writes "AM" or "PM" for its whole
    /// run there, and on the 24-hour clock writes nothing and drops the blanks before it.
    /// The caller must provide at least 4 * strlen(picture) + 1 bytes, which is always enough;
    /// prefer the overload with a size. A null `buffer` is logged ("buf is NULL!!") and nothing
    /// is written; a null `picture` is logged and gives the empty text.
    void format(char* buffer, const char* picture, int mask) const;

    /// As above, writing at most `size` bytes including the terminator (nothing when `size` is
    /// 0). Returns true when the whole text fit; false when `buffer` or `picture` is null, `size`
    /// is 0, or the text was cut (the cut text is still terminated).
    bool format(char* buffer, std::size_t size, const char* picture, int mask) const;

    /// Sets the value from `text`, read leniently: up to six numbers are taken in order (digits
    /// at the current place form the next number, an empty run being 0, then everything up to
    /// the next digit is skipped); the picture only tells the date order (y, M, d by their first
    /// appearance: ymd, mdy or dmy; any other arrangement leaves the date fields as they were)
    /// and, by containing 'h', that the text is on the 12-hour clock and must contain "AM" or
    /// "PM". Numbers 4..6 are hour, minute and second. The fields are then clamped as by the
    /// six-field constructor and the weekday computed; returns true.
    /// Fails (logged, date and time fields set to 0, wday and isdst kept, false) when fewer than
    /// six numbers are found, or on a 12-hour text whose hour is above 12 or that has neither
    /// "AM" nor "PM". A null `text` is read as the empty text; a null `picture` as the empty
    /// picture. Numbers too large for an int count as INT_MAX. `mask` is not used.
    bool parse(const char* text, const char* picture, int mask);

    /// As above, reading exactly `length` bytes of `text` (no terminator needed; a NUL byte is an
    /// ordinary non-digit).
    bool parse(const char* text, std::size_t length, const char* picture, int mask);

    /// Sets the process-wide format (null counts as "") and derives from it the separator ("."
    /// if it contains a full stop, else "/" if it contains a slash, else "-", logging an error
    /// when it has none of the three), the 12-hour flag (it contains 'h') and the date format
    /// (from the first y, M and d; ymd with an error logged when they are in no known order).
    /// Start values: "yyyy-MM-dd HH:mm:ss", '-', 24-hour clock, ymd. Safe to call from any
    /// thread; a format running meanwhile sees either the old or the new settings, never a mix.
    static void setFormatString(const char* picture);
    /// setFormatString(picture.c_str()).
    static void setFormat(const flex_string& picture);
    /// A copy of the process-wide format.
    static flex_string getFormat();
    /// The settings derived from the process-wide format.
    static DateFormat getDateFormat();
    static bool get12Hour();
    static char getSeparator();

    // ---- System clock, hooks and zones --------------------------------------------------------

    /// Hook types: each gets the target time and the tolerance in seconds.
    using SetTimeHook = TFunction2<void, const CTime&, int>;
    using SetTimeHookEx = TFunction2<void, const SystemTimeEx&, int>;
    /// A procedure called after the built-in procedure has set the clock, with the time set.
    using ModifyProc = TFunction1<bool, SystemTime>;

    /// Sets the machine's local time to `time` (its six date and time fields, clamped as by the
    /// six-field constructor) through the set-time hook. The built-in hook clamps the time into
    /// minTime .. maxTime, does nothing when `tolerance` is not 0 and the clock is already within
    /// `tolerance` seconds of it, otherwise sets the clock (leaving errorSetTimeFailed in the
    /// last error when that fails) and then calls every attached modify procedure in order
    /// (logging an info line when there is none).
    static void setCurrentTime(const CTime& time, int tolerance);

    /// setCurrentTime, then false when this call left errorSetTimeFailed or errorSetTimeRefused
    /// in the calling thread's last error, true otherwise. An earlier failure of the thread does
    /// not count, and on success the thread's last error is what it was before the call.
    static bool setCurrentTimeEx(const CTime& time, int tolerance);

    /// The same with milliseconds, through the set-time hook Ex (reserved fields 0, weekday
    /// computed); the built-in hook Ex sets the clock with the record's milliseconds (clamped
    /// into 0..999). Returns as setCurrentTimeEx does.
    static bool setCurrentTime(const SystemTimeEx& time, int tolerance);

    /// Installs `hook` as the set-time hook and returns the hook it replaces, so that a host can
    /// call the previous one from its own. An empty `hook` reinstates the built-in procedure.
    /// Hooks run on the thread that sets the time, with no library lock held.
    static SetTimeHook attachSetCurrentTimeHook(SetTimeHook hook);
    /// The same for the hook Ex.
    static SetTimeHookEx attachSetCurrentTimeHookEx(SetTimeHookEx hook);

    /// Appends `proc` to the modify procedures (no check for duplicates). Procedures run without
    /// any library lock held, so one may attach further procedures (they run from the next set
    /// on); an empty one is kept in the list but never called. Returns true.
    static bool attachModifyProc(ModifyProc proc);

    /// Turns the zone offset off for the rest of the process (getTimeZone, makeTime and
    /// breakTime then use 0). Returns 0.
    static int disableTimezone();

    /// The embedded time zone, in seconds east of UTC: stored when -43200 <= seconds <= 50400
    /// (true), else refused (false, old value kept). Not set at start.
    static bool setTimeZone(int seconds);
    /// The embedded daylight flag: 1 when `on`, else 0. Returns true.
    static bool setDst(bool on);
    /// The embedded daylight flag; -1 until setDst is called.
    static int getDst();

    /// Offset in seconds east of UTC of row `index` (0..35) of the zone table; for any other
    /// index an error is logged and 0 returned.
    static int getTimeZonefromTable(int index);

    /// The current time as a UTC count for a host that keeps its own zone.
    struct UTCTimeDef {
        unsigned long long utc;  ///< seconds since 1970-01-01 00:00:00 UTC
        int timeZone;            ///< seconds east of UTC
        int dst;                 ///< 0 or 1
    };

    /// false while the embedded time zone or daylight flag is not set. Otherwise `out.utc` is
    /// timeToSeconds(getCurrentTime()) minus the embedded zone, minus 3600 more with daylight
    /// saving, `out.timeZone` and `out.dst` the stored values; true.
    static bool getUTCForEmbed(UTCTimeDef& out);

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
