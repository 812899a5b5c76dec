// Threads: CThread and its start handshake, stop requests, deadlines; CThreadLite; systemCall.
#include "infra/Thread.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "infra/Assert.h"
#include "infra/Time.h"
#include "infra3/core/Diagnostics.h"
#include "infra3/thread/ThreadInternal.h"
#include "platform/Process.h"
#include "platform/Thread.h"

namespace Tovix {
namespace Infra {

using Detail::kLevelDebug;
using Detail::kLevelError;
using Detail::kLevelWarn;

namespace {

constexpr std::size_t kCommandLineSize = 260;

// Starts every CThread's operating-system thread; tests replace it to make starts fail.
std::atomic<Detail::ThreadStarter> g_threadStarter{&Platform::threadStart};

// How long terminateThread waits for a cancelled thread that was not at a blocking point.
constexpr long long kTerminateGraceMs = 1000;
// The smallest stack a thread is given: the library's own frames on it (a log line is formatted
// in two 8 KiB buffers) must fit beside the body's, whatever smaller size was asked for.
constexpr std::size_t kSmallestStack = 64 * 1024;

void copyName(char (&out)[kThreadNameSize], const char* name) {
    std::strncpy(out, name != nullptr ? name : "Nonamed", kThreadNameSize - 1);
    out[kThreadNameSize - 1] = '\0';
}

// A copy of the record's name, taken under its mutex (another thread may rename it).
struct NameCopy {
    char text[kThreadNameSize];
};

NameCopy nameOf(ThreadInternal* record) {
    NameCopy copy;
    record->mutex.enter();
    std::memcpy(copy.text, record->name, sizeof copy.text);
    record->mutex.leave();
    return copy;
}

// The deadline `milliseconds` after `now`. 0 stays "not supervised"; a deadline that would lie
// before the clock's origin (or wrap to 0) becomes 1, which is already past.
std::uint64_t deadlineAfter(int milliseconds, unsigned long long now) {
    if (milliseconds == 0) {
        return 0;
    }
    if (milliseconds < 0) {
        const unsigned long long back =
            static_cast<unsigned long long>(-static_cast<long long>(milliseconds));
        return now > back ? now - back : 1;
    }
    return now + static_cast<unsigned long long>(milliseconds);
}

// Leaves the registry and clears the flags however the body ends: by returning, or by the
// unwinding of a cancellation. After `running` is cleared the record may be freed at once, so
// that store is the body's last touch of it.
struct BodyExit {
    ThreadInternal* record;
    ~BodyExit() {
        record->registry->removeThread(record);
        record->loop.store(false, std::memory_order_release);
        record->running.store(0, std::memory_order_release);
    }
};

void threadBody(void* argument) {
    ThreadInternal* record = static_cast<ThreadInternal*>(argument);
    // The start handshake: createThread holds the record mutex until the thread is fully set up.
    record->mutex.enter();
    record->running.store(1, std::memory_order_release);
    record->threadId.store(Platform::currentThreadId(), std::memory_order_release);
    record->mutex.leave();
    const NameCopy name = nameOf(record);
    Platform::currentThreadSetName(name.text);

    record->registry->addThread(record);
    BodyExit exit{record};
    const int id = record->threadId.load(std::memory_order_relaxed);
    int onStack = 0;
    INFRA_DIAG_PLAIN(
        kLevelDebug, "ThreadBody Enter name = %s, id = %d, prior = %s%d, stack = %p \n", name.text,
        id, record->policy == 1 ? "R" : "N", record->priority, static_cast<void*>(&onStack));
    Detail::ThreadAccess::run(*record->owner);
    if (Detail::diagnosticShown(kLevelDebug)) {
        INFRA_DIAG_PLAIN(kLevelDebug, "ThreadBody leave name = %s, id = %d \n", nameOf(record).text,
                         id);
    }
}

}  // namespace

namespace Detail {

void waitForBody(ThreadInternal* record, const void* self) {
    record->mutex.enter();
    Platform::ThreadHandle* handle = record->handle;
    // A body that waits for itself would wait forever.
    const bool ownBody = handle != nullptr &&
                         record->running.load(std::memory_order_acquire) != 0 &&
                         Platform::threadIsCurrent(handle);
    if (handle != nullptr) {
        Platform::threadRetain(handle);
    }
    record->mutex.leave();
    if (handle == nullptr) {
        return;
    }
    INFRA_ASSERT_MSG(!ownBody, "a CThread cannot be destroyed by its own thread");
    unsigned long long waits = 0;
    while (record->running.load(std::memory_order_acquire) != 0 &&
           !Platform::threadWaitDone(handle, 1)) {
        if (++waits % 100 == 0 && Detail::diagnosticShown(kLevelDebug)) {
            Detail::logDiagnostic(kLevelDebug, __FILE__, INFRA_FUNCTION, __LINE__,
                                  "[%s:%d] this:%p tid:%d, CThread::~CThread %s wait for thread "
                                  "over, times : %llu\n",
                                  __FILE__, __LINE__, self, Platform::currentThreadId(),
                                  nameOf(record).text, waits);
        }
    }
    Platform::threadRelease(handle);
}

int windowsPriority(int priority, int policy) {
    if (policy == 1) {
        return 15;  // THREAD_PRIORITY_TIME_CRITICAL
    }
    // 64-bit arithmetic, so that no int priority overflows; division truncates toward zero.
    const long long p = 15 - ((static_cast<long long>(priority) - 1) * 30) / 126;
    if (p <= -15) {
        return -15;
    }
    if (p <= -2) {
        return -2;
    }
    if (p <= -1) {
        return -1;
    }
    if (p <= 0) {
        return 0;
    }
    if (p >= 15) {
        return 15;
    }
    if (p >= 2) {
        return 2;
    }
    return 1;
}

std::vector<std::string> splitCommandLine(const char* command) {
    std::vector<std::string> words;
    if (command == nullptr) {
        return words;
    }
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (const char* p = command; *p != '\0'; ++p) {
        const char c = *p;
        if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord) {
                words.push_back(word);
                word.clear();
                inWord = false;
            }
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(word);
    }
    return words;
}

ThreadStart startThread(CThread& thread, int* error) {
    ThreadInternal* record = ThreadAccess::record(thread);
    record->mutex.enter();
    // A body that asks for a new run of its own object would wait for itself to end.
    const bool ownBody = record->handle != nullptr && Platform::threadIsCurrent(record->handle);
    if (record->loop.load(std::memory_order_acquire) || ownBody) {
        record->mutex.leave();
        return ThreadStart::kStillRunning;
    }
    while (record->running.load(std::memory_order_acquire) != 0 &&
           !record->loop.load(std::memory_order_acquire)) {
        record->mutex.leave();
        Platform::sleepMilliseconds(1);
        record->mutex.enter();
    }
    if (record->loop.load(std::memory_order_acquire)) {
        record->mutex.leave();
        return ThreadStart::kStillRunning;
    }
    if (record->handle != nullptr) {
        // The earlier body has returned (running is clear); reclaim its thread.
        Platform::threadClose(record->handle);
        record->handle = nullptr;
    }
    record->loop.store(true, std::memory_order_release);
    record->threadId.store(-1, std::memory_order_relaxed);
    record->destroying.store(false, std::memory_order_relaxed);
    record->deadline.store(0, std::memory_order_relaxed);
    const std::size_t stackSize =
        record->stackSize > 0
            ? std::max(static_cast<std::size_t>(record->stackSize), kSmallestStack)
            : 0;
    record->handle = g_threadStarter.load(std::memory_order_acquire)(
        &threadBody, record, stackSize, windowsPriority(record->priority, record->policy), error);
    if (record->handle == nullptr) {
        record->loop.store(false, std::memory_order_release);
        record->mutex.leave();
        return ThreadStart::kFailed;
    }
    record->running.store(1, std::memory_order_release);
    record->mutex.leave();
    return ThreadStart::kStarted;
}

void logThreadStartFailure(const void* thread, int error) {
    INFRA_DIAG_OBJECT(kLevelError, thread, "create thread failed,errno=%d\n", error);
}

ThreadStarter replaceThreadStarter(ThreadStarter starter) {
    return g_threadStarter.exchange(starter != nullptr ? starter : &Platform::threadStart,
                                    std::memory_order_acq_rel);
}

void setRecordName(ThreadInternal* record, const char* name) {
    record->mutex.enter();
    copyName(record->name, name);
    record->mutex.leave();
}

void clearLoop(ThreadInternal* record) {
    CMutexGuard guard(record->mutex);
    record->loop.store(false, std::memory_order_release);
}

void detachThread(ThreadInternal* record) {
    CMutexGuard guard(record->mutex);
    if (record->handle != nullptr) {
        Platform::threadDetach(record->handle);
    }
}

void endThread(ThreadInternal* record, const void* self) {
    waitForBody(record, self);
    record->mutex.enter();
    Platform::ThreadHandle* handle = record->handle;
    record->handle = nullptr;
    record->mutex.leave();
    if (handle != nullptr) {
        Platform::threadClose(handle);
    }
}

void applyThreadName(ThreadInternal* record) {
    char name[kThreadNameSize];
    record->mutex.enter();
    std::memcpy(name, record->name, sizeof name);
    record->mutex.leave();
    Platform::currentThreadSetName(name);
}

}  // namespace Detail

CThread::CThread(const char* name, int priority, int policy, int stackSize)
    : m_internal(new ThreadInternal) {
    copyName(m_internal->name, name);
    m_internal->priority = priority;
    m_internal->policy = policy;
    m_internal->stackSize = stackSize;
    m_internal->registry = ThreadManagerInternal::instance();
    m_internal->owner = this;
}

CThread::~CThread() {
    ThreadInternal* record = m_internal;
    if (looping()) {
        destroyThread();
    }
    Detail::endThread(record, this);
    delete record;
    m_internal = nullptr;
}

bool CThread::createThread() {
    int error = 0;
    switch (Detail::startThread(*this, &error)) {
        case Detail::ThreadStart::kStarted:
            return true;
        case Detail::ThreadStart::kStillRunning:
            INFRA_DIAG_THIS(kLevelWarn, "CThread::CreateThread() thread '%s' is still running!\n",
                            nameOf(m_internal).text);
            return false;
        case Detail::ThreadStart::kFailed:
            break;
    }
    Detail::logThreadStartFailure(this, error);
    return false;
}

bool CThread::destroyThread() {
    ThreadInternal* record = m_internal;
    record->mutex.enter();
    if (record->destroying.load(std::memory_order_acquire)) {
        record->mutex.leave();
        INFRA_DIAG_THIS(kLevelWarn, "CThread::DestroyThread() thread '%s' has been destroyed!\n",
                        nameOf(record).text);
        return false;
    }
    if (isThreadOver()) {
        record->mutex.leave();
        INFRA_DIAG_THIS(kLevelWarn, "CThread::DestroyThread() thread '%s' has exited!\n",
                        nameOf(record).text);
        return false;
    }
    record->loop.store(false, std::memory_order_release);
    record->destroying.store(true, std::memory_order_release);
    Platform::ThreadHandle* handle = record->handle;
    if (handle == nullptr) {
        record->mutex.leave();
        INFRA_DIAG_THIS(kLevelWarn, "CThread::DestroyThread() thread handle has been invalid!\n");
        return false;
    }
    if (record->threadId.load(std::memory_order_acquire) == getCurrentThreadID() ||
        Platform::threadIsCurrent(handle)) {
        record->mutex.leave();
        return true;
    }
    // Kept alive while waiting: a new createThread may close the handle meanwhile.
    Platform::threadRetain(handle);
    record->mutex.leave();
    while (record->running.load(std::memory_order_acquire) != 0 &&
           !Platform::threadWaitDone(handle, 50) &&
           record->destroying.load(std::memory_order_acquire)) {
    }
    Platform::threadRelease(handle);
    return true;
}

bool CThread::terminateThread() {
    destroyThread();
    ThreadInternal* record = m_internal;
    record->mutex.enter();
    Platform::ThreadHandle* handle = record->handle;
    if (handle == nullptr) {
        record->mutex.leave();
        INFRA_DIAG_THIS(kLevelError, "handle is null, can't be terminated\n");
        return false;
    }
    // Kept alive while waiting: a new createThread may close the handle meanwhile.
    Platform::threadRetain(handle);
    const bool ownThread = Platform::threadIsCurrent(handle);
    const Platform::CancelResult result = Platform::threadCancel(handle);
    record->mutex.leave();
    bool ended = false;
    switch (result) {
        case Platform::CancelResult::kEnded:
            ended = true;
            break;
        case Platform::CancelResult::kEnding:
            ended = Platform::threadWaitDone(handle, -1);
            break;
        case Platform::CancelResult::kPending:
            // The thread itself ends at its next blocking point. Another one may be just between
            // two of them: it is given a moment to reach the next.
            ended = ownThread || Platform::threadWaitDone(handle, kTerminateGraceMs);
            break;
        case Platform::CancelResult::kFailed:
            break;
    }
    Platform::threadRelease(handle);
    if (!ended) {
        INFRA_DIAG_THIS(kLevelError,
                        "thread '%s' can't be terminated: it waits or runs outside the library's "
                        "blocking points\n",
                        nameOf(record).text);
    }
    return ended;
}

bool CThread::cancelThread() {
    ThreadInternal* record = m_internal;
    record->mutex.enter();
    if (record->loop.load(std::memory_order_acquire)) {
        record->loop.store(false, std::memory_order_release);
        record->mutex.leave();
        return true;
    }
    record->mutex.leave();
    INFRA_DIAG_THIS(kLevelWarn, "CThread::cancelThread() thread '%s' not exist!\n",
                    nameOf(record).text);
    return false;
}

bool CThread::isThreadOver() {
    return m_internal->running.load(std::memory_order_acquire) == 0 &&
           !m_internal->loop.load(std::memory_order_acquire);
}

bool CThread::looping() const {
    return m_internal->loop.load(std::memory_order_acquire);
}

int CThread::getThreadID() {
    return m_internal->threadId.load(std::memory_order_acquire);
}

const char* CThread::getThreadName() {
    return m_internal->name;
}

void CThread::setThreadName(const char* name) {
    ThreadInternal* record = m_internal;
    record->mutex.enter();
    copyName(record->name, name);
    if (record->handle != nullptr && record->running.load(std::memory_order_acquire) != 0) {
        if (Platform::threadIsCurrent(record->handle)) {
            Platform::currentThreadSetName(record->name);
        } else {
            Platform::threadSetName(record->handle, record->name);
        }
    }
    record->mutex.leave();
}

void CThread::enableStackSize() {
    CMutexGuard guard(m_internal->mutex);
    m_internal->stackSizeFlag = true;
}

void CThread::setTimeout(int milliseconds) {
    setTimeout(milliseconds, milliseconds == 0 ? 0 : CTime::getCurrentMilliSecond());
}

void CThread::setTimeout(int milliseconds, unsigned long long now) {
    m_internal->deadline.store(deadlineAfter(milliseconds, now), std::memory_order_relaxed);
}

bool CThread::isTimeout() {
    CMutexGuard guard(m_internal->mutex);
    return m_internal->timedOut(CTime::getCurrentMilliSecond());
}

bool CThread::setCurrentTimeout(int milliseconds) {
    ThreadInternal* record = ThreadManagerInternal::instance()->findThread(getCurrentThreadID());
    if (record == nullptr) {
        return false;
    }
    const unsigned long long now = milliseconds == 0 ? 0 : CTime::getCurrentMilliSecond();
    CMutexGuard guard(record->mutex);
    record->deadline.store(deadlineAfter(milliseconds, now), std::memory_order_relaxed);
    return true;
}

int CThread::getCurrentThreadID() {
    return Platform::currentThreadId();
}

void CThread::sleep(int milliseconds) {
    Platform::sleepCancellable(milliseconds > 0 ? static_cast<unsigned int>(milliseconds) : 0u);
}

void CThread::load(int percent) {
    if (percent < 1 || percent > 100) {
        INFRA_DIAG_PLAIN(kLevelError, "thread load percent %d is invalid!\n", percent);
    }
}

int CThread::shareSocket(int socket) {
    return socket;
}

CThreadLite::CThreadLite(TFunction1<void, CThreadLite&> proc, const char* name, int priority,
                         int policy, int stackSize)
    : CThread(name, priority, policy, stackSize),
      m_proc(new TFunction1<void, CThreadLite&>(proc)) {}

CThreadLite::~CThreadLite() {
    if (!isThreadOver()) {
        destroyThread();
    }
    // The callable must outlive the body even when a stop was already under way (destroyThread
    // then returns without waiting).
    Detail::waitForBody(Detail::ThreadAccess::record(*this), this);
    delete m_proc;
    m_proc = nullptr;
}

void CThreadLite::threadProc() {
    if (!m_proc->empty()) {
        (*m_proc)(*this);
    }
}

int systemCall(const char* command) {
    if (command == nullptr) {
        return 1;
    }
    INFRA_LOG_LEVEL(kLevelDebug, "systemcall command:%s\n", command);
    if (std::strlen(command) >= kCommandLineSize) {
        INFRA_LOG_LEVEL(kLevelError,
                        "systemCall's input parameter is too long, command : %s, line: %d \n",
                        command, __LINE__);
        return -1;
    }
    char buffer[kCommandLineSize];
    std::strcpy(buffer, command);
    const std::vector<std::string> words = Detail::splitCommandLine(buffer);
    std::vector<const char*> argv;
    argv.reserve(words.size() + 1);
    for (const std::string& word : words) {
        argv.push_back(word.c_str());
    }
    argv.push_back(nullptr);
    if (Platform::spawnAndWait(argv.data()) != 0) {
        INFRA_LOG_LEVEL(kLevelWarn, "systemCall CreateProcessA cmd : %s failed, line :  %d\n",
                        buffer, __LINE__);
        return -1;
    }
    return 0;
}

unsigned long long getCurrectProcessID() {
    return static_cast<unsigned long long>(Platform::currentProcessId());
}

}  // namespace Infra
}  // namespace Tovix
