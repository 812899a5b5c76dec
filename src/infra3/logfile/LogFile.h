// Log file: the writer's settings and entry points, for the log commands and tests.
#ifndef INFRA_SRC_INFRA3_LOGFILE_LOGFILE_H
#define INFRA_SRC_INFRA3_LOGFILE_LOGFILE_H

#include <atomic>

#include "infra/Mutex.h"
#include "infra/Time.h"
#include "infra3/log/PrintState.h"

namespace Tovix {
namespace Infra {
namespace Detail {

// The lock that serialises writers, renames and pruning. Never destroyed.
CMutex& logFileLock();

// Stores a new log path and prepares it: a path ending in '/' or '\\' is refused (the path
// becomes empty), a bare file name is taken in the current directory. An empty path ends file
// output. Does not close an open file.
void logFileSetPath(const char* path);
// The prepared path ("" while file output is off).
INFRA_API const char* logFileGetPath();

// Size limit in bytes (0: none in rotating mode).
void logFileSetSizeLimit(int bytes);
// Save mode: false = none (one file, emptied at the size limit), true = rotating.
void logFileSetRotating(bool rotating);
void logFileSetByDay(bool byDay);
// Maximum number of rotated copies ("<path>_YYYY-MM-DD_N") kept beside the active file: pruning
// runs right after a rotation renamed the active file away (0: none is ever deleted). The oldest
// copy goes first, by date and then by sequence number; no other file is ever counted or
// deleted.
void logFileSetMaxCount(int count);

struct LogFileSettings {
    int sizeLimit;
    bool rotating;
    bool byDay;
    int maxCount;
};
INFRA_API LogFileSettings logFileGetSettings();

// Stores a new path as logFileSetPath does and every setting at once, under the writer's lock,
// and closes the file open under the previous path (the next line opens the new one).
void logFileConfigure(const char* path, const LogFileSettings& settings);

// Appends one shown line, dated `time` (the date decides rotation by day and names rotated
// files). 0 when written, -1 when no path is set or the file cannot be opened. The log API
// calls it for every shown line; tests call it to choose the date.
INFRA_API int logFileWrite(const char* line, int length, const SystemTime& time);

// The writer as the print path's log-file stage (see PrintState.h).
const LogFileStage* logFileStage();

// Closes the file if it is open; the next write opens it again.
void logFileCleanup();

// Closes the file and forgets the first write, as at process start (for tests that run
// several scenarios in one process).
INFRA_API void logFileRestart();

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SRC_INFRA3_LOGFILE_LOGFILE_H
