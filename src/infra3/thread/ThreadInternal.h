// Threads: internals shared by threads (Thread.cpp), the thread registry (ThreadManager.cpp) and
// the timers (Timer.cpp): the thread record, the registry and the priority mapping.
#ifndef INFRA_SRC_INFRA3_THREAD_THREADINTERNAL_H
#define INFRA_SRC_INFRA3_THREAD_THREADINTERNAL_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "infra/Defs.h"
#include "infra/FlexString.h"
#include "infra/Mutex.h"
#include "infra/Thread.h"
#include "platform/Thread.h"

namespace Tovix {
namespace Infra {

struct ThreadInternal;

constexpr int kThreadNameSize = 32;

// The registry of running CThread bodies: an intrusive doubly linked list of records, newest
// first. It lives for the whole process (never destroyed), so bodies still running at exit can
// leave it safely.
class ThreadManagerInternal {
public:
    static ThreadManagerInternal* instance();

    // The registry mutex: guards the list, including the links in every record on it.
    static CMutex& registryMutex();

    void addThread(ThreadInternal* record) INFRA_EXCLUDES(registryMutex());
    void removeThread(ThreadInternal* record) INFRA_EXCLUDES(registryMutex());
    // The running record with that id, or null. The pointer is used only by the thread whose
    // record it is (which cannot leave the registry meanwhile).
    ThreadInternal* findThread(int id);

    void registerMainThread();
    void dumpThreads();
    bool getThreadNameByID(int id, flex_string& name);
    bool getTimeOutThreads(flex_string& names);
    bool hasThread(int id);

    ThreadManagerInternal();

private:
    ThreadInternal* m_head INFRA_GUARDED_BY(registryMutex());
    CMutex m_mutex;
    std::atomic<int> m_mainThreadId;
};

// The record behind a CThread. The registry links (previous, next) belong to the registry; the
// destroying flag is changed only under `mutex`. Flags, id and deadline are atomics because the
// body, stop requests and the supervision reports read them without a lock.
struct ThreadInternal {
    Platform::ThreadHandle* handle INFRA_GUARDED_BY(mutex) = nullptr;
    std::atomic<int> running{0};
    int policy = 0;
    int priority = 64;
    int stackSize = 0;
    std::atomic<int> threadId{-1};
    char name[kThreadNameSize] INFRA_GUARDED_BY(mutex) = {};
    ThreadInternal* previous INFRA_GUARDED_BY(ThreadManagerInternal::registryMutex()) = nullptr;
    ThreadInternal* next INFRA_GUARDED_BY(ThreadManagerInternal::registryMutex()) = nullptr;
    std::atomic<std::uint64_t> deadline{0};
    std::atomic<bool> loop{false};
    std::atomic<bool> destroying{false};
    bool stackSizeFlag INFRA_GUARDED_BY(mutex) = false;
    ThreadManagerInternal* registry = nullptr;
    CThread* owner = nullptr;
    CMutex mutex;

    // True when a deadline is set and lies before `now`.
    bool timedOut(std::uint64_t now) const {
        const std::uint64_t d = deadline.load(std::memory_order_relaxed);
        return d != 0 && d < now;
    }
};

namespace Detail {

// The Windows thread priority for an abstract priority (smaller is more urgent) and policy:
// 15 for the real-time policy (1), else 15 − ((priority − 1) × 30) / 126 snapped to the Windows
// levels 15, 2, 1, 0, −1, −2, −15. Exact for every int priority.
INFRA_API int windowsPriority(int priority, int policy);

// Splits a command line into words: blanks (space, tab) separate, double quotes group and are
// removed. A quoted empty text ("") is an empty word.
INFRA_API std::vector<std::string> splitCommandLine(const char* command);

// Reaches into a CThread: its record (the timer workers rename themselves cheaply through it)
// and its body.
struct ThreadAccess {
    static ThreadInternal* record(CThread& thread) { return thread.m_internal; }
    static void run(CThread& thread) { thread.threadProc(); }
};

// Starts the operating-system thread of a CThread: Platform::threadStart, unless a test has
// installed a replacement.
using ThreadStarter = Platform::ThreadHandle* (*)(Platform::ThreadEntry entry, void* argument,
                                                  std::size_t stackSize, int windowsPriority,
                                                  int* error);
// Installs `starter` for every later thread start and returns the one it replaces; null
// reinstates the platform's own. For fault injection in tests; safe to call from any thread.
INFRA_API ThreadStarter replaceThreadStarter(ThreadStarter starter);

enum class ThreadStart { kStarted, kStillRunning, kFailed };
// CThread::createThread without its diagnostics, for callers that hold a lock the log path must
// not run under: they report afterwards, a failure (its code in *error) with
// logThreadStartFailure.
ThreadStart startThread(CThread& thread, int* error);
// The diagnostic of a failed start of `thread`, whose address is only printed (it may be gone).
void logThreadStartFailure(const void* thread, int error);

// Sets the record's name only; the OS thread keeps its name until applyThreadName runs on it.
void setRecordName(ThreadInternal* record, const char* name);
// Gives the calling thread, the body of `record`, the record's name.
void applyThreadName(ThreadInternal* record);
// Clears the loop flag without a diagnostic (for bodies ended by other means, such as a wake-up).
void clearLoop(ThreadInternal* record);
// Lets the thread of `record`, told to end, end with no one waiting for it (never waits).
void detachThread(ThreadInternal* record);
// Waits until the body of `record` has returned (at once when none runs). `self` is the object,
// named in the diagnostic of a long wait.
void waitForBody(ThreadInternal* record, const void* self);
// Waits until the body of `record` has returned and reclaims its thread; the object stays, with no
// thread, for late callers. Not from the body itself.
void endThread(ThreadInternal* record, const void* self);

}  // namespace Detail

}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SRC_INFRA3_THREAD_THREADINTERNAL_H
