// Log: a line's prefix, shared by the print core's entry points and the line composer: each
// level's word and console colour, and the prefix writer for a caller's buffer.
#ifndef INFRA_SRC_INFRA3_LOG_LINEPREFIX_H
#define INFRA_SRC_INFRA3_LOG_LINEPREFIX_H

#include <atomic>

#include "infra/Time.h"
#include "infra3/log/PrintState.h"
#include "platform/Console.h"

namespace Tovix {
namespace Infra {
namespace Detail {

struct LevelStyle {
    const char* word;
    unsigned char length;
    unsigned short attribute;  // red 4, green 2, blue 1
};

inline constexpr LevelStyle kLevelStyles[] = {
    {"", 0, 0},        // no level
    {"fatal ", 6, 5},  // red and blue
    {"error ", 6, 4},  // red
    {"warn ", 5, 6},   // red and green
    {"info ", 5, 2},   // green
    {"trace ", 6, 7},  // plain white
    {"debug ", 6, 3},  // green and blue
};

inline constexpr LevelStyle kUnknownLevelStyle{"", 0, 7};

// The word and colour of `level`; an unknown level has no word and plain white.
inline const LevelStyle& levelStyle(int level) {
    return level >= 0 && level <= 6 ? kLevelStyles[level] : kUnknownLevelStyle;
}

// Switches the console to the colour of `level`, remembering the colour to restore.
// Colour state is shared by all threads; when no console shows colours the switches and their
// flags are skipped, which keeps logging threads from writing the shared state on every line.
inline void switchColour(int level) {
    if (!coloursActive()) {
        return;
    }
    g_printState.savedAttribute.store(Platform::consoleGetTextAttribute(),
                                      std::memory_order_relaxed);
    Platform::consoleSetTextAttribute(levelStyle(level).attribute);
    g_printState.colourRestored.store(false, std::memory_order_relaxed);
}

// Writes the prefix (see Infra_logOptionControl) into `buffer` of `size` bytes, terminated,
// colour switch included; `fileLength` is strlen(file), or -1 when not known. Returns the
// prefix's length; 0 when `buffer` is null or `size` is 0.
int writePrefix(char* buffer, unsigned int size, int level, const char* module, const char* file,
                long fileLength, const char* function, int line, const char* version,
                const SystemTimeEx& now);

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SRC_INFRA3_LOG_LINEPREFIX_H
