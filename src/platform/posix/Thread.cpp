// Platform, POSIX threads: kernel thread ids, sleeping, pthread_create with a start trampoline,
// joins, cancellation at the library's blocking points, thread names and nice values as priorities.
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define INFRA_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define INFRA_ASAN 1
#endif
#if defined(INFRA_ASAN)
#include <sanitizer/asan_interface.h>
#endif

#include "platform/Thread.h"

namespace Tovix {
namespace Platform {

namespace {

// The kernel id never changes for a thread: read it once, and its text once. Initial-exec TLS is
// a plain thread-pointer access (no call to look the block up).
__attribute__((tls_model("initial-exec"))) thread_local int t_threadId = 0;

struct ThreadIdText {
    int length;
    char digits[12];
};

__attribute__((tls_model("initial-exec"))) thread_local ThreadIdText t_threadIdText = {0, {}};

// A forked child runs the forking thread under a new id: forget the cached one.
void forgetThreadIdInChild() {
    t_threadId = 0;
    t_threadIdText.length = 0;
}

void registerForkHandler() {
    static const bool registered = pthread_atfork(nullptr, nullptr, &forgetThreadIdInChild) == 0;
    (void)registered;
}

}  // namespace

int currentThreadId() {
    int id = t_threadId;
    if (id == 0) {
        registerForkHandler();
        id = static_cast<int>(::syscall(SYS_gettid));
        t_threadId = id;
    }
    return id;
}

const char* currentThreadIdText(int* length) {
    ThreadIdText& text = t_threadIdText;
    if (text.length == 0) {
        // A kernel thread id is positive; write its digits once.
        char reversed[12];
        int n = 0;
        unsigned int id = static_cast<unsigned int>(currentThreadId());
        do {
            reversed[n++] = static_cast<char>('0' + id % 10);
            id /= 10;
        } while (id != 0 && n < 11);
        for (int i = 0; i < n; ++i) {
            text.digits[i] = reversed[n - 1 - i];
        }
        text.length = n;
    }
    *length = text.length;
    return text.digits;
}

void sleepMilliseconds(unsigned int milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    timespec request{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&request, &request) != 0 && errno == EINTR) {
    }
}

struct ThreadHandle {
    pthread_t thread;
    ThreadEntry entry;
    void* argument;
    int windowsPriority;
    std::atomic<int> references;
    bool joined;  // set, under `mutex`, by the first threadClose or threadDetach
    // `done` is set when entry returned or unwound; waiters sleep on the condition.
    pthread_mutex_t mutex;
    pthread_cond_t doneCondition;
    bool done;
    bool blocking;  // the thread waits in a CancellableWait (under `mutex`)
};

namespace {

// Windows thread priorities as nice values: only ever a hint, so a time-critical thread gets a
// strong but ordinary priority, never a real-time scheduling class that could starve the machine.
int niceForWindowsPriority(int priority) {
    if (priority >= 15) {
        return -10;
    }
    if (priority >= 2) {
        return -5;
    }
    if (priority == 1) {
        return -2;
    }
    if (priority == 0) {
        return 0;
    }
    if (priority == -1) {
        return 2;
    }
    if (priority >= -2) {
        return 5;
    }
    return 19;
}

void applyPriority(int windowsPriority) {
    // Linux keeps a nice value per thread (PRIO_PROCESS with a thread id). Lowering priority is
    // always allowed; raising it needs a privilege, and without it the hint is simply dropped.
    const id_t tid = static_cast<id_t>(::syscall(SYS_gettid));
    const int wanted = niceForWindowsPriority(windowsPriority);
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, tid);
    if (errno == 0 && current == wanted) {
        return;
    }
    (void)::setpriority(PRIO_PROCESS, tid, wanted);
}

void markDone(ThreadHandle* handle) {
    pthread_mutex_lock(&handle->mutex);
    handle->done = true;
    pthread_cond_broadcast(&handle->doneCondition);
    pthread_mutex_unlock(&handle->mutex);
}

// Marks the handle done however the entry function is left: by returning, or by the forced
// unwinding of a cancellation, which runs this destructor on its way out.
struct DoneMarker {
    ThreadHandle* handle;
    ~DoneMarker() { markDone(handle); }
};

// The handle of the calling thread when threadStart started it; null on other threads.
thread_local ThreadHandle* t_currentHandle = nullptr;

void* trampoline(void* argument) {
    ThreadHandle* handle = static_cast<ThreadHandle*>(argument);
    t_currentHandle = handle;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    applyPriority(handle->windowsPriority);
    DoneMarker marker{handle};
    handle->entry(handle->argument);
    return nullptr;
}

void freeHandle(ThreadHandle* handle) {
    pthread_cond_destroy(&handle->doneCondition);
    pthread_mutex_destroy(&handle->mutex);
    delete handle;
}

void copyThreadName(const char* name, char (&out)[16]) {
    // The kernel keeps 15 bytes and a NUL; longer names make pthread_setname_np fail.
    std::strncpy(out, name != nullptr ? name : "", sizeof out - 1);
    out[sizeof out - 1] = '\0';
}

}  // namespace

ThreadHandle* threadStart(ThreadEntry entry, void* argument, std::size_t stackSize,
                          int windowsPriority, int* error) {
    ThreadHandle* handle = new (std::nothrow) ThreadHandle;
    if (handle == nullptr) {
        *error = ENOMEM;
        return nullptr;
    }
    handle->entry = entry;
    handle->argument = argument;
    handle->windowsPriority = windowsPriority;
    handle->references.store(1, std::memory_order_relaxed);
    handle->joined = false;
    handle->done = false;
    handle->blocking = false;
    pthread_mutex_init(&handle->mutex, nullptr);
    pthread_condattr_t conditionAttr;
    pthread_condattr_init(&conditionAttr);
    pthread_condattr_setclock(&conditionAttr, CLOCK_MONOTONIC);
    pthread_cond_init(&handle->doneCondition, &conditionAttr);
    pthread_condattr_destroy(&conditionAttr);

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stackSize != 0) {
        std::size_t size = stackSize < static_cast<std::size_t>(PTHREAD_STACK_MIN)
                               ? static_cast<std::size_t>(PTHREAD_STACK_MIN)
                               : stackSize;
        const long page = ::sysconf(_SC_PAGESIZE);
        if (page > 0) {
            const std::size_t pageSize = static_cast<std::size_t>(page);
            size = (size + pageSize - 1) / pageSize * pageSize;
        }
        pthread_attr_setstacksize(&attr, size);
    }
    const int rc = pthread_create(&handle->thread, &attr, &trampoline, handle);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        freeHandle(handle);
        *error = rc;
        return nullptr;
    }
    *error = 0;
    return handle;
}

void threadRetain(ThreadHandle* handle) {
    handle->references.fetch_add(1, std::memory_order_relaxed);
}

void threadRelease(ThreadHandle* handle) {
    if (handle->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        freeHandle(handle);
    }
}

// True for the first caller only.
bool claimJoin(ThreadHandle* handle) {
    pthread_mutex_lock(&handle->mutex);
    const bool first = !handle->joined;
    handle->joined = true;
    pthread_mutex_unlock(&handle->mutex);
    return first;
}

bool threadEnded(ThreadHandle* handle) {
    // A POSIX thread is never ended behind the process's back: it ends by returning or unwinding.
    pthread_mutex_lock(&handle->mutex);
    const bool done = handle->done;
    pthread_mutex_unlock(&handle->mutex);
    return done;
}

void threadDetach(ThreadHandle* handle) {
    if (claimJoin(handle)) {
        pthread_detach(handle->thread);
    }
}

void threadClose(ThreadHandle* handle) {
    if (claimJoin(handle)) {
        if (pthread_equal(pthread_self(), handle->thread)) {
            // Misuse guard: a thread cannot wait for itself; let it be reclaimed when it ends.
            pthread_detach(handle->thread);
        } else {
            pthread_join(handle->thread, nullptr);
        }
    }
    threadRelease(handle);
}

bool threadWaitDone(ThreadHandle* handle, long long timeoutMs) {
    pthread_mutex_lock(&handle->mutex);
    if (timeoutMs < 0) {
        while (!handle->done) {
            pthread_cond_wait(&handle->doneCondition, &handle->mutex);
        }
    } else if (!handle->done) {
        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
        deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
        while (!handle->done) {
            if (pthread_cond_timedwait(&handle->doneCondition, &handle->mutex, &deadline) ==
                ETIMEDOUT) {
                break;
            }
        }
    }
    const bool done = handle->done;
    pthread_mutex_unlock(&handle->mutex);
    return done;
}

bool threadIsCurrent(const ThreadHandle* handle) {
    return pthread_equal(pthread_self(), handle->thread) != 0;
}

CancelResult threadCancel(ThreadHandle* handle) {
    // Under the handle's mutex the thread cannot finish and be reclaimed in between (its
    // DoneMarker waits for the mutex, and threadClose joins only after that), nor leave a
    // blocking point unnoticed (CancellableWait::leave takes the mutex, then acts on the cancel).
    pthread_mutex_lock(&handle->mutex);
    CancelResult result = CancelResult::kEnded;
    if (!handle->done) {
        if (pthread_cancel(handle->thread) != 0) {
            result = CancelResult::kFailed;
        } else {
            result = handle->blocking ? CancelResult::kEnding : CancelResult::kPending;
        }
    }
    pthread_mutex_unlock(&handle->mutex);
    return result;
}

void threadSetName(ThreadHandle* handle, const char* name) {
    char shortName[16];
    copyThreadName(name, shortName);
    pthread_mutex_lock(&handle->mutex);
    if (!handle->done) {
        (void)pthread_setname_np(handle->thread, shortName);
    }
    pthread_mutex_unlock(&handle->mutex);
}

void currentThreadSetName(const char* name) {
    char shortName[16];
    copyThreadName(name, shortName);
    (void)pthread_setname_np(pthread_self(), shortName);
}

namespace {

void markBlocking(ThreadHandle* handle, bool blocking) {
    pthread_mutex_lock(&handle->mutex);
    handle->blocking = blocking;
    pthread_mutex_unlock(&handle->mutex);
}

}  // namespace

CancellableWait::CancellableWait()
    : m_handle(t_currentHandle), m_previousState(PTHREAD_CANCEL_DISABLE), m_open(true) {
    if (m_handle != nullptr) {
        markBlocking(m_handle, true);
    }
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &m_previousState);
}

// Runs without leave() only when a cancel unwinds the wait. AddressSanitizer unpoisons the stack
// when an exception is thrown, but a cancel's forced unwinding throws nothing, so the frames it
// abandons would keep their poisoned red zones under the handlers that run next. Doing what a
// throw does, from the frame of the wait, keeps the unwinding sound under it.
CancellableWait::~CancellableWait() {
    if (!m_open) {
        return;
    }
    if (m_handle != nullptr) {
        markBlocking(m_handle, false);
    }
#if defined(INFRA_ASAN)
    __asan_handle_no_return();
#endif
}

void CancellableWait::leave() {
    if (m_handle != nullptr) {
        markBlocking(m_handle, false);
    }
    // A cancel sent while the thread was marked as blocking takes effect here at the latest.
    pthread_testcancel();
    m_open = false;
    pthread_setcancelstate(m_previousState, nullptr);
}

void* CancellableWait::cancelEvent() const {
    return nullptr;
}

void CancellableWait::cancelNow() {
    pthread_exit(nullptr);
}

void sleepCancellable(unsigned int milliseconds) {
    CancellableWait wait;
    pthread_testcancel();
    if (milliseconds == 0) {
        sched_yield();
    } else {
        // nanosleep, a cancellation point, is called from this frame itself, so that no other
        // instrumented frame lies between the cancel and the bracket above.
        timespec request{static_cast<time_t>(milliseconds / 1000),
                         static_cast<long>(milliseconds % 1000) * 1000000L};
        while (nanosleep(&request, &request) != 0 && errno == EINTR) {
        }
    }
    wait.leave();
}

}  // namespace Platform
}  // namespace Tovix
