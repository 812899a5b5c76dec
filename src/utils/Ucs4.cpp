// Character sets: UCS-4 to UTF-8. Kept apart from the other UTF-8 conversions because it is the
// only converter that logs.
#include <cstdint>
#include <cstring>

#include "infra/CharSet.h"
#include "infra3/core/Diagnostics.h"
#include "utils/Utf8Internal.h"

namespace Tovix {
namespace Utils {

int UCS4ToUtf8(char* ucs4, int ucs4Len, unsigned char* utf8, int utf8Size) {
    if (ucs4 == nullptr) {
        INFRA_LOG_LEVEL(Infra::Detail::kLevelWarn, "ucs4 is invalid\n");
        return 0;
    }
    if (utf8 == nullptr) {
        INFRA_LOG_LEVEL(Infra::Detail::kLevelWarn, "utf8 is invalid\n");
        return 0;
    }
    if (ucs4Len < 0 || ucs4Len % 4 != 0) {
        INFRA_LOG_LEVEL(Infra::Detail::kLevelWarn, "UCS4ToUtf8 ucs4Len error\n");
        return 0;
    }
    int written = 0;
    const int count = ucs4Len / 4;
    for (int i = 0; i < count; ++i) {
        std::uint32_t value;
        std::memcpy(&value, ucs4 + 4 * i, sizeof value);  // the values need not be aligned
        if (value & 0x80000000u) {
            continue;
        }
        const int length = Detail::utf8LongLength(value);
        if (length > utf8Size - written) {
            INFRA_LOG_LEVEL(Infra::Detail::kLevelWarn, "UCS4ToUtf8 utf8Size error\n");
            return written;
        }
        written += Detail::encodeUtf8Long(value, utf8 + written);
    }
    return written;
}

}  // namespace Utils
}  // namespace Tovix
