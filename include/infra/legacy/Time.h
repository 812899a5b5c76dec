/// @file
/// The legacy global-namespace calendar time, kept for older callers. New code uses
/// Tovix::Infra::CTime (infra/Time.h).
///
/// The differences from the new class: conversions between fields and seconds follow the
/// system's local-time rules (with daylight saving) instead of the library's own arithmetic;
/// out-of-range fields roll over (31 April becomes 1 May) instead of being clamped; values are
/// compared by their seconds; the format settings are this class's own, and formatting takes no
/// mask.
#ifndef INFRA_LEGACY_TIME_H
#define INFRA_LEGACY_TIME_H

#include <cstddef>
#include <string>

#include "infra/Defs.h"
#include "infra/Time.h"

/// A local date and time: the eight fields of Tovix::Infra::SystemTime, in the same order.
class INFRA_API CTime {
public:
    int year;
    int month;
    int day;
    int wday;
    int hour;
    int minute;
    int second;
    int isdst;

    /// Format settings of this class, read and written without a lock: set them before
    /// formatting from several threads. Start values: "yyyy-MM-dd HH:mm:ss", 0 (0
    /// year-month-day, 1 month-day-year, 2 day-month-year), false, '-'. The library reads and
    /// writes the three derived settings atomically, so its own calls never tear them.
    /// m_format is an ordinary static object: do not use it from other libraries' static
    /// initialisers or destructors.
    static std::string m_format;
    static int m_dateFormat;
    static bool m_12hour;
    static char m_dateSeparator;

    /// 2000-01-01 00:00:00 and 2038-01-01 00:00:00 local (weekday set, isdst -1); constant-
    /// initialised.
    static const CTime minTime;
    static const CTime maxTime;

    /// All fields 0, isdst -1: not a date; assign one before use.
    CTime();

    /// Copies the eight fields.
    CTime(const Tovix::Infra::SystemTime& time);

    /// The local date and time of `seconds` since 1970 UTC (breakTime).
    CTime(unsigned long long seconds);

    /// The given fields rolled over by the local-time rules (2013-04-31 gives 2013-05-01,
    /// hour 24 the next day), isdst -1, weekday computed. Fields the system cannot convert give
    /// the local date of second 0.
    CTime(int year, int month, int day, int hour, int minute, int second);

    /// Seconds since 1970 UTC of the six fields read as local time, out-of-range fields rolling
    /// over; whether daylight saving applies is decided by the zone rules for that date, so
    /// makeTime is the inverse of breakTime all year round. 0 when the time is before 1970 or the
    /// system cannot convert the fields.
    unsigned long long makeTime() const;

    /// Sets year, month, day, wday, hour, minute and second to the local date and time of
    /// `seconds` (a count above 2^63 is read as negative, before 1970); isdst is kept. Counts the
    /// system cannot split leave the fields unchanged.
    void breakTime(unsigned long long seconds);

    /// makeTime() plus or minus `seconds`, split again (local rules, daylight saving included).
    CTime operator+(long long seconds) const;
    CTime operator-(long long seconds) const;
    CTime& operator+=(long long seconds);
    CTime& operator-=(long long seconds);

    /// makeTime() - other.makeTime().
    long long operator-(const CTime& other) const;

    /// Compare the makeTime() values (so every date before 1970 equals every other).
    bool operator==(const CTime& other) const;
    bool operator!=(const CTime& other) const;
    bool operator<(const CTime& other) const;
    bool operator<=(const CTime& other) const;
    bool operator>(const CTime& other) const;
    bool operator>=(const CTime& other) const;

    /// The current local time.
    static CTime getCurrentTime();

    /// Tovix::Infra::CTime::setCurrentTime of the six fields.
    static void setCurrentTime(const CTime& time, int tolerance);

    /// Tovix::Infra::CTime::getCurrentMilliSecond and getCurrentMicroSecond.
    static unsigned long long getCurrentMilliSecond();
    static unsigned long long getCurrentMicroSecond();

    /// Tovix::Infra::CThread::sleep.
    static void sleep(int milliseconds);

    /// Stores `format` and derives the separator, the 12-hour flag and the date format from it as
    /// Tovix::Infra::CTime::setFormatString does (with the same error messages).
    static void setFormat(std::string format);
    /// A copy of m_format.
    static std::string getFormat();
    static int getDateFormat();
    static bool get12Hour();
    static char getSpliter();

    /// m_dateFormat = dateFormat (any value is stored; values other than 1 and 2 format as
    /// year-month-day); separator 0, 1, 2 sets '.', '-', '/' (other values keep it); timeFormat 0
    /// sets the 24-hour clock, 1 the 12-hour clock (other values keep it). m_format is unchanged.
    static void setFormat(int dateFormat, int separator, int timeFormat);
    /// 1 on the 12-hour clock, else 0.
    static int getTimeFormat();
    /// The separator as a code: 0 '.', 1 '-', 2 '/'; 0 for anything else.
    static int getDateSeparator();

    /// Writes the value by the picture `format` (see Tovix::Infra::CTime::format, mask 0) with
    /// this class's settings: every "-", "." and "/" becomes m_dateSeparator; the year is
    /// "%04d" or "%02d" of year % 100, month and day "%d" for a single letter and "%02d" else,
    /// hour, minute and second "%d" for a single letter and "%02d" for a run. A null `buffer` or
    /// `format` is logged and nothing is written. The caller must provide
    /// 11 * strlen(format) + 1 bytes (4 * strlen(format) + 1 when every field is in its range);
    /// prefer the overload with a size.
    void format(char* buffer, const char* format) const;

    /// As above, writing at most `size` bytes with the terminator; true when the whole text fit,
    /// false when it was cut (still terminated) or an argument is null or `size` is 0.
    bool format(char* buffer, std::size_t size, const char* format) const;

private:
    struct ConstantTag {};
    constexpr CTime(ConstantTag, int theYear, int theMonth, int theDay, int theWday)
        : year(theYear),
          month(theMonth),
          day(theDay),
          wday(theWday),
          hour(0),
          minute(0),
          second(0),
          isdst(-1) {}
};

static_assert(sizeof(CTime) == sizeof(Tovix::Infra::SystemTime),
              "the legacy CTime has the eight fields of SystemTime");

#endif  // INFRA_LEGACY_TIME_H
