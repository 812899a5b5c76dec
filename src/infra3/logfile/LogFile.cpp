// Log file: the writer (path settings, the line writer, rotation by day and by size, pruning),
// plugged into the print path as its log-file stage.
//
// Everything the writer does to the file happens under one lock, so a line is written whole
// into exactly one file: a rotation closes and renames the active file between two lines.
// The writer reports its own failures with printf on standard output, never through the log
// (which would call back into it).
#include "infra3/logfile/LogFile.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>

#include "infra/File.h"
#include "infra/FileFind.h"
#include "platform/LogStream.h"

namespace Tovix {
namespace Infra {
namespace Detail {

namespace {

struct LogFileState {
    CMutex lock;
    std::string path INFRA_GUARDED_BY(lock);
    std::string searchPattern INFRA_GUARDED_BY(lock);
    std::FILE* file INFRA_GUARDED_BY(lock) = nullptr;
    // Bytes written to the open file since it was opened or emptied.
    long long currentSize INFRA_GUARDED_BY(lock) = 0;
    int sizeLimit INFRA_GUARDED_BY(lock) = 0;
    bool rotating INFRA_GUARDED_BY(lock) = false;
    bool byDay INFRA_GUARDED_BY(lock) = false;
    int maxCount INFRA_GUARDED_BY(lock) = 0;
    // The date of the line that opened or last began the active file (all zero at start).
    SystemTime fileDate INFRA_GUARDED_BY(lock){};
    bool firstWriteDone INFRA_GUARDED_BY(lock) = false;
    // The second (secondKey) of the last check that the open file still has its name.
    long long checkedSecond INFRA_GUARDED_BY(lock) = -1;
};

// Never destroyed: lines logged from exit handlers or late threads still find it.
LogFileState& state() {
    static LogFileState* const s = new LogFileState;
    return *s;
}

void printOpenFailure(int line) {
    const int error = errno;
    std::printf("[%s:%d]fopen faild,errno:%d, errmesg:%s\n", __FILE__, line, error,
                std::strerror(error));
}

void printRenameFailure(int line) {
    const int error = errno;
    std::printf("[%s:%d]rename faild,errno:%d, errmesg:%s\n", __FILE__, line, error,
                std::strerror(error));
}

// Orders the seconds of one run of the process (not a calendar value).
long long secondKey(const SystemTime& t) {
    return ((((static_cast<long long>(t.year) * 13 + t.month) * 32 + t.day) * 24 + t.hour) * 60 +
            t.minute) *
               60 +
           t.second;
}

bool sameDate(const SystemTime& a, const SystemTime& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day;
}

// Reads up to `maxDigits` decimal digits at `*text` into `*value` (saturating). False when
// there is no digit.
bool readNumber(const char** text, int maxDigits, int* value) {
    const char* p = *text;
    long long v = 0;
    int digits = 0;
    while (digits < maxDigits && *p >= '0' && *p <= '9') {
        if (v < 1000000000) {
            v = v * 10 + (*p - '0');
        }
        ++p;
        ++digits;
    }
    if (digits == 0) {
        return false;
    }
    *value = static_cast<int>(v > 0x7fffffff ? 0x7fffffff : v);
    *text = p;
    return true;
}

std::string rotatedSuffix(const SystemTime& date, int sequence) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "_%04d-%02d-%02d_%d", date.year, date.month, date.day,
                  sequence);
    return suffix;
}

// Parses "_YYYY-MM-DD_N" exactly as rotatedSuffix writes it, and nothing after it: a name that
// merely begins like a rotated copy (a user's "app.log_2013-05-07_0.bak") is not one. The log
// path is never used as a format.
bool parseRotatedSuffix(const char* text, SystemTime* date, int* sequence) {
    const char* p = text;
    if (*p++ != '_' || !readNumber(&p, 4, &date->year) || *p++ != '-' ||
        !readNumber(&p, 2, &date->month) || *p++ != '-' || !readNumber(&p, 2, &date->day) ||
        *p++ != '_' || !readNumber(&p, 10, sequence)) {
        return false;
    }
    return rotatedSuffix(*date, *sequence) == text;
}

// The date and sequence of `entry` when it is a rotated copy of the log at `path`.
bool isRotatedCopy(const std::string& entry, const std::string& path, SystemTime* date,
                   int* sequence) {
    return entry.size() > path.size() && entry.compare(0, path.size(), path) == 0 &&
           parseRotatedSuffix(entry.c_str() + path.size(), date, sequence);
}

// Orders rotated copies from the oldest: by date, then by sequence number (several rotations
// within one second share their file time).
bool olderCopy(const SystemTime& date, int sequence, const SystemTime& thanDate, int thanSequence) {
    return std::tie(date.year, date.month, date.day, sequence) <
           std::tie(thanDate.year, thanDate.month, thanDate.day, thanSequence);
}

// The name the active file takes when it is rotated with `date`: the next free sequence number
// among the files of that date.
std::string rotatedName(const LogFileState& s, const SystemTime& date) INFRA_REQUIRES(s.lock) {
    int next = 0;
    CFileFind find;
    if (!find.findFile(s.searchPattern.c_str())) {
        std::printf("[%s:%d]no such logpath\n", __FILE__, __LINE__);
    } else {
        int largest = -1;
        do {
            SystemTime found{};
            int sequence = 0;
            if (isRotatedCopy(find.getFilePath(), s.path, &found, &sequence) &&
                sameDate(found, date) && sequence > largest) {
                largest = sequence;
            }
        } while (find.findNextFile());
        if (largest >= 0) {
            next = largest == 0x7fffffff ? largest : largest + 1;
        }
    }
    return s.path + rotatedSuffix(date, next);
}

// Deletes the oldest rotated copy of the log once the copies and the active file together are
// more than the maximum count. At most one file per call; nothing but the log's own rotated
// copies is ever counted as a copy or removed.
void prune(const LogFileState& s) INFRA_REQUIRES(s.lock) {
    if (s.maxCount == 0) {
        return;
    }
    CFileFind find;
    if (!find.findFile(s.searchPattern.c_str())) {
        std::printf("[%s:%d]no such logpath\n", __FILE__, __LINE__);
        return;
    }
    int count = 0;
    std::string oldest;
    SystemTime oldestDate{};
    int oldestSequence = 0;
    do {
        if (find.isDirectory()) {
            continue;
        }
        const std::string entry = find.getFilePath();
        SystemTime date{};
        int sequence = 0;
        if (entry == s.path) {
            ++count;
        } else if (isRotatedCopy(entry, s.path, &date, &sequence)) {
            ++count;
            if (oldest.empty() || olderCopy(date, sequence, oldestDate, oldestSequence)) {
                oldest = entry;
                oldestDate = date;
                oldestSequence = sequence;
            }
        }
    } while (find.findNextFile());
    find.close();
    if (count > s.maxCount && !oldest.empty()) {
        CFile::remove(oldest.c_str());
    }
}

std::FILE* openLogFile(const std::string& path, bool truncate) {
    return Platform::openLogStream(path.c_str(), truncate);
}

void closeFile(LogFileState& s) INFRA_REQUIRES(s.lock) {
    if (s.file != nullptr) {
        std::fclose(s.file);
        s.file = nullptr;
    }
}

// Once per process, before the first line: an existing file at the path is either counted
// (mode none) or rotated away with the line's date (rotating mode).
void firstWrite(LogFileState& s, const SystemTime& date) INFRA_REQUIRES(s.lock) {
    FileInfo info;
    if (CFile::stat(s.path.c_str(), info)) {
        if (!s.rotating) {
            s.currentSize = static_cast<long long>(info.size);
        } else {
            const std::string name = rotatedName(s, date);
            if (std::rename(s.path.c_str(), name.c_str()) != 0) {
                printRenameFailure(__LINE__);
            }
            prune(s);
        }
    }
    s.firstWriteDone = true;
}

// Closes the active file, renames it after the date it was begun on and begins a new one.
// 0 when a file is open afterwards, -1 when none could be opened.
int rotate(LogFileState& s, const SystemTime& date) INFRA_REQUIRES(s.lock) {
    const std::string name = rotatedName(s, s.fileDate);
    closeFile(s);
    if (std::rename(s.path.c_str(), name.c_str()) == 0) {
        prune(s);
        s.fileDate = date;
        s.file = openLogFile(s.path, true);
        s.currentSize = 0;
    } else {
        printRenameFailure(__LINE__);
        s.file = openLogFile(s.path, false);
    }
    if (s.file == nullptr) {
        printOpenFailure(__LINE__);
        return -1;
    }
    return 0;
}

}  // namespace

CMutex& logFileLock() {
    return state().lock;
}

namespace {

void storePath(LogFileState& s, const char* path) INFRA_REQUIRES(s.lock) {
    s.path = path != nullptr ? path : "";
    s.searchPattern.clear();
    g_logFileActive.store(false, std::memory_order_relaxed);
    if (s.path.empty()) {
        return;
    }
    const char last = s.path.back();
    if (last == '/' || last == '\\') {
        std::printf("[%s:%d]logDir is invalid\n", __FILE__, __LINE__);
        s.path.clear();
        return;
    }
    const std::string::size_type slash = s.path.rfind('/');
    if (slash == std::string::npos) {
        s.path = "./" + s.path;
        s.searchPattern = "./*";
    } else {
        s.searchPattern = s.path.substr(0, slash + 1) + "*";
    }
    g_logFileActive.store(true, std::memory_order_relaxed);
}

}  // namespace

void logFileSetPath(const char* path) {
    LogFileState& s = state();
    CMutexGuard guard(s.lock);
    storePath(s, path);
}

void logFileConfigure(const char* path, const LogFileSettings& settings) {
    LogFileState& s = state();
    CMutexGuard guard(s.lock);
    closeFile(s);
    storePath(s, path);
    s.sizeLimit = settings.sizeLimit;
    s.rotating = settings.rotating;
    s.byDay = settings.byDay;
    s.maxCount = settings.maxCount;
}

// The text is handed out and read after the lock would be left, so taking it here would guard
// nothing: callers read the path while no other thread sets it.
const char* logFileGetPath() INFRA_NO_THREAD_SAFETY_ANALYSIS {
    return state().path.c_str();
}

void logFileSetSizeLimit(int bytes) {
    CMutexGuard guard(state().lock);
    state().sizeLimit = bytes;
}

void logFileSetRotating(bool rotating) {
    CMutexGuard guard(state().lock);
    state().rotating = rotating;
}

void logFileSetByDay(bool byDay) {
    CMutexGuard guard(state().lock);
    state().byDay = byDay;
}

void logFileSetMaxCount(int count) {
    CMutexGuard guard(state().lock);
    state().maxCount = count;
}

LogFileSettings logFileGetSettings() {
    LogFileState& s = state();
    CMutexGuard guard(s.lock);
    return LogFileSettings{s.sizeLimit, s.rotating, s.byDay, s.maxCount};
}

int logFileWrite(const char* line, int length, const SystemTime& time) {
    if (!logFileActive()) {
        return -1;
    }
    LogFileState& s = state();
    CMutexGuard guard(s.lock);
    if (s.path.empty()) {
        return -1;
    }
    if (!s.firstWriteDone) {
        firstWrite(s, time);
    }
    // A file removed under the writer (its directory deleted, say) would swallow every line
    // that follows: begin again at the path, and fail visibly while that is impossible. The
    // check costs a system call, so it is made at the first line of each second.
    const long long second = secondKey(time);
    if (s.file != nullptr && second != s.checkedSecond) {
        s.checkedSecond = second;
        if (!Platform::streamStillLinked(s.file)) {
            closeFile(s);
        }
    }
    bool openedNow = false;
    if (s.file == nullptr) {
        s.file = openLogFile(s.path, false);
        if (s.file == nullptr) {
            printOpenFailure(__LINE__);
            return -1;
        }
        openedNow = true;
        s.fileDate = time;
    }
    bool rotationDue =
        s.rotating && s.byDay && s.fileDate.year != 0 && !openedNow && !sameDate(s.fileDate, time);
    // A limit of 0 means no limit in both modes: emptying the file before every line would
    // keep nothing but the last line.
    if (s.sizeLimit > 0 && s.currentSize >= s.sizeLimit) {
        if (!s.rotating) {
            closeFile(s);
            s.file = openLogFile(s.path, true);
            if (s.file == nullptr) {
                printOpenFailure(__LINE__);
                return -1;
            }
            s.currentSize = 0;
        } else if (!openedNow) {
            rotationDue = true;
        }
    }
    if (rotationDue && rotate(s, time) != 0) {
        return -1;
    }
    if (line != nullptr && length > 0) {
        s.currentSize +=
            static_cast<long long>(std::fwrite(line, 1, static_cast<std::size_t>(length), s.file));
    }
    std::fflush(s.file);
    return 0;
}

void logFileCleanup() {
    LogFileState& s = state();
    CMutexGuard guard(s.lock);
    closeFile(s);
}

void logFileRestart() {
    LogFileState& s = state();
    CMutexGuard guard(s.lock);
    closeFile(s);
    s.currentSize = 0;
    s.fileDate = SystemTime{};
    s.firstWriteDone = false;
    s.checkedSecond = -1;
}

namespace {

void waitForWriter() {
    CMutexGuard guard(logFileLock());
}

const LogFileStage kLogFileStage = {&logFileWrite, &waitForWriter};

}  // namespace

const LogFileStage* logFileStage() {
    return &kLogFileStage;
}

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix
