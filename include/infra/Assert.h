/// @file
/// The assertion reporter: internal checks of the library (and of its header templates) that
/// fail end the process with one fixed report on standard error.
#ifndef INFRA_ASSERT_H
#define INFRA_ASSERT_H

#include "infra/Defs.h"

namespace Tovix {
namespace Infra {
namespace Detail {

/// Reports a failed internal check on standard error and ends the process with abort(), after
/// flushing every output stream (standard output in a pipe or file keeps the lines before it):
///   ***** Internal Program Error - assertion (EXPR) failed in FUNCTION: FILE(LINE)
[[noreturn]] INFRA_API void assertionFailed(const char* expression, const char* function,
                                            const char* file, long line);

/// Same, with an explanatory message after the line number:
///   ***** Internal Program Error - assertion (EXPR) failed in FUNCTION: FILE(LINE): MESSAGE
[[noreturn]] INFRA_API void assertionFailedMsg(const char* expression, const char* message,
                                               const char* function, const char* file, long line);

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

/// Checks an invariant; a failure ends the process with the assertion report naming `text`.
#define INFRA_ASSERT_TEXT(expr, text) \
    (INFRA_LIKELY(expr)               \
         ? (void)0                    \
         : ::Tovix::Infra::Detail::assertionFailed(text, INFRA_FUNCTION, __FILE__, __LINE__))

/// Checks an invariant; a failure ends the process with the assertion report.
#define INFRA_ASSERT(expr) INFRA_ASSERT_TEXT(expr, #expr)

#define INFRA_ASSERT_MSG(expr, message)                               \
    (INFRA_LIKELY(expr) ? (void)0                                     \
                        : ::Tovix::Infra::Detail::assertionFailedMsg( \
                              #expr, message, INFRA_FUNCTION, __FILE__, __LINE__))

#endif  // INFRA_ASSERT_H
