// The log file writer: path settings and the line writer.
#include "infra3/LogFile.h"

#include <atomic>
#include <cstdio>
#include <string>

namespace Tovix {
namespace Infra {
namespace Detail {

namespace {

struct LogFileState {
    CMutex lock;
    std::string path;
    std::string searchPattern;
    int sizeLimit = 0;
    bool rotating = false;
    bool byDay = false;
    int maxCount = 0;
    // Whether a path is set: lines take the lock only while file output is on.
    std::atomic<bool> active{false};
};

// Never destroyed: lines logged from exit handlers or late threads still find it.
LogFileState& state() {
    static LogFileState* const s = new LogFileState;
    return *s;
}

}  // namespace

CMutex& logFileLock() {
    return state().lock;
}

void logFileSetPath(const char* path) {
    LogFileState& s = state();
    CMutexGuard guard(s.lock);
    s.path = path != nullptr ? path : "";
    s.searchPattern.clear();
    s.active.store(false, std::memory_order_relaxed);
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
    s.active.store(true, std::memory_order_relaxed);
}

const char* logFileGetPath() {
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

int logFileWrite(const char* /*line*/, int /*length*/, const SystemTime& /*time*/) {
    LogFileState& s = state();
    if (!s.active.load(std::memory_order_relaxed)) {
        return -1;
    }
    CMutexGuard guard(s.lock);
    if (s.path.empty()) {
        return -1;
    }
    // Writing and rotating the file comes with the file classes.
    return -1;
}

void logFileCleanup() {}

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix
