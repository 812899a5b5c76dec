// Core: the diagnostics seam, through which every module reports into the log.
//
// The log lies above most modules, so they never include its headers: they report through the
// calls below, and the log binds itself to them when it is loaded (until then, and in a program
// linked statically without the log, lines go to standard output as they are). The print level
// lives here, so the first test of every line is one comparison.
//
// INFRA_DIAG_THIS(level, "fmt", ...) logs "[file:line] this:%p tid:%d, " followed by the message
// from inside a member function; INFRA_DIAG(level, "fmt", ...) logs "[file:line] tid:%d, " and
// the message from anywhere; INFRA_DIAG_PLAIN(level, "fmt", ...) logs the message alone. All of
// them report under the module "Unknown", version "Unknown", with the source file, the enclosing
// function and the line, and cost one comparison when the level is not shown.
#ifndef INFRA_SRC_INFRA3_CORE_DIAGNOSTICS_H
#define INFRA_SRC_INFRA3_CORE_DIAGNOSTICS_H

#include <atomic>
#include <cstdarg>

#include "infra/Defs.h"

namespace Tovix {
namespace Infra {
namespace Detail {

// Levels of the library's diagnostics.
enum DiagnosticLevel {
    kLevelFatal = 1,
    kLevelError = 2,
    kLevelWarn = 3,
    kLevelInfo = 4,
    kLevelTrace = 5,
    kLevelDebug = 6,
};

// The print level: lines of a higher level are not shown. Set through the log API.
extern std::atomic<int> g_printLevel;

// True when a line of `level` passes the print level.
inline bool levelShown(int level) {
    return level <= g_printLevel.load(std::memory_order_relaxed);
}

// True when a line of `level` would be shown at all (the cheap first test).
INFRA_API bool diagnosticShown(int level);

// One line's way into the log: level, module, file, function, line, version, format.
using LogLineCall = int (*)(int, const char*, const char*, const char*, int, const char*,
                            const char*, va_list);

// What the log lends the modules below it.
struct LogBinding {
    LogLineCall filtered;  // through the module switches, as logFilter
    LogLineCall direct;    // past them, as the level calls (logInfo …)
    void (*prepare)();     // makes the log's shared state (before threads that log start)
};

// Binds the log; called by the log itself when it is loaded. `binding` lives for ever.
void bindLog(const LogBinding* binding);

// A level call (logInfo …) for modules below the log: the module "Unknown", no file,
// function, line or version.
int logLevelLine(int level, const char* format, ...) INFRA_PRINTF_FORMAT(2, 3);

// Makes the log's shared state before the caller starts threads that log.
void prepareLog();

// The calling thread's id as log lines show it.
INFRA_API int diagnosticThreadId();

// Formats and logs one diagnostic line; `function` is the compiler's signature text, reduced to
// the qualified function name before it is printed. Returns the length of the line written.
INFRA_API int logDiagnostic(int level, const char* file, const char* function, int line,
                            const char* format, ...) INFRA_PRINTF_FORMAT(5, 6);

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#define INFRA_DIAG_PLAIN(level, format, ...)                                                      \
    (::Tovix::Infra::Detail::diagnosticShown(level)                                               \
         ? (void)::Tovix::Infra::Detail::logDiagnostic(level, __FILE__, INFRA_FUNCTION, __LINE__, \
                                                       format, ##__VA_ARGS__)                     \
         : (void)0)

// A line as the level calls write it (logInfo …), for modules below the log.
#define INFRA_LOG_LEVEL(level, format, ...)                                         \
    (::Tovix::Infra::Detail::levelShown(level)                                      \
         ? (void)::Tovix::Infra::Detail::logLevelLine(level, format, ##__VA_ARGS__) \
         : (void)0)

#define INFRA_DIAG(level, format, ...)                                     \
    INFRA_DIAG_PLAIN(level, "[%s:%d] tid:%d, " format, __FILE__, __LINE__, \
                     ::Tovix::Infra::Detail::diagnosticThreadId(), ##__VA_ARGS__)

// For a report about `object` from outside its own member functions.
#define INFRA_DIAG_OBJECT(level, object, format, ...)                              \
    INFRA_DIAG_PLAIN(level, "[%s:%d] this:%p tid:%d, " format, __FILE__, __LINE__, \
                     static_cast<const void*>(object),                             \
                     ::Tovix::Infra::Detail::diagnosticThreadId(), ##__VA_ARGS__)

#define INFRA_DIAG_THIS(level, format, ...) INFRA_DIAG_OBJECT(level, this, format, ##__VA_ARGS__)

#endif  // INFRA_SRC_INFRA3_CORE_DIAGNOSTICS_H
