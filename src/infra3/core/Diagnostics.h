// The library's own diagnostics: one formatting path for every module.
//
// INFRA_DIAG_THIS(level, "fmt", ...) logs "[file:line] this:%p tid:%d, " followed by the message
// from inside a member function; INFRA_DIAG(level, "fmt", ...) logs "[file:line] tid:%d, " and
// the message from anywhere; INFRA_DIAG_PLAIN(level, "fmt", ...) logs the message alone. All of
// them report under the module "Unknown", version "Unknown", with the source file, the enclosing
// function and the line, and cost one comparison when the level is not shown.
#ifndef INFRA_SRC_INFRA3_CORE_DIAGNOSTICS_H
#define INFRA_SRC_INFRA3_CORE_DIAGNOSTICS_H

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

// True when a line of `level` would be shown at all (the cheap first test).
INFRA_API bool diagnosticShown(int level);

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
