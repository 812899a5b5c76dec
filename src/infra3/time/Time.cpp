// Time, calendar time: the library's own calendar arithmetic over the platform clocks.
#include "infra/Time.h"

#include <atomic>
#include <climits>
#include <cstdint>

#include "platform/Clock.h"

namespace Tovix {
namespace Infra {

namespace {

constexpr unsigned long long kSecondsPerDay = 86400ULL;

std::atomic<bool> g_timezoneDisabled{false};

// Highest value getCurrentMilliSecond has returned.
std::atomic<unsigned long long> g_lastMilliSecond{0};

// The monotonic reading of the library's start, taken at load (g_loadReading below) or, should
// another static initialiser ask first, at that first use.
unsigned long long startMicroseconds() {
    static const unsigned long long start = Platform::monotonicMicroseconds();
    return start;
}
[[maybe_unused]] const unsigned long long g_loadReading = startMicroseconds();

// ---- Seconds to fields ------------------------------------------------------------------------
//
// Dates are counted in years that start on 1 March, so that the leap day is the last day of a
// year and the month and day follow from the day of that year alone.

// Month and day of each day of a year starting on 1 March (index 0 = 1 March, 365 = 29 Feb).
struct MarchYearTable {
    unsigned char month[366];
    unsigned char day[366];
};

constexpr MarchYearTable makeMarchYearTable() {
    MarchYearTable table{};
    const int lengths[12] = {31, 30, 31, 30, 31, 31, 30, 31, 30, 31, 31, 29};  // March .. February
    int index = 0;
    for (int m = 0; m < 12; ++m) {
        for (int d = 1; d <= lengths[m]; ++d) {
            table.month[index] = static_cast<unsigned char>(m < 10 ? m + 3 : m - 9);
            table.day[index] = static_cast<unsigned char>(d);
            ++index;
        }
    }
    return table;
}

constexpr MarchYearTable kMarchYear = makeMarchYearTable();

// Up to 2100-03-01 00:00:00 (exclusive) every fourth year is a leap year, starting from 1968,
// and the fast path of splitSeconds holds.
constexpr unsigned long long kFastSplitLimit = 47541ULL * kSecondsPerDay;
static_assert(kFastSplitLimit < (1ULL << 32), "the fast split takes 32-bit inputs");

// splitSeconds for seconds < kFastSplitLimit. Divisions are multiplications by fixed-point
// reciprocals, exact over this range (the tests compare every day and every second of a day
// with the C library):
//   0xC22E4507 / 2^48   1/86400 for inputs below 2^32
//   1193047 / 2^32      1/3600; the fraction's low 32 bits times 60 give the minutes, and the
//                       next fraction times 60 the seconds
//   613566757 / 2^32    1/7, the fraction times 7 gives the remainder
//   2939745 / 2^32      1/1461 (days of four years) for the small counts used here
void splitSecondsFast(unsigned long long seconds, SystemTime& out) {
    const unsigned long long days = (seconds * 0xC22E4507ULL) >> 48;
    const unsigned long long rest = seconds - days * kSecondsPerDay;
    const unsigned long long hours = rest * 1193047ULL;
    const unsigned long long minutes = static_cast<std::uint32_t>(hours) * 60ULL;
    const unsigned long long secs = static_cast<std::uint32_t>(minutes) * 60ULL;
    const unsigned long long weekday =
        static_cast<std::uint32_t>((days + 4U) * 613566757ULL) * 7ULL;  // 1970-01-01: Thursday
    // Four times the days since 1968-03-01 (671 days before 1970-01-01), plus 3: divided by
    // 1461 (the days of four years) it gives whole years from that date.
    const unsigned long long quarter = 4U * days + (4U * 671U + 3U);
    const unsigned long long years = (quarter * 2939745ULL) >> 32;
    const unsigned long long dayOfYear = (quarter - years * 1461U) >> 2;
    out.year = static_cast<int>(1968U + years + (dayOfYear >= 306U ? 1U : 0U));
    out.month = kMarchYear.month[dayOfYear];
    out.day = kMarchYear.day[dayOfYear];
    out.wday = static_cast<int>(weekday >> 32);
    out.hour = static_cast<int>(hours >> 32);
    out.minute = static_cast<int>(minutes >> 32);
    out.second = static_cast<int>(secs >> 32);
}

// splitSeconds for any input: 400-year eras in 64-bit arithmetic; a year beyond the range of
// int is capped at INT_MAX.
void splitSecondsWide(unsigned long long seconds, SystemTime& out) {
    const unsigned long long days = seconds / kSecondsPerDay;
    const unsigned int rest = static_cast<unsigned int>(seconds - days * kSecondsPerDay);
    out.hour = static_cast<int>(rest / 3600U);
    out.minute = static_cast<int>(rest / 60U % 60U);
    out.second = static_cast<int>(rest % 60U);
    out.wday = static_cast<int>((days + 4U) % 7U);
    const unsigned long long fromMarch0 = days + 719468ULL;  // days since 0000-03-01
    const unsigned long long era = fromMarch0 / 146097ULL;
    const unsigned int dayOfEra = static_cast<unsigned int>(fromMarch0 - era * 146097ULL);
    const unsigned int yearOfEra =
        (dayOfEra - dayOfEra / 1460U + dayOfEra / 36524U - dayOfEra / 146096U) / 365U;
    const unsigned int dayOfYear =
        dayOfEra - (365U * yearOfEra + yearOfEra / 4U - yearOfEra / 100U);
    out.month = kMarchYear.month[dayOfYear];
    out.day = kMarchYear.day[dayOfYear];
    const unsigned long long year = era * 400ULL + yearOfEra + (dayOfYear >= 306U ? 1U : 0U);
    out.year = year > static_cast<unsigned long long>(INT_MAX) ? INT_MAX : static_cast<int>(year);
}

// Splits `seconds` since 1970-01-01 00:00:00 into date, time and weekday: exact proleptic
// Gregorian for every input. isdst is not touched.
void splitSeconds(unsigned long long seconds, SystemTime& out) {
    if (INFRA_LIKELY(seconds < kFastSplitLimit)) {
        splitSecondsFast(seconds, out);
    } else {
        splitSecondsWide(seconds, out);
    }
}

// The zone offset as an unsigned addend (two's complement wrap for negative offsets).
unsigned long long zoneAddend() {
    return static_cast<unsigned long long>(static_cast<long long>(CTime::getTimeZone()));
}

CTime splitToTime(unsigned long long seconds) {
    CTime result;
    splitSeconds(seconds, result);
    return result;
}

}  // namespace

namespace Detail {

void setTimezoneDisabled(bool disabled) {
    g_timezoneDisabled.store(disabled, std::memory_order_relaxed);
}

}  // namespace Detail

static_assert(CTime(2000, 1, 1, 0, 0, 0).wday == 6, "2000-01-01 was a Saturday");
static_assert(CTime(2038, 1, 1, 0, 0, 0).wday == 5, "2038-01-01 was a Friday");

INFRA_CONSTINIT const CTime CTime::minTime(2000, 1, 1, 0, 0, 0);
INFRA_CONSTINIT const CTime CTime::maxTime(2038, 1, 1, 0, 0, 0);

CTime::CTime(unsigned long long seconds) : CTime() {
    breakTime(seconds);
}

CTime::CTime(unsigned long long seconds, bool withZone) : CTime() {
    if (withZone) {
        breakTime(seconds);
    } else {
        splitSeconds(seconds, *this);
    }
}

unsigned long long CTime::makeTime() const {
    return timeToSeconds(*this) + zoneAddend();
}

void CTime::breakTime(unsigned long long seconds) {
    splitSeconds(seconds - zoneAddend(), *this);
}

CTime CTime::operator+(long long seconds) const {
    return splitToTime(timeToSeconds(*this) + static_cast<unsigned long long>(seconds));
}

CTime CTime::operator-(long long seconds) const {
    return splitToTime(timeToSeconds(*this) - static_cast<unsigned long long>(seconds));
}

CTime& CTime::operator+=(long long seconds) {
    splitSeconds(timeToSeconds(*this) + static_cast<unsigned long long>(seconds), *this);
    return *this;
}

CTime& CTime::operator-=(long long seconds) {
    splitSeconds(timeToSeconds(*this) - static_cast<unsigned long long>(seconds), *this);
    return *this;
}

long long CTime::operator-(const CTime& other) const {
    // Both counts are below 2^32, so the difference always fits.
    return static_cast<long long>(timeToSeconds(*this)) -
           static_cast<long long>(timeToSeconds(other));
}

unsigned long long CTime::timeToSeconds(const SystemTime& time) {
    SystemTime t = time;
    Detail::normalizeFields(t);
    long long days = (t.year - 1970) * 365LL + (t.year - 1968) / 4 +
                     Detail::kDaysBeforeMonth[t.month] + t.day - 1;
    if (t.month < 3 && Detail::isLeapYear(t.year)) {
        --days;
    }
    return static_cast<unsigned long long>(days) * kSecondsPerDay +
           static_cast<unsigned long long>(t.hour * 3600 + t.minute * 60 + t.second);
}

CTime CTime::getCurrentTime() {
    Platform::LocalTimeFields now;
    Platform::localTimeNow(&now);
    return CTime(now.year, now.month, now.day, now.hour, now.minute, now.second);
}

CTime CTime::getCurTimeForPrint() {
    return getCurrentTime();
}

SystemTimeEx CTime::getCurrentTimeEx() {
    Platform::LocalTimeFields now;
    Platform::localTimeNow(&now);
    return SystemTimeEx{now.year,   now.month,  now.day,         now.wday,    now.hour,
                        now.minute, now.second, now.millisecond, {0, 0, 0, 0}};
}

namespace {

// The UTC seconds of the real-time clock through timeToSeconds, and the milliseconds.
unsigned long long utcSecondsNow(long* milliseconds) {
    long long seconds = 0;
    long nanoseconds = 0;
    Platform::realTimeNow(&seconds, &nanoseconds);
    if (milliseconds != nullptr) {
        *milliseconds = nanoseconds / 1000000L;
    }
    SystemTime fields = {};
    splitSeconds(seconds < 0 ? 0ULL : static_cast<unsigned long long>(seconds), fields);
    return CTime::timeToSeconds(fields);
}

}  // namespace

unsigned long long CTime::getCurrentUTCtime() {
    return utcSecondsNow(nullptr);
}

unsigned long long CTime::getCurrentUTCMilliSecond() {
    long milliseconds = 0;
    const unsigned long long seconds = utcSecondsNow(&milliseconds);
    return seconds * 1000ULL + static_cast<unsigned long long>(milliseconds);
}

unsigned long long CTime::getCurrentMicroSecond() {
    return Platform::monotonicMicroseconds() - startMicroseconds();
}

unsigned long long CTime::getCurrentMilliSecond() {
    const unsigned long long now = getCurrentMicroSecond() / 1000ULL;
    unsigned long long last = g_lastMilliSecond.load(std::memory_order_acquire);
    while (now > last) {
        if (g_lastMilliSecond.compare_exchange_weak(last, now, std::memory_order_acq_rel,
                                                    std::memory_order_acquire)) {
            return now;
        }
    }
    return last;
}

long CTime::getTimeZone() {
    if (g_timezoneDisabled.load(std::memory_order_relaxed)) {
        return 0;
    }
    return Platform::zoneOffsetSeconds();
}

}  // namespace Infra
}  // namespace Tovix
