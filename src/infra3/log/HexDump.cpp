// Log: the hex dump of a memory range, one whole line per 16 bytes.
#include <cstdio>

#include "infra/PrintLog.h"
#include "infra3/core/Diagnostics.h"
#include "infra3/core/Digits.h"

namespace Tovix {
namespace Infra {

using Detail::levelShown;

void dumpHex(unsigned char* data, unsigned int length) {
    if (data == nullptr || !levelShown(5)) {
        return;
    }
    // Each dump line is logged whole, so lines of other threads cannot cut into it.
    char text[16 + 2 + 16 * 3 + 2 + 16 + 2];
    unsigned int lines = 0;
    for (unsigned int offset = 0; offset < length; offset += 16) {
        const unsigned int n = length - offset < 16 ? length - offset : 16;
        const unsigned char* group = data + offset;
        int pos = std::snprintf(text, sizeof text, "%p: ", static_cast<const void*>(group));
        if (pos < 0 || pos >= static_cast<int>(sizeof text)) {
            pos = 0;
        }
        for (unsigned int i = 0; i < 16; ++i) {
            if (i < n) {
                text[pos++] = Detail::kHexDigitsLower[group[i] >> 4];
                text[pos++] = Detail::kHexDigitsLower[group[i] & 15];
                text[pos++] = ' ';
            } else {
                text[pos++] = ' ';
                text[pos++] = ' ';
                text[pos++] = ' ';
            }
        }
        text[pos++] = ' ';
        text[pos++] = ' ';
        for (unsigned int i = 0; i < n; ++i) {
            text[pos++] = group[i] >= 32 && group[i] <= 122 ? static_cast<char>(group[i]) : '.';
        }
        text[pos++] = '\n';
        text[pos] = '\0';
        logTrace("%s", text);
        // The empty line closes each full 512 bytes; a short final line is not one of them.
        if (n == 16 && ++lines % 32 == 0) {
            logTrace("\n");
        }
    }
}

}  // namespace Infra
}  // namespace Tovix
