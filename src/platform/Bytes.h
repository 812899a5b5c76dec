// Platform, bytes: the byte searches some C libraries offer beyond the standard (memrchr,
// strchrnul), with portable loops elsewhere. Inline: they sit on the log's per-line path.
#ifndef INFRA_PLATFORM_BYTES_H
#define INFRA_PLATFORM_BYTES_H

#include <cstddef>
#include <cstring>

namespace Tovix {
namespace Platform {

// The last `c` among the first `size` bytes at `text`; null when there is none.
inline const char* lastByte(const char* text, char c, std::size_t size) {
#if defined(__GLIBC__)
    return static_cast<const char*>(memrchr(text, c, size));
#else
    for (std::size_t i = size; i > 0; --i) {
        if (text[i - 1] == c) {
            return text + i - 1;
        }
    }
    return nullptr;
#endif
}

// The first `c` at or after `text`, or its terminating NUL.
inline const char* byteOrEnd(const char* text, char c) {
#if defined(__GLIBC__)
    return strchrnul(text, c);
#else
    const char* found = std::strchr(text, c);
    return found != nullptr ? found : text + std::strlen(text);
#endif
}

}  // namespace Platform
}  // namespace Tovix

#endif  // INFRA_PLATFORM_BYTES_H
