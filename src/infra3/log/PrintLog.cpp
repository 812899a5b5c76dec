// The log API: level calls, logFilter, printer and sinks, module switches, statistics, hex dump
// and the setLogFilter command language.
#include "infra/PrintLog.h"

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "infra/Mutex.h"
#include "infra3/logfile/LogFile.h"
#include "infra3/log/PrintState.h"

#if defined(__GNUC__)
#define INFRA_LINE_INLINE inline __attribute__((always_inline))
#define INFRA_NOINLINE_LINE __attribute__((noinline))
#else
#define INFRA_LINE_INLINE inline
#define INFRA_NOINLINE_LINE
#endif

namespace Tovix {
namespace Infra {
namespace Detail {

namespace {

typedef TFunction1<bool, const char*> Sink;
typedef TFunction1<void, const char*> Printer;

constexpr std::size_t kMaxPublishedSinks = 16;
constexpr std::size_t kWordsPerCallable = sizeof(Sink) / sizeof(std::uintptr_t);
static_assert(sizeof(Sink) == sizeof(Printer) && sizeof(Sink) % sizeof(std::uintptr_t) == 0,
              "callables are copied word by word");
static_assert(std::is_trivially_copyable<Sink>::value && std::is_trivially_copyable<Printer>::value,
              "callables are copied word by word");

// Printer and sinks. Changes are made under the mutex and then published, word by word, in a
// sequence-locked snapshot: a line copies the snapshot without taking any lock and calls the
// copies, so sinks run with no lock held and may attach or detach sinks (themselves included)
// while being called. More sinks than the snapshot holds fall back to a copy under the mutex.
// Never destroyed: lines logged from exit handlers or late threads still find it.
class OutputHooks {
public:
    CMutex mutex;
    Printer printer;
    std::vector<Sink> sinks;

    // Whether a printer or any sink is set: lines without hooks read nothing more.
    bool any() const { return m_any.load(std::memory_order_acquire); }

    // Publishes printer and sinks; call with the mutex held after every change.
    void publish() {
        const std::uintptr_t sequence = m_sequence.load(std::memory_order_relaxed);
        // No fences (ThreadSanitizer does not model them): the snapshot's words are stored with
        // release and loaded with acquire, so a reader that sees any new word also sees the odd
        // sequence number stored before it.
        m_sequence.store(sequence + 1, std::memory_order_relaxed);
        const bool fits = sinks.size() <= kMaxPublishedSinks;
        m_count.store(fits ? static_cast<int>(sinks.size()) : -1, std::memory_order_release);
        storeWords(0, &printer);
        for (std::size_t i = 0; fits && i < sinks.size(); ++i) {
            storeWords(i + 1, &sinks[i]);
        }
        m_sequence.store(sequence + 2, std::memory_order_release);
        m_any.store(!printer.empty() || !sinks.empty(), std::memory_order_release);
    }

    // The number of the published state; it changes with every publish (odd while one runs).
    std::uintptr_t sequence() const { return m_sequence.load(std::memory_order_acquire); }

    // Copies the printer and up to `room` (at most kMaxPublishedSinks) sinks, and sets
    // *sequenceOut to the number of the state copied; returns the sink count, or -1 when there
    // are more (then nothing but the printer is copied).
    int snapshot(Printer* printerOut, Sink* sinksOut, int room, std::uintptr_t* sequenceOut) const {
        for (;;) {
            const std::uintptr_t before = m_sequence.load(std::memory_order_acquire);
            if ((before & 1u) != 0) {
                continue;  // a change is being published
            }
            int count = m_count.load(std::memory_order_acquire);
            if (count > room) {
                count = -1;
            }
            loadWords(0, printerOut);
            for (int i = 0; i < count; ++i) {
                loadWords(static_cast<std::size_t>(i) + 1, &sinksOut[i]);
            }
            if (m_sequence.load(std::memory_order_relaxed) == before) {
                *sequenceOut = before;
                return count;
            }
        }
    }

private:
    template <class Callable>
    void storeWords(std::size_t slot, const Callable* callable) {
        std::uintptr_t words[kWordsPerCallable];
        std::memcpy(words, callable, sizeof words);
        for (std::size_t w = 0; w < kWordsPerCallable; ++w) {
            m_words[slot][w].store(words[w], std::memory_order_release);
        }
    }

    // Word by word, spelt out: a line copies the printer and every sink.
    template <std::size_t... I>
    static void loadAll(const std::atomic<std::uintptr_t>* from, std::uintptr_t* to,
                        std::index_sequence<I...>) {
        ((to[I] = from[I].load(std::memory_order_acquire)), ...);
    }

    template <class Callable>
    void loadWords(std::size_t slot, Callable* callable) const {
        std::uintptr_t words[kWordsPerCallable];
        loadAll(m_words[slot], words, std::make_index_sequence<kWordsPerCallable>());
        std::memcpy(static_cast<void*>(callable), words, sizeof words);
    }

    std::atomic<bool> m_any{false};
    std::atomic<std::uintptr_t> m_sequence{0};
    std::atomic<int> m_count{0};
    std::atomic<std::uintptr_t> m_words[1 + kMaxPublishedSinks][kWordsPerCallable] = {};
};

OutputHooks& outputHooks() {
    static OutputHooks* const hooks = new OutputHooks;
    return *hooks;
}

// Per-module on/off switches. Consulted only while the module output state says so.
struct ModuleTable {
    CMutex mutex;
    std::map<std::string, bool> modules;
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

bool moduleSwitchedOff(const char* module) {
    ModuleTable& table = moduleTable();
    if (!table.inUse.load(std::memory_order_acquire)) {
        return false;
    }
    CMutexGuard guard(table.mutex);
    const auto it = table.modules.find(module);
    return it != table.modules.end() && !it->second;
}

void callPrinter(int level, const Printer& printer, const char* line) {
    if (printer.empty()) {
        Infra_print(level, line);
    } else {
        printer(line);
    }
}

// More sinks than the snapshot holds: copies taken under the mutex.
INFRA_NOINLINE_LINE void outputLineToMany(int level, const char* line) {
    Printer printer;
    std::vector<Sink> sinks;
    {
        OutputHooks& locked = outputHooks();
        CMutexGuard guard(locked.mutex);
        printer = locked.printer;
        sinks = locked.sinks;
    }
    callPrinter(level, printer, line);
    for (const Sink& sink : sinks) {
        sink(line);
    }
}

// A thread's copies of the printer and the first sinks, valid while the published state keeps
// the number they were copied at: a line then calls them without copying anything. Lines logged
// by a sink use a copy of their own. Trivial type: no thread-exit work, no guard.
constexpr int kCachedSinks = 4;

struct HookCache {
    std::uintptr_t tag;  // the state's number + 1 (odd, never 0) when the copies are valid
    int count;
    bool busy;  // the copies are being called: a nested line must not replace them
    alignas(Printer) unsigned char printer[sizeof(Printer)];
    alignas(Sink) unsigned char sinks[kCachedSinks * sizeof(Sink)];
};

#if defined(__GNUC__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local HookCache t_hookCache;

// See prefixTailCache() in the print core: keeps the address in a register across calls.
INFRA_LINE_INLINE HookCache* hookCache() {
    HookCache* c = &t_hookCache;
#if defined(__GNUC__)
    __asm__("" : "+r"(c));
#endif
    return c;
}

class BusyScope {
public:
    explicit BusyScope(HookCache& cache) : m_cache(cache) { cache.busy = true; }
    ~BusyScope() { m_cache.busy = false; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    HookCache& m_cache;
};

INFRA_NOINLINE_LINE bool refreshHookCache(const OutputHooks& hooks, HookCache& cache) {
    std::uintptr_t sequence = 0;
    cache.tag = 0;
    const int count = hooks.snapshot(reinterpret_cast<Printer*>(cache.printer),
                                     reinterpret_cast<Sink*>(cache.sinks), kCachedSinks, &sequence);
    if (count < 0) {
        return false;
    }
    cache.count = count;
    cache.tag = sequence + 1;
    return true;
}

// Calls the printer and sinks from a copy on the stack.
INFRA_NOINLINE_LINE void outputLineCopied(const OutputHooks& hooks, int level, const char* line) {
    // Raw storage: callables are trivially copyable, and only those published are copied in.
    alignas(Printer) unsigned char printerStorage[sizeof(Printer)];
    alignas(Sink) unsigned char storage[kMaxPublishedSinks * sizeof(Sink)];
    Printer* const printer = reinterpret_cast<Printer*>(printerStorage);
    Sink* const sinks = reinterpret_cast<Sink*>(storage);
    std::uintptr_t sequence = 0;
    const int count =
        hooks.snapshot(printer, sinks, static_cast<int>(kMaxPublishedSinks), &sequence);
    if (count < 0) {
        outputLineToMany(level, line);
        return;
    }
    callPrinter(level, *printer, line);
    for (int i = 0; i < count; ++i) {
        sinks[i](line);
    }
}

void outputLine(int level, const char* line) {
    const OutputHooks& hooks = outputHooks();
    if (!hooks.any()) {
        Infra_print(level, line);
        return;
    }
    HookCache& cache = *hookCache();
    if (INFRA_UNLIKELY(cache.busy) ||
        (cache.tag != hooks.sequence() + 1 && !refreshHookCache(hooks, cache))) {
        outputLineCopied(hooks, level, line);
        return;
    }
    const BusyScope busy(cache);
    callPrinter(level, *reinterpret_cast<const Printer*>(cache.printer), line);
    const Sink* const sinks = reinterpret_cast<const Sink*>(cache.sinks);
    for (int i = 0; i < cache.count; ++i) {
        sinks[i](line);
    }
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
INFRA_LINE_INLINE int emitLineBody(int level, const char* module, const char* file,
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
        logFileWrite(buffer, length, date);
    }
    if (g_statisticsEnabled.load(std::memory_order_relaxed)) {
        addStatistics(module, length);
    }
    return length;
}

INFRA_LINE_INLINE int vlogFilterBody(int level, const char* module, const char* file,
                                     const char* function, int line, const char* version,
                                     const char* format, va_list args) {
    if (!levelShown(level)) {
        return 0;
    }
    const int state = g_printState.moduleOutputState.load(std::memory_order_relaxed);
    if (state == kModulesOff) {
        return 0;
    }
    if (state == kModulesByTable && module != nullptr && moduleSwitchedOff(module)) {
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
    g_printState.printLevel.store(level, std::memory_order_relaxed);
}

int getPrintLogLevel() {
    return g_printState.printLevel.load(std::memory_order_relaxed);
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

int setLogPrinter(TFunction1<void, const char*> printer) {
    OutputHooks& hooks = outputHooks();
    CMutexGuard guard(hooks.mutex);
    hooks.printer = printer;
    hooks.publish();
    return 0;
}

bool attachPrint(TFunction1<bool, const char*> sink) {
    if (sink.empty()) {
        return false;  // every line would call it
    }
    {
        OutputHooks& hooks = outputHooks();
        CMutexGuard guard(hooks.mutex);
        for (const Sink& s : hooks.sinks) {
            if (s == sink) {
                return false;
            }
        }
        hooks.sinks.push_back(sink);
        hooks.publish();
    }
    // A line being written to the log file finishes before the caller goes on.
    CMutexGuard fileGuard(logFileLock());
    return true;
}

bool detachPrint(TFunction1<bool, const char*> sink) {
    OutputHooks& hooks = outputHooks();
    CMutexGuard guard(hooks.mutex);
    for (auto it = hooks.sinks.begin(); it != hooks.sinks.end(); ++it) {
        if (*it == sink) {
            hooks.sinks.erase(it);
            hooks.publish();
            return true;
        }
    }
    return false;
}

std::map<std::string, LogModuleInfo> getLogStatistics() {
    Statistics& stats = statistics();
    CMutexGuard guard(stats.mutex);
    return stats.modules;
}

void logCleanup() {
    logFileCleanup();
}

void dumpHex(unsigned char* data, unsigned int length) {
    if (data == nullptr || !levelShown(5)) {
        return;
    }
    // Each dump line is logged whole, so lines of other threads cannot cut into it.
    char text[16 + 2 + 16 * 3 + 2 + 16 + 2];
    unsigned int lines = 0;
    for (unsigned int offset = 0; offset < length; offset += 16) {
        const unsigned int n = length - offset < 16 ? length - offset : 16;
        const unsigned char* group = data + offset;
        int pos = std::snprintf(text, sizeof text, "%p: ", static_cast<const void*>(group));
        if (pos < 0 || pos >= static_cast<int>(sizeof text)) {
            pos = 0;
        }
        static const char kHex[] = "0123456789abcdef";
        for (unsigned int i = 0; i < 16; ++i) {
            if (i < n) {
                text[pos++] = kHex[group[i] >> 4];
                text[pos++] = kHex[group[i] & 15];
                text[pos++] = ' ';
            } else {
                text[pos++] = ' ';
                text[pos++] = ' ';
                text[pos++] = ' ';
            }
        }
        text[pos++] = ' ';
        text[pos++] = ' ';
        for (unsigned int i = 0; i < n; ++i) {
            text[pos++] = group[i] >= 32 && group[i] <= 122 ? static_cast<char>(group[i]) : '.';
        }
        text[pos++] = '\n';
        text[pos] = '\0';
        logTrace("%s", text);
        // The empty line closes each full 512 bytes; a short final line is not one of them.
        if (n == 16 && ++lines % 32 == 0) {
            logTrace("\n");
        }
    }
}

namespace {

// ASCII comparison without regard to case.
bool sameWord(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) {
        return false;
    }
    for (;; ++a, ++b) {
        const char ca = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        const char cb = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (ca != cb) {
            return false;
        }
        if (ca == '\0') {
            return true;
        }
    }
}

bool isOption(const char* arg, const char* name) {
    return arg != nullptr && std::strcmp(arg, name) == 0;
}

int atoiOrZero(const char* text) {
    return text != nullptr ? std::atoi(text) : 0;
}

// KB × 1024 when positive, else 0; a product beyond int's range is held at its maximum.
int kilobytesToBytes(const char* text) {
    const long long bytes = static_cast<long long>(atoiOrZero(text)) * 1024;
    if (bytes <= 0) {
        return 0;
    }
    return bytes > INT_MAX ? INT_MAX : static_cast<int>(bytes);
}

void printUsage() {
    std::printf("logfilter command usage:\n");
    std::printf(
        "logfilter -loglevel [levelnum](0-no printlevel, 1-fatal, 2-error, 3-warn, 4-info, "
        "5-trace, 6-debug): set log level\n");
    std::printf("logfilter -logmodule [modulename] [on/off] #turn module's log on/off\n");
    std::printf("logfilter -logmodule [on/off] #turn ALL module's log on/off\n");
    std::printf(
        "logfilter -logpath [logpath/] #logger module's log to logpath or cancel logger(by set "
        "path to )\n");
    std::printf(
        "logfilter -logmodulestatistics  [on/off] #turn ALL module's logstatistics func "
        "on/off\n");
    std::printf("logfiter -logsize [logsize] #log file max size limited to logsize Kbytes\n");
    std::printf(
        "logfiter -logsavesetting bysize [logsize] [maxnumber]#(logsize-log will save as a new "
        "file if log's size reaches to logsize),(maxnumber-total log file)\n");
    std::printf(
        "logfiter -logsavesetting byday [on/off] [maxnumber] #(on-log will save as a new file if "
        "date changes),(maxnumber-total log file)\n");
    std::printf("logfiter -logsavesetting none #log file save in the old way\n");
}

// Sets one "no…" flag in both the stored options and the live record.
void setNegatedFlag(bool PrintOptions::*stored, bool InfraPrintOption::*live, const char* word) {
    const bool value = !sameWord(word, "on");
    OptionsStore& store = optionsStore();
    CMutexGuard guard(store.mutex);
    store.options.*stored = value;
    setPrintOption(g_printOption.*live, value);
}

int maxCountFrom(const char* text) {
    const int max = atoiOrZero(text);
    return max >= 1 ? max : 0;
}

}  // namespace

void setLogFilter(int argc, char* const argv[]) {
    if (argc < 0 || (argc > 0 && argv == nullptr)) {
        return;
    }
    const char* option = argc > 0 ? argv[0] : nullptr;
    if (argc == 0 || (argc == 1 && isOption(option, "-h"))) {
        printUsage();
        return;
    }
    if (isOption(option, "-loglevel")) {
        if (argc >= 2) {
            setPrintLogLevel(atoiOrZero(argv[1]));
        }
    } else if (isOption(option, "-logmodule") && argc >= 3) {
        ModuleTable& table = moduleTable();
        {
            CMutexGuard guard(table.mutex);
            table.modules[argv[1] != nullptr ? argv[1] : ""] = sameWord(argv[2], "on");
        }
        table.inUse.store(true, std::memory_order_release);
        g_printState.moduleOutputState.store(kModulesByTable, std::memory_order_relaxed);
    } else if (isOption(option, "-logmodule") && argc == 2) {
        g_printState.moduleOutputState.store(sameWord(argv[1], "off") ? kModulesOff : kModulesAllOn,
                                             std::memory_order_relaxed);
    } else if (isOption(option, "-logtime")) {
        if (argc >= 2) {
            setNegatedFlag(&PrintOptions::noTime, &InfraPrintOption::noTime, argv[1]);
        }
    } else if (isOption(option, "-logthread")) {
        if (argc >= 2) {
            setNegatedFlag(&PrintOptions::noThread, &InfraPrintOption::noThread, argv[1]);
        }
    } else if (isOption(option, "-logversion")) {
        if (argc >= 2) {
            setNegatedFlag(&PrintOptions::noVersion, &InfraPrintOption::noVersion, argv[1]);
        }
    } else if (isOption(option, "-logfunction")) {
        if (argc >= 2) {
            setNegatedFlag(&PrintOptions::noFunction, &InfraPrintOption::noFunction, argv[1]);
        }
    } else if (isOption(option, "-logpath") && argc >= 2) {
        logFileSetPath(argv[1] != nullptr ? argv[1] : "");
    } else if (isOption(option, "-logsize")) {
        if (argc >= 2) {
            logFileSetSizeLimit(kilobytesToBytes(argv[1]));
        }
    } else if (isOption(option, "-logmodulestatistics") && argc == 2) {
        g_statisticsEnabled.store(sameWord(argv[1], "on"), std::memory_order_relaxed);
    } else if (isOption(option, "-logsavesetting") && argc == 2 && sameWord(argv[1], "none")) {
        logFileSetRotating(false);
    } else if (isOption(option, "-logsavesetting") && argc == 4 && sameWord(argv[1], "byday")) {
        logFileSetByDay(sameWord(argv[2], "on"));
        logFileSetMaxCount(maxCountFrom(argv[3]));
        logFileSetRotating(true);
    } else if (isOption(option, "-logsavesetting") && argc == 4 && sameWord(argv[1], "bysize")) {
        logFileSetSizeLimit(kilobytesToBytes(argv[2]));
        logFileSetMaxCount(maxCountFrom(argv[3]));
        logFileSetRotating(true);
    }
}

}  // namespace Infra
}  // namespace Tovix
