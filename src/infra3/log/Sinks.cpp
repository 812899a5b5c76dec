// Log: the printer and the sinks; a line calls them with no lock held.
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "infra/Mutex.h"
#include "infra/PrintLog.h"
#include "infra3/log/PrintState.h"

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

// A sink and the most verbose level it receives.
struct SinkEntry {
    Sink sink;
    int level;
};

// Every line reaches a sink attached without a level.
constexpr int kEveryLevel = INT_MAX;

// Printer and sinks. Changes are made under the mutex and then published, word by word, in a
// sequence-locked snapshot: a line copies the snapshot without taking any lock and calls the
// copies, so sinks run with no lock held and may attach or detach sinks (themselves included)
// while being called. More sinks than the snapshot holds fall back to a copy under the mutex.
// Never destroyed: lines logged from exit handlers or late threads still find it.
class OutputHooks {
public:
    CMutex mutex;
    Printer printer;
    std::vector<SinkEntry> sinks;

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
            storeWords(i + 1, &sinks[i].sink);
            m_levels[i].store(sinks[i].level, std::memory_order_release);
        }
        m_sequence.store(sequence + 2, std::memory_order_release);
        m_any.store(!printer.empty() || !sinks.empty(), std::memory_order_release);
    }

    // The number of the published state; it changes with every publish (odd while one runs).
    std::uintptr_t sequence() const { return m_sequence.load(std::memory_order_acquire); }

    // Copies the printer and up to `room` (at most kMaxPublishedSinks) sinks with their levels,
    // and sets *sequenceOut to the number of the state copied; returns the sink count, or -1 when
    // there are more (then nothing but the printer is copied).
    int snapshot(Printer* printerOut, Sink* sinksOut, int* levelsOut, int room,
                 std::uintptr_t* sequenceOut) const {
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
                levelsOut[i] = m_levels[i].load(std::memory_order_acquire);
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
    std::atomic<int> m_levels[kMaxPublishedSinks] = {};
};

OutputHooks& outputHooks() {
    static OutputHooks* const hooks = new OutputHooks;
    return *hooks;
}

void callPrinter(int level, const Printer& printer, const char* line) {
    if (printer.empty()) {
        Infra_print(level, line);
    } else {
        printer(line);
    }
}

// Calls each of `count` sinks whose level admits a line of `level`.
void callSinks(const Sink* sinks, const int* levels, int count, int level, const char* line) {
    for (int i = 0; i < count; ++i) {
        if (level <= levels[i]) {
            sinks[i](line);
        }
    }
}

// More sinks than the snapshot holds: copies taken under the mutex.
INFRA_NEVER_INLINE void outputLineToMany(int level, const char* line) {
    Printer printer;
    std::vector<SinkEntry> sinks;
    {
        OutputHooks& locked = outputHooks();
        CMutexGuard guard(locked.mutex);
        printer = locked.printer;
        sinks = locked.sinks;
    }
    callPrinter(level, printer, line);
    for (const SinkEntry& entry : sinks) {
        if (level <= entry.level) {
            entry.sink(line);
        }
    }
}

// A thread's copies of the printer and the first sinks, valid while the published state keeps
// the number they were copied at: a line then calls them without copying anything. Lines logged
// by a sink use a copy of their own. Trivial type: no thread-exit work, no guard.
constexpr int kCachedSinks = 4;

struct HookCache {
    std::uintptr_t tag;  // the state's number + 1 (odd, never 0) when the copies are valid
    int count;
    int levels[kCachedSinks];
    bool busy;  // the copies are being called: a nested line must not replace them
    alignas(Printer) unsigned char printer[sizeof(Printer)];
    alignas(Sink) unsigned char sinks[kCachedSinks * sizeof(Sink)];
};

#if defined(__GNUC__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local HookCache t_hookCache;

// See prefixTailCache() in the print core: keeps the address in a register across calls.
INFRA_ALWAYS_INLINE HookCache* hookCache() {
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

INFRA_NEVER_INLINE bool refreshHookCache(const OutputHooks& hooks, HookCache& cache) {
    std::uintptr_t sequence = 0;
    cache.tag = 0;
    const int count =
        hooks.snapshot(reinterpret_cast<Printer*>(cache.printer),
                       reinterpret_cast<Sink*>(cache.sinks), cache.levels, kCachedSinks, &sequence);
    if (count < 0) {
        return false;
    }
    cache.count = count;
    cache.tag = sequence + 1;
    return true;
}

// Calls the printer and sinks from a copy on the stack.
INFRA_NEVER_INLINE void outputLineCopied(const OutputHooks& hooks, int level, const char* line) {
    // Raw storage: callables are trivially copyable, and only those published are copied in.
    alignas(Printer) unsigned char printerStorage[sizeof(Printer)];
    alignas(Sink) unsigned char storage[kMaxPublishedSinks * sizeof(Sink)];
    Printer* const printer = reinterpret_cast<Printer*>(printerStorage);
    Sink* const sinks = reinterpret_cast<Sink*>(storage);
    int levels[kMaxPublishedSinks];
    std::uintptr_t sequence = 0;
    const int count =
        hooks.snapshot(printer, sinks, levels, static_cast<int>(kMaxPublishedSinks), &sequence);
    if (count < 0) {
        outputLineToMany(level, line);
        return;
    }
    callPrinter(level, *printer, line);
    callSinks(sinks, levels, count, level, line);
}

}  // namespace

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
    callSinks(reinterpret_cast<const Sink*>(cache.sinks), cache.levels, cache.count, level, line);
}

namespace {

bool doNothingPrinter(const char*) {
    return true;
}

}  // namespace

void prepareSinks() {
    // Attaching a sink makes the shared state, and waits for a line being written to the log file.
    const TFunction1<bool, const char*> printer(&doNothingPrinter);
    attachPrint(printer);
    detachPrint(printer);
}

}  // namespace Detail

using namespace Detail;

int setLogPrinter(TFunction1<void, const char*> printer) {
    OutputHooks& hooks = outputHooks();
    CMutexGuard guard(hooks.mutex);
    hooks.printer = printer;
    hooks.publish();
    return 0;
}

bool attachPrint(TFunction1<bool, const char*> sink) {
    return attachPrint(sink, kEveryLevel);
}

bool attachPrint(TFunction1<bool, const char*> sink, int level) {
    if (sink.empty()) {
        return false;  // every line would call it
    }
    {
        OutputHooks& hooks = outputHooks();
        CMutexGuard guard(hooks.mutex);
        for (const SinkEntry& s : hooks.sinks) {
            if (s.sink == sink) {
                return false;
            }
        }
        hooks.sinks.push_back(SinkEntry{sink, level});
        hooks.publish();
    }
    // A line being written to the log file finishes before the caller goes on.
    waitForLogFileWriter();
    return true;
}

bool detachPrint(TFunction1<bool, const char*> sink) {
    OutputHooks& hooks = outputHooks();
    CMutexGuard guard(hooks.mutex);
    for (auto it = hooks.sinks.begin(); it != hooks.sinks.end(); ++it) {
        if (it->sink == sink) {
            hooks.sinks.erase(it);
            hooks.publish();
            return true;
        }
    }
    return false;
}

}  // namespace Infra
}  // namespace Tovix
