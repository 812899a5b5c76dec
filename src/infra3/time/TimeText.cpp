// Time: a picture's facts (letters, date order, clock) and the settings a picture implies.
//
// The rest of the picture engine: TimePictureCache.cpp keeps the last few short pictures each
// thread used, read once; TimePictureWriter.cpp writes a time by a picture (through a prepared
// layout when every field has a fixed width, else step by step); TimePictureReader.cpp reads a
// text back leniently.
#include "infra3/time/TimeText.h"

#include <cstring>

#include "infra3/core/Diagnostics.h"
#include "infra3/time/TimePicture.h"

namespace Tovix {
namespace Infra {
namespace Detail {

namespace {

// Date order of the first positions of y, M and d; -1 when they are in no known order.
int orderOf(std::size_t y, std::size_t m, std::size_t d) {
    if (y < m && m < d) {
        return CTime::ymd;
    }
    if (m < d && d < y) {
        return CTime::mdy;
    }
    if (d < m && m < y) {
        return CTime::dmy;
    }
    return -1;
}

}  // namespace

PictureFacts factsOf(const char* picture) {
    PictureFacts facts;
    constexpr std::size_t kMissing = static_cast<std::size_t>(-1);
    std::size_t firstYear = kMissing;
    std::size_t firstMonth = kMissing;
    std::size_t firstDay = kMissing;
    std::size_t i = 0;
    std::uint32_t hash = 0;
    for (; picture[i] != '\0'; ++i) {
        hash = hash * 31U + static_cast<unsigned char>(picture[i]);
        switch (picture[i]) {
            case 'y':
                firstYear = facts.years++ == 0 ? i : firstYear;
                break;
            case 'M':
                firstMonth = facts.months++ == 0 ? i : firstMonth;
                break;
            case 'd':
                firstDay = facts.days++ == 0 ? i : firstDay;
                break;
            case 'h':
                facts.twelveHour = true;
                break;
            default:
                break;
        }
    }
    facts.length = i;
    facts.hash = hash | 1U;
    // A missing letter counts as after the end.
    facts.order =
        orderOf(firstYear == kMissing ? i : firstYear, firstMonth == kMissing ? i : firstMonth,
                firstDay == kMissing ? i : firstDay);
    return facts;
}

char separatorOfPicture(const char* picture, bool* valid) {
    bool found = true;
    char separator = '-';
    if (std::strchr(picture, '.') != nullptr) {
        separator = '.';
    } else if (std::strchr(picture, '/') != nullptr) {
        separator = '/';
    } else if (std::strchr(picture, '-') == nullptr) {
        found = false;
    }
    if (valid != nullptr) {
        *valid = found;
    }
    return separator;
}

int dateOrderOfPicture(const char* picture, bool* valid) {
    const int order = factsOf(picture).order;
    if (valid != nullptr) {
        *valid = order >= 0;
    }
    return order >= 0 ? order : CTime::ymd;
}

TimeTextSettings deriveTimeTextSettings(const char* picture) {
    TimeTextSettings settings{CTime::ymd, '-', false};
    bool valid = true;
    settings.separator = separatorOfPicture(picture, &valid);
    if (!valid) {
        INFRA_DIAG(kLevelError, "setFormat separator is invalid,set default separator: - \n");
    }
    settings.twelveHour = std::strchr(picture, 'h') != nullptr;
    settings.dateFormat = dateOrderOfPicture(picture, &valid);
    if (!valid) {
        INFRA_DIAG(kLevelError, "setFormat dateFormat is invalid,set default separator: ymd \n");
    }
    return settings;
}

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix
