// Log: the log API's lines (level calls, logFilter), the print level and options, module
// switches and statistics, and the log's binding into the modules below it.
#include "infra/PrintLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "infra/Mutex.h"
#include "infra3/log/PrintState.h"

namespace Tovix {
namespace Infra {
namespace Detail {

namespace {

// A module's switch and the most verbose level its lines show at.
struct ModuleSwitch {
    bool on = true;
    int level = kLevelDebug;
};

// Per-module switches. Consulted only while the module output state says so.
struct ModuleTable {
    CMutex mutex;
    std::map<std::string, ModuleSwitch> modules;
    std::atomic<bool> inUse{false};
};

ModuleTable& moduleTable() {
    static ModuleTable* const table = new ModuleTable;
    return *table;
}

struct Statistics {
    CMutex mutex;
    std::map<std::string, LogModuleInfo> modules;
};

// Whether statistics are kept; constant-initialised, so a line reads it without a guard.
std::atomic<bool> g_statisticsEnabled{false};

Statistics& statistics() {
    static Statistics* const stats = new Statistics;
    return *stats;
}

struct OptionsStore {
    CMutex mutex;
    PrintOptions options{};
};

OptionsStore& optionsStore() {
    static OptionsStore* const store = new OptionsStore;
    return *store;
}

// Whether the module's switch hides a line of `level`.
bool moduleHides(const char* module, int level) {
    ModuleTable& table = moduleTable();
    if (!table.inUse.load(std::memory_order_acquire)) {
        return false;
    }
    CMutexGuard guard(table.mutex);
    const auto it = table.modules.find(module);
    return it != table.modules.end() && (!it->second.on || level > it->second.level);
}

void addStatistics(const char* module, int length) {
    if (module == nullptr || module[0] == '\0') {
        return;
    }
    Statistics& stats = statistics();
    CMutexGuard guard(stats.mutex);
    LogModuleInfo& info = stats.modules[module];
    info.bytes += static_cast<std::uint64_t>(length);
}

// The bodies of emitLine and vlogFilter, written once and inlined into each other, so that a
// shown line costs one call from logFilter.
INFRA_ALWAYS_INLINE int emitLineBody(int level, const char* module, const char* file,
                                     const char* function, int line, const char* version,
                                     const char* format, va_list args) {
    const char* versionText =
        version != nullptr && !printOption(g_printOption.noVersion) ? version : "";
    char buffer[kLineBufferSize];
    SystemTimeEx now;
    const int length =
        composeLine(buffer, level, module, file, function, line, versionText, &now, format, args);
    outputLine(level, buffer);
    // With no colours on the console there is nothing to restore.
    if (coloursActive()) {
        Infra_resetcolor();
    }
    if (!printOption(g_printOption.noLogFile) && logFileActive()) {
        SystemTime date{now.year, now.month,  now.day,    now.wday,
                        now.hour, now.minute, now.second, 0};
        writeToLogFile(buffer, length, date);
    }
    if (g_statisticsEnabled.load(std::memory_order_relaxed)) {
        addStatistics(module, length);
    }
    return length;
}

INFRA_ALWAYS_INLINE int vlogFilterBody(int level, const char* module, const char* file,
                                       const char* function, int line, const char* version,
                                       const char* format, va_list args) {
    if (!levelShown(level)) {
        return 0;
    }
    const int state = g_printState.moduleOutputState.load(std::memory_order_relaxed);
    if (state == kModulesOff) {
        return 0;
    }
    if (state == kModulesByTable && module != nullptr && moduleHides(module, level)) {
        return 0;
    }
    return emitLineBody(level, module, file, function, line, version, format, args);
}

}  // namespace

int emitLine(int level, const char* module, const char* file, const char* function, int line,
             const char* version, const char* format, va_list args) {
    return emitLineBody(level, module, file, function, line, version, format, args);
}

int vlogFilter(int level, const char* module, const char* file, const char* function, int line,
               const char* version, const char* format, va_list args) {
    return vlogFilterBody(level, module, file, function, line, version, format, args);
}

namespace {

template <class Change>
void changeModuleSwitch(const char* module, Change change) {
    ModuleTable& table = moduleTable();
    {
        CMutexGuard guard(table.mutex);
        change(table.modules[module]);
    }
    table.inUse.store(true, std::memory_order_release);
    setModuleOutputState(kModulesByTable);
}

}  // namespace

void setModuleSwitch(const char* module, bool on) {
    changeModuleSwitch(module, [on](ModuleSwitch& s) { s.on = on; });
}

void setModuleLevel(const char* module, int level) {
    changeModuleSwitch(module, [level](ModuleSwitch& s) {
        s.on = true;
        s.level = level;
    });
}

void setStatisticsEnabled(bool enabled) {
    g_statisticsEnabled.store(enabled, std::memory_order_relaxed);
}

void setPrintFlag(bool PrintOptions::*stored, bool InfraPrintOption::*live, bool value) {
    OptionsStore& store = optionsStore();
    CMutexGuard guard(store.mutex);
    store.options.*stored = value;
    setPrintOption(g_printOption.*live, value);
}

// ---- The log-file stage ----------------------------------------------------------------------

std::atomic<bool> g_logFileActive{false};

namespace {

std::atomic<const LogFileStage*> g_logFileStage{nullptr};

}  // namespace

void installLogFileStage(const LogFileStage* stage) {
    g_logFileStage.store(stage, std::memory_order_release);
}

void writeToLogFile(const char* line, int length, const SystemTime& date) {
    const LogFileStage* const stage = g_logFileStage.load(std::memory_order_acquire);
    if (stage != nullptr) {
        stage->write(line, length, date);
    }
}

void waitForLogFileWriter() {
    const LogFileStage* const stage = g_logFileStage.load(std::memory_order_acquire);
    if (stage != nullptr) {
        stage->waitForWriter();
    }
}

// ---- The binding into the modules below the log ----------------------------------------------

namespace {

const LogBinding kLogBinding = {&vlogFilter, &emitLine, &prepareSinks};

// Bound when the log is loaded: the modules below it report through the binding.
struct BindAtLoad {
    BindAtLoad() { bindLog(&kLogBinding); }
} g_bindAtLoad;

}  // namespace

}  // namespace Detail

using namespace Detail;

#include "infra3/log/LevelCall.h"

INFRA_LEVEL_CALL(logDebug, 6)
INFRA_LEVEL_CALL(logTrace, 5)
INFRA_LEVEL_CALL(logInfo, 4)
INFRA_LEVEL_CALL(logWarn, 3)
INFRA_LEVEL_CALL(logError, 2)
INFRA_LEVEL_CALL(logFatal, 1)

int logLibName(int level, const char* libName, const char* format, ...) {
    if (level < 1 || level > 6 || !levelShown(level)) {
        return 0;
    }
    va_list args;
    va_start(args, format);
    const int length = emitLine(level, libName, nullptr, "", 0, "", format, args);
    va_end(args);
    return length;
}

int logFilter(int level, const char* module, const char* file, const char* function, int line,
              const char* version, const char* format, ...) {
    if (!levelShown(level)) {
        return 0;
    }
    va_list args;
    va_start(args, format);
    // The line is built out of line: this frame stays small for calls that are not shown.
    const int length = vlogFilter(level, module, file, function, line, version, format, args);
    va_end(args);
    return length;
}

void setPrintLogLevel(int level) {
    g_printLevel.store(level, std::memory_order_relaxed);
}

int getPrintLogLevel() {
    return g_printLevel.load(std::memory_order_relaxed);
}

bool setLogModuleLevel(const char* module, int level) {
    if (module == nullptr || level < 0 || level > kLevelDebug) {
        return false;
    }
    setModuleLevel(module, level);
    return true;
}

void setPrintOptions(PrintOptions options) {
    OptionsStore& store = optionsStore();
    CMutexGuard guard(store.mutex);
    store.options = options;
    InfraPrintOption& o = g_printOption;
    setPrintOption(o.noTime, options.noTime);
    setPrintOption(o.noColor, options.noColor);
    setPrintOption(o.noModule, options.noModule);
    setPrintOption(o.noLevel, options.noLevel);
    setPrintOption(o.noThread, options.noThread);
    setPrintOption(o.noVersion, options.noVersion);
    setPrintOption(o.noFunction, options.noFunction);
    setPrintOption(o.noFile, options.noFile);
    setPrintOption(o.noLine, options.noLine);
    setPrintOption(o.withDate, options.withDate);
    setPrintOption(o.withMillisecond, options.withMillisecond);
    setPrintOption(o.taggedFormat, options.taggedFormat);
    setPrintOption(o.noLogFile, options.noLogFile);
}

int getPrintOptions(PrintOptions* out) {
    if (out == nullptr) {
        return -1;
    }
    OptionsStore& store = optionsStore();
    CMutexGuard guard(store.mutex);
    *out = store.options;
    return 0;
}

void setLogFlushLevel(int level) {
    g_flushLevel.store(level, std::memory_order_relaxed);
}

int getLogFlushLevel() {
    return g_flushLevel.load(std::memory_order_relaxed);
}

void flushLog() {
    std::fflush(stdout);
    waitForLogFileWriter();
}

std::map<std::string, LogModuleInfo> getLogStatistics() {
    Statistics& stats = statistics();
    CMutexGuard guard(stats.mutex);
    return stats.modules;
}

}  // namespace Infra
}  // namespace Tovix
