// Log: the state shared by the print core, the log API and the sinks (module output state, the
// line-start and colour state, the option record), and the log-file stage. All of it is
// constant-initialised and never destroyed, so a log call from an exit handler or a late thread
// still finds it.
#ifndef INFRA_SRC_INFRA3_LOG_PRINTSTATE_H
#define INFRA_SRC_INFRA3_LOG_PRINTSTATE_H

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "infra/PrintCore.h"
#include "infra/Time.h"
#include "infra3/core/Diagnostics.h"
#include "infra3/core/Inline.h"

namespace Tovix {
namespace Infra {

struct PrintOptions;

namespace Detail {

// Module output state: all output off, the per-module table applies, all modules on.
enum ModuleOutputState { kModulesOff = 0, kModulesByTable = 1, kModulesAllOn = 2 };

constexpr int kLineBufferSize = 8192;
constexpr int kMaxLineLength = kLineBufferSize - 1;

struct PrintState {
    std::atomic<int> moduleOutputState{kModulesAllOn};
    std::atomic<bool> lineStart{true};
    std::atomic<bool> colourRestored{true};
    std::atomic<unsigned short> savedAttribute{0};
};

extern PrintState g_printState;
// Aligned so that a line can read the whole record in three atomic loads (see readPrintOptions).
alignas(8) extern InfraPrintOption g_printOption;

// Reads one option flag. Hosts may write the record directly through Infra_getPrintOption;
// the library's own reads and writes are atomic so that changing options while other threads
// log is not a data race.
inline bool printOption(const bool& flag) {
    return __atomic_load_n(&flag, __ATOMIC_RELAXED);
}
inline void setPrintOption(bool& flag, bool value) {
    __atomic_store_n(&flag, value, __ATOMIC_RELAXED);
}

// All option flags as one line reads them: three relaxed loads instead of one per flag, so a
// line sees a consistent record and can key per-thread caches on it.
struct PrintOptionSnapshot {
    std::uint64_t first;   // flags 0 to 7
    std::uint32_t second;  // flags 8 to 11
    std::uint8_t last;     // flag 12

    bool operator==(const PrintOptionSnapshot& o) const {
        return first == o.first && second == o.second && last == o.last;
    }
    // The flags as a record.
    InfraPrintOption options() const {
        InfraPrintOption o;
        static_assert(sizeof(InfraPrintOption) == 13, "thirteen one-byte flags");
        unsigned char bytes[13];
        std::memcpy(bytes, &first, 8);
        std::memcpy(bytes + 8, &second, 4);
        bytes[12] = last;
        std::memcpy(&o, bytes, sizeof o);
        return o;
    }
};

inline PrintOptionSnapshot readPrintOptions() {
    // may_alias: the flags are read as words through these types without breaking aliasing.
    typedef std::uint64_t __attribute__((may_alias)) Word64;
    typedef std::uint32_t __attribute__((may_alias)) Word32;
    const unsigned char* base = reinterpret_cast<const unsigned char*>(&g_printOption);
    PrintOptionSnapshot s;
    s.first = __atomic_load_n(reinterpret_cast<const Word64*>(base), __ATOMIC_RELAXED);
    s.second = __atomic_load_n(reinterpret_cast<const Word32*>(base + 8), __ATOMIC_RELAXED);
    s.last = __atomic_load_n(base + 12, __ATOMIC_RELAXED);
    return s;
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

// Whether the console shows colours: asked of the platform once (it does not change while the
// process runs). 0 not yet known, 1 yes, 2 no; constant-initialised, so reading needs no guard.
extern std::atomic<int> g_coloursActive;
bool askColoursActive();

inline bool coloursActive() {
    const int known = g_coloursActive.load(std::memory_order_relaxed);
    return known == 0 ? askColoursActive() : known == 1;
}

// Everything after the filters: compose, output (printer or console, then sinks), colour
// restore, log file, statistics. Returns the line's length.
int emitLine(int level, const char* module, const char* file, const char* function, int line,
             const char* version, const char* format, va_list args);

// logFilter with its arguments in a va_list: level, module output state and module table,
// then emitLine.
int vlogFilter(int level, const char* module, const char* file, const char* function, int line,
               const char* version, const char* format, va_list args);

inline void setModuleOutputState(ModuleOutputState state) {
    g_printState.moduleOutputState.store(state, std::memory_order_relaxed);
}

// Switches one module's lines on or off and makes the module table apply.
void setModuleSwitch(const char* module, bool on);
// Gives one module a level (switching it on) and makes the module table apply.
void setModuleLevel(const char* module, int level);

void setStatisticsEnabled(bool enabled);

// Sets one option flag in both the stored options and the live record.
void setPrintFlag(bool PrintOptions::*stored, bool InfraPrintOption::*live, bool value);

// Calls the printer (or prints to the console) and the sinks with one composed line.
void outputLine(int level, const char* line);

// Makes the sinks' shared state: attaches and detaches a do-nothing sink.
void prepareSinks();

// ---- The log-file stage ----------------------------------------------------------------------
// The log-file writer lies above the log: it fills this stage, and the log commands (which set
// the writer up) install it. Until then shown lines write no file.
// Lines at or below this level flush standard output once written (0: none).
extern std::atomic<int> g_flushLevel;

struct LogFileStage {
    // Appends one shown line dated `time`.
    int (*write)(const char* line, int length, const SystemTime& time);
    // Returns once a line being written has been written (takes and releases the writer's lock).
    void (*waitForWriter)();
};

void installLogFileStage(const LogFileStage* stage);

// Whether a log path is set: shown lines skip the stage while file output is off. The writer
// sets it.
extern std::atomic<bool> g_logFileActive;

inline bool logFileActive() {
    return g_logFileActive.load(std::memory_order_relaxed);
}

// The stage's calls; nothing while no stage is installed.
void writeToLogFile(const char* line, int length, const SystemTime& time);
void waitForLogFileWriter();

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SRC_INFRA3_LOG_PRINTSTATE_H
