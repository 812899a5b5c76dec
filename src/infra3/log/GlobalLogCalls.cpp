// Log: the global-namespace symbols of the level calls, for callers built against them. The public
// header names these functions by using-declarations of the namespaced ones; this file does not
// include it, so both symbols can be defined.
#include "infra/Defs.h"
#include "infra3/log/LevelCall.h"

INFRA_API int logDebug(const char* format, ...);
INFRA_API int logTrace(const char* format, ...);
INFRA_API int logInfo(const char* format, ...);
INFRA_API int logWarn(const char* format, ...);
INFRA_API int logError(const char* format, ...);
INFRA_API int logFatal(const char* format, ...);

INFRA_LEVEL_CALL(logDebug, 6)
INFRA_LEVEL_CALL(logTrace, 5)
INFRA_LEVEL_CALL(logInfo, 4)
INFRA_LEVEL_CALL(logWarn, 3)
INFRA_LEVEL_CALL(logError, 2)
INFRA_LEVEL_CALL(logFatal, 1)
