// State shared by the print core and the log API: print level, module output state, the
// line-start and colour state, and the option record. All of it is constant-initialised and
// never destroyed, so a log call from an exit handler or a late thread still finds it.
#ifndef INFRA_SRC_INFRA3_PRINTSTATE_H
#define INFRA_SRC_INFRA3_PRINTSTATE_H

#include <atomic>
#include <cstdarg>
#include <cstddef>

#include "infra/PrintCore.h"
#include "infra/Time.h"

namespace Tovix {
namespace Infra {
namespace Detail {

// Module output state: all output off, the per-module table applies, all modules on.
enum ModuleOutputState { kModulesOff = 0, kModulesByTable = 1, kModulesAllOn = 2 };

constexpr int kLineBufferSize = 8192;
constexpr int kMaxLineLength = kLineBufferSize - 1;

struct PrintState {
    std::atomic<int> printLevel{3};
    std::atomic<int> moduleOutputState{kModulesAllOn};
    std::atomic<bool> lineStart{true};
    std::atomic<bool> colourRestored{true};
    std::atomic<unsigned short> savedAttribute{0};
};

extern PrintState g_printState;
extern InfraPrintOption g_printOption;

// Reads one option flag. Hosts may write the record directly through Infra_getPrintOption;
// the library's own reads and writes are atomic so that changing options while other threads
// log is not a data race.
inline bool printOption(const bool& flag) {
    return __atomic_load_n(&flag, __ATOMIC_RELAXED);
}
inline void setPrintOption(bool& flag, bool value) {
    __atomic_store_n(&flag, value, __ATOMIC_RELAXED);
}

// The text after the last '/' or '\\' of `file`; `file` itself when it ends in one or has none.
// A null file gives "". The second form also stores the name's length.
const char* baseFileName(const char* file);
const char* baseFileName(const char* file, std::size_t* length);

// Composes a whole line into `buffer` (kLineBufferSize bytes): the prefix (with the file name
// part of `file`), then the message. Updates the line-start flag and returns the line's length.
// `now` receives the time read.
int composeLine(char* buffer, int level, const char* module, const char* file, const char* function,
                int line, const char* version, SystemTimeEx* now, const char* format, va_list args);

// True when a line of `level` passes the print level.
inline bool levelShown(int level) {
    return level <= g_printState.printLevel.load(std::memory_order_relaxed);
}

// Everything after the filters: compose, output (printer or console, then sinks), colour
// restore, log file, statistics. Returns the line's length.
int emitLine(int level, const char* module, const char* file, const char* function, int line,
             const char* version, const char* format, va_list args);

// logFilter with its arguments in a va_list: level, module output state and module table,
// then emitLine.
int vlogFilter(int level, const char* module, const char* file, const char* function, int line,
               const char* version, const char* format, va_list args);

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SRC_INFRA3_PRINTSTATE_H
