// Time, CTime as text: format and parse by pictures, and the process-wide format settings.
#include <atomic>
#include <cstdint>
#include <cstring>

#include "infra/Mutex.h"
#include "infra/Time.h"
#include "infra3/core/Diagnostics.h"
#include "infra3/time/TimeText.h"

namespace Tovix {
namespace Infra {

namespace {

constexpr const char* kDefaultPicture = "yyyy-MM-dd HH:mm:ss";

// The derived settings travel as one word, so a format running while the settings change sees
// the old or the new set, never a mix of the two.
constexpr std::uint32_t packSettings(const Detail::TimeTextSettings& s) {
    return static_cast<std::uint32_t>(s.dateFormat & 0xFF) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s.separator)) << 8 |
           (s.twelveHour ? 1U << 16 : 0U);
}

Detail::TimeTextSettings unpackSettings(std::uint32_t word) {
    return Detail::TimeTextSettings{static_cast<int>(word & 0xFFU),
                                    static_cast<char>(static_cast<unsigned char>(word >> 8)),
                                    (word & (1U << 16)) != 0};
}

INFRA_CONSTINIT std::atomic<std::uint32_t> g_settings{
    packSettings(Detail::TimeTextSettings{CTime::ymd, '-', false})};

// The picture itself, with the lock that keeps it whole while it is replaced or copied. Never
// destroyed, so formatting from exit handlers stays safe.
struct PictureHolder {
    CMutex mutex;
    flex_string picture{kDefaultPicture};
};

PictureHolder& pictureHolder() {
    static PictureHolder* const holder = new PictureHolder;
    return *holder;
}

Detail::TimeTextSettings currentSettings() {
    return unpackSettings(g_settings.load(std::memory_order_acquire));
}

}  // namespace

void CTime::format(char* buffer, const char* picture, int mask) const {
    if (buffer == nullptr) {
        INFRA_DIAG(Detail::kLevelError, "buf is NULL!!\n");
        return;
    }
    if (picture == nullptr) {
        INFRA_DIAG(Detail::kLevelError, "format is NULL!!\n");
        buffer[0] = '\0';
        return;
    }
    // The caller promised room for the longest text this picture can give.
    Detail::formatTimeText(
        *this, picture, mask, currentSettings(), Detail::TimeTextStyle::kDigits, buffer,
        Detail::maxTimeTextLength(std::strlen(picture), Detail::TimeTextStyle::kDigits) + 1U);
}

bool CTime::format(char* buffer, std::size_t size, const char* picture, int mask) const {
    if (buffer == nullptr) {
        INFRA_DIAG(Detail::kLevelError, "buf is NULL!!\n");
        return false;
    }
    if (size == 0) {
        return false;
    }
    if (picture == nullptr) {
        INFRA_DIAG(Detail::kLevelError, "format is NULL!!\n");
        buffer[0] = '\0';
        return false;
    }
    const std::size_t length = Detail::formatTimeText(*this, picture, mask, currentSettings(),
                                                      Detail::TimeTextStyle::kDigits, buffer, size);
    return length < size;
}

bool CTime::parse(const char* text, const char* picture, int mask) {
    return parse(text, text != nullptr ? std::strlen(text) : 0U, picture, mask);
}

bool CTime::parse(const char* text, std::size_t length, const char* picture, int /*mask*/) {
    switch (Detail::parseTimeText(text, length, picture, *this)) {
        case Detail::TimeParseResult::kOk:
            return true;
        case Detail::TimeParseResult::kNotEnough:
            INFRA_DIAG_THIS(Detail::kLevelError, "CTime parser input information is not enough.\n");
            return false;
        case Detail::TimeParseResult::kHourInvalid:
            INFRA_DIAG_THIS(
                Detail::kLevelError,
                "CTime parser input hour format is not accord with real value format.\n");
            return false;
        case Detail::TimeParseResult::kHalfUnclear:
            INFRA_DIAG_THIS(Detail::kLevelError, "12 hours time point is unclear.\n");
            return false;
    }
    return false;
}

void CTime::setFormatString(const char* picture) {
    const char* text = picture != nullptr ? picture : "";
    const Detail::TimeTextSettings derived = Detail::deriveTimeTextSettings(text);
    PictureHolder& holder = pictureHolder();
    CMutexGuard guard(holder.mutex);
    holder.picture = text;
    g_settings.store(packSettings(derived), std::memory_order_release);
}

void CTime::setFormat(const flex_string& picture) {
    setFormatString(picture.c_str());
}

flex_string CTime::getFormat() {
    PictureHolder& holder = pictureHolder();
    CMutexGuard guard(holder.mutex);
    return holder.picture;
}

CTime::DateFormat CTime::getDateFormat() {
    return static_cast<DateFormat>(currentSettings().dateFormat);
}

bool CTime::get12Hour() {
    return currentSettings().twelveHour;
}

char CTime::getSeparator() {
    return currentSettings().separator;
}

}  // namespace Infra
}  // namespace Tovix
