// Legacy, the legacy global CTime: local-time conversions by the system's zone rules, its own
// format settings, and forwards to Tovix::Infra::CTime and CThread.
#include "infra/legacy/Time.h"

#include <cstring>
#include <utility>

#include "infra/Mutex.h"
#include "infra/Thread.h"
#include "infra3/core/Diagnostics.h"
#include "infra3/time/TimeText.h"
#include "platform/TimeZone.h"

namespace {

using Tovix::Infra::Detail::TimeTextSettings;
using Tovix::Infra::Detail::TimeTextStyle;

// The derived settings are exported as plain objects; the library's own reads and writes of
// them are atomic so that its calls never race with each other.
template <class T>
T loadSetting(const T& setting) {
    return __atomic_load_n(&setting, __ATOMIC_RELAXED);
}

template <class T>
void storeSetting(T& setting, T value) {
    __atomic_store_n(&setting, value, __ATOMIC_RELAXED);
}

// Guards m_format within the library's calls. Never destroyed.
Tovix::Infra::CMutex& formatMutex() {
    static Tovix::Infra::CMutex* const mutex = new Tovix::Infra::CMutex;
    return *mutex;
}

TimeTextSettings currentSettings() {
    return TimeTextSettings{loadSetting(CTime::m_dateFormat), loadSetting(CTime::m_dateSeparator),
                            loadSetting(CTime::m_12hour)};
}

// The fields of a system split, isdst untouched.
void assignFields(CTime& time, const Tovix::Platform::LocalTimeFields& fields) {
    time.year = fields.year;
    time.month = fields.month;
    time.day = fields.day;
    time.wday = fields.wday;
    time.hour = fields.hour;
    time.minute = fields.minute;
    time.second = fields.second;
}

}  // namespace

std::string CTime::m_format = "yyyy-MM-dd HH:mm:ss";
int CTime::m_dateFormat = 0;
bool CTime::m_12hour = false;
char CTime::m_dateSeparator = '-';

INFRA_CONSTINIT const CTime CTime::minTime(ConstantTag{}, 2000, 1, 1, 6);
INFRA_CONSTINIT const CTime CTime::maxTime(ConstantTag{}, 2038, 1, 1, 5);

CTime::CTime() : year(0), month(0), day(0), wday(0), hour(0), minute(0), second(0), isdst(-1) {}

CTime::CTime(const Tovix::Infra::SystemTime& time)
    : year(time.year),
      month(time.month),
      day(time.day),
      wday(time.wday),
      hour(time.hour),
      minute(time.minute),
      second(time.second),
      isdst(time.isdst) {}

CTime::CTime(unsigned long long seconds) : CTime() {
    breakTime(seconds);
}

CTime::CTime(int theYear, int theMonth, int theDay, int theHour, int theMinute, int theSecond)
    : year(theYear),
      month(theMonth),
      day(theDay),
      wday(0),
      hour(theHour),
      minute(theMinute),
      second(theSecond),
      isdst(-1) {
    breakTime(makeTime());
}

unsigned long long CTime::makeTime() const {
    long long seconds = 0;
    if (!Tovix::Platform::localFieldsToSeconds(year, month, day, hour, minute, second, -1,
                                               &seconds) ||
        seconds < 0) {
        return 0;
    }
    return static_cast<unsigned long long>(seconds);
}

void CTime::breakTime(unsigned long long seconds) {
    Tovix::Platform::LocalTimeFields fields;
    if (Tovix::Platform::secondsToLocalFields(static_cast<long long>(seconds), &fields)) {
        assignFields(*this, fields);
    }
}

CTime CTime::operator+(long long seconds) const {
    CTime result = *this;
    result += seconds;
    return result;
}

CTime CTime::operator-(long long seconds) const {
    CTime result = *this;
    result -= seconds;
    return result;
}

CTime& CTime::operator+=(long long seconds) {
    breakTime(makeTime() + static_cast<unsigned long long>(seconds));
    return *this;
}

CTime& CTime::operator-=(long long seconds) {
    breakTime(makeTime() - static_cast<unsigned long long>(seconds));
    return *this;
}

long long CTime::operator-(const CTime& other) const {
    return static_cast<long long>(makeTime() - other.makeTime());
}

bool CTime::operator==(const CTime& other) const {
    return makeTime() == other.makeTime();
}

bool CTime::operator!=(const CTime& other) const {
    return makeTime() != other.makeTime();
}

bool CTime::operator<(const CTime& other) const {
    return makeTime() < other.makeTime();
}

bool CTime::operator<=(const CTime& other) const {
    return makeTime() <= other.makeTime();
}

bool CTime::operator>(const CTime& other) const {
    return makeTime() > other.makeTime();
}

bool CTime::operator>=(const CTime& other) const {
    return makeTime() >= other.makeTime();
}

CTime CTime::getCurrentTime() {
    const Tovix::Infra::CTime now = Tovix::Infra::CTime::getCurrentTime();
    return CTime(now.year, now.month, now.day, now.hour, now.minute, now.second);
}

void CTime::setCurrentTime(const CTime& time, int tolerance) {
    Tovix::Infra::CTime::setCurrentTime(
        Tovix::Infra::CTime(time.year, time.month, time.day, time.hour, time.minute, time.second),
        tolerance);
}

unsigned long long CTime::getCurrentMilliSecond() {
    return Tovix::Infra::CTime::getCurrentMilliSecond();
}

unsigned long long CTime::getCurrentMicroSecond() {
    return Tovix::Infra::CTime::getCurrentMicroSecond();
}

void CTime::sleep(int milliseconds) {
    Tovix::Infra::CThread::sleep(milliseconds);
}

void CTime::setFormat(std::string format) {
    const TimeTextSettings derived = Tovix::Infra::Detail::deriveTimeTextSettings(format.c_str());
    Tovix::Infra::CMutexGuard guard(formatMutex());
    m_format = std::move(format);
    storeSetting(m_dateSeparator, derived.separator);
    storeSetting(m_12hour, derived.twelveHour);
    storeSetting(m_dateFormat, derived.dateFormat);
}

std::string CTime::getFormat() {
    Tovix::Infra::CMutexGuard guard(formatMutex());
    return m_format;
}

int CTime::getDateFormat() {
    return loadSetting(m_dateFormat);
}

bool CTime::get12Hour() {
    return loadSetting(m_12hour);
}

char CTime::getSpliter() {
    return loadSetting(m_dateSeparator);
}

void CTime::setFormat(int dateFormat, int separator, int timeFormat) {
    storeSetting(m_dateFormat, dateFormat);
    static const char kSeparators[3] = {'.', '-', '/'};
    if (separator >= 0 && separator <= 2) {
        storeSetting(m_dateSeparator, kSeparators[separator]);
    }
    if (timeFormat == 0 || timeFormat == 1) {
        storeSetting(m_12hour, timeFormat == 1);
    }
}

int CTime::getTimeFormat() {
    return loadSetting(m_12hour) ? 1 : 0;
}

int CTime::getDateSeparator() {
    switch (loadSetting(m_dateSeparator)) {
        case '-':
            return 1;
        case '/':
            return 2;
        default:
            return 0;
    }
}

void CTime::format(char* buffer, const char* format) const {
    if (buffer == nullptr) {
        INFRA_DIAG(Tovix::Infra::Detail::kLevelError, "buf is NULL!!\n");
        return;
    }
    if (format == nullptr) {
        INFRA_DIAG(Tovix::Infra::Detail::kLevelError, "format is NULL!!\n");
        return;
    }
    // The caller promised room for the longest text this picture can give.
    Tovix::Infra::Detail::formatTimeText(
        Tovix::Infra::SystemTime{year, month, day, wday, hour, minute, second, isdst}, format, 0,
        currentSettings(), TimeTextStyle::kLegacy, buffer,
        Tovix::Infra::Detail::maxTimeTextLength(std::strlen(format), TimeTextStyle::kLegacy) + 1U);
}

bool CTime::format(char* buffer, std::size_t size, const char* format) const {
    if (buffer == nullptr) {
        INFRA_DIAG(Tovix::Infra::Detail::kLevelError, "buf is NULL!!\n");
        return false;
    }
    if (format == nullptr) {
        INFRA_DIAG(Tovix::Infra::Detail::kLevelError, "format is NULL!!\n");
        return false;
    }
    if (size == 0) {
        return false;
    }
    const std::size_t length = Tovix::Infra::Detail::formatTimeText(
        Tovix::Infra::SystemTime{year, month, day, wday, hour, minute, second, isdst}, format, 0,
        currentSettings(), TimeTextStyle::kLegacy, buffer, size);
    return length < size;
}
