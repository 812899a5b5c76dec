// Log: the body of one level call (logDebug … logFatal): tests the level only, then logs under the
// module "Unknown" with no file, function, line or version. Shared by the namespaced calls and
// their global-namespace twins so that both names run the same code.
#ifndef INFRA_SRC_INFRA3_LOG_LEVELCALL_H
#define INFRA_SRC_INFRA3_LOG_LEVELCALL_H

#include <cstdarg>

#include "infra3/log/PrintState.h"

#define INFRA_LEVEL_CALL(name, level)                                                             \
    int name(const char* format, ...) {                                                           \
        if (INFRA_UNLIKELY(::Tovix::Infra::Detail::levelShown(level))) {                          \
            va_list args;                                                                         \
            va_start(args, format);                                                               \
            const int length = ::Tovix::Infra::Detail::emitLine(level, "Unknown", nullptr, "", 0, \
                                                                "", format, args);                \
            va_end(args);                                                                         \
            return length;                                                                        \
        }                                                                                         \
        return 0;                                                                                 \
    }

#endif  // INFRA_SRC_INFRA3_LOG_LEVELCALL_H
