// Platform, Windows threads: thread ids, sleeping, _beginthreadex with a start trampoline,
// SetThreadPriority, cooperative cancellation at the blocking points (CancellableWait) and
// thread descriptions.
#include <errno.h>
#include <process.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>

#include "WindowsHeader.h"
#include "platform/Clock.h"
#include "platform/Thread.h"

namespace Tovix {
namespace Platform {

namespace {

// A thread's id never changes: keep its text once per thread.
struct ThreadIdText {
    int length;
    char digits[12];
};

thread_local ThreadIdText t_threadIdText = {0, {}};

}  // namespace

int currentThreadId() {
    return static_cast<int>(GetCurrentThreadId());
}

const char* currentThreadIdText(int* length) {
    ThreadIdText& text = t_threadIdText;
    if (text.length == 0) {
        char reversed[12];
        int n = 0;
        unsigned long id = static_cast<unsigned long>(GetCurrentThreadId());
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
        Sleep(0);
        return;
    }
    // Sleep counts in scheduler ticks and may wake a fraction of a tick early; sleep again until
    // the monotonic clock has moved on by the whole time.
    const unsigned long long end =
        monotonicMicroseconds() + static_cast<unsigned long long>(milliseconds) * 1000ULL;
    unsigned long long now = 0;
    // INFINITE (0xFFFFFFFF) is no duration: the longest single sleep is one less.
    Sleep(milliseconds < INFINITE ? milliseconds : INFINITE - 1);
    while ((now = monotonicMicroseconds()) < end) {
        const unsigned long long left = (end - now + 999ULL) / 1000ULL;
        Sleep(static_cast<DWORD>(left < INFINITE ? left : INFINITE - 1));
    }
}

struct ThreadHandle {
    HANDLE thread;
    DWORD threadId;
    ThreadEntry entry;
    void* argument;
    std::atomic<int> references;
    bool joined;  // set, under `lock`, by the first threadClose or threadDetach
    // Guards `done` against a cancel or rename racing with the thread's end.
    CRITICAL_SECTION lock;
    bool done;
    HANDLE doneEvent;    // manual-reset: set once entry returned or unwound
    HANDLE cancelEvent;  // manual-reset: set by threadCancel, waited on by CancellableWait users
    bool blocking;       // the thread waits in a CancellableWait (under `lock`)
};

namespace {

// Thrown at a blocking point of a cancelled thread; caught only by the trampoline. Not derived
// from std::exception, so that callers' handlers for ordinary errors let it pass.
struct ThreadCancelUnwind {};

// The handle of the calling thread when threadStart started it; null on other threads.
thread_local ThreadHandle* t_currentHandle = nullptr;

void markDone(ThreadHandle* handle) {
    EnterCriticalSection(&handle->lock);
    handle->done = true;
    SetEvent(handle->doneEvent);
    LeaveCriticalSection(&handle->lock);
}

unsigned __stdcall trampoline(void* argument) {
    ThreadHandle* handle = static_cast<ThreadHandle*>(argument);
    t_currentHandle = handle;
    try {
        handle->entry(handle->argument);
    } catch (const ThreadCancelUnwind&) {
        // The stack has unwound, destructors ran: the thread ends as cancelled.
    }
    t_currentHandle = nullptr;
    markDone(handle);
    threadRelease(handle);  // the thread's own reference
    return 0;
}

void freeHandle(ThreadHandle* handle) {
    if (handle->thread != nullptr) {
        CloseHandle(handle->thread);
    }
    if (handle->doneEvent != nullptr) {
        CloseHandle(handle->doneEvent);
    }
    if (handle->cancelEvent != nullptr) {
        CloseHandle(handle->cancelEvent);
    }
    DeleteCriticalSection(&handle->lock);
    delete handle;
}

// The Windows priorities callers use are the system's own; anything else is clamped into the
// range SetThreadPriority accepts.
int clampPriority(int priority) {
    if (priority >= THREAD_PRIORITY_TIME_CRITICAL) {
        return THREAD_PRIORITY_TIME_CRITICAL;
    }
    if (priority <= THREAD_PRIORITY_IDLE) {
        return THREAD_PRIORITY_IDLE;
    }
    if (priority > THREAD_PRIORITY_HIGHEST) {
        return THREAD_PRIORITY_HIGHEST;
    }
    if (priority < THREAD_PRIORITY_LOWEST) {
        return THREAD_PRIORITY_LOWEST;
    }
    return priority;
}

using SetDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PCWSTR);

// SetThreadDescription exists from Windows 10 1607 on; older systems keep unnamed threads.
SetDescriptionFunction setDescriptionFunction() {
    static const SetDescriptionFunction function = [] {
        const HMODULE kernel = GetModuleHandleA("kernel32.dll");
        FARPROC found =
            kernel != nullptr ? GetProcAddress(kernel, "SetThreadDescription") : nullptr;
        return reinterpret_cast<SetDescriptionFunction>(reinterpret_cast<void (*)()>(found));
    }();
    return function;
}

void describeThread(HANDLE thread, const char* name) {
    const SetDescriptionFunction setDescription = setDescriptionFunction();
    if (setDescription == nullptr) {
        return;
    }
    // The same first 15 bytes that other systems keep, widened from the ANSI code page.
    char shortName[16];
    std::strncpy(shortName, name != nullptr ? name : "", sizeof shortName - 1);
    shortName[sizeof shortName - 1] = '\0';
    wchar_t wide[16];
    if (MultiByteToWideChar(CP_ACP, 0, shortName, -1, wide, 16) == 0) {
        return;
    }
    (void)setDescription(thread, wide);
}

}  // namespace

ThreadHandle* threadStart(ThreadEntry entry, void* argument, std::size_t stackSize,
                          int windowsPriority, int* error) {
    ThreadHandle* handle = new (std::nothrow) ThreadHandle;
    if (handle == nullptr) {
        *error = ENOMEM;
        return nullptr;
    }
    handle->thread = nullptr;
    handle->threadId = 0;
    handle->entry = entry;
    handle->argument = argument;
    // One reference for the creator, one for the thread itself, so that a handle closed early
    // (even from its own thread) stays valid until the trampoline's last touch.
    handle->references.store(2, std::memory_order_relaxed);
    handle->joined = false;
    handle->done = false;
    handle->blocking = false;
    InitializeCriticalSection(&handle->lock);
    handle->doneEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    handle->cancelEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (handle->doneEvent == nullptr || handle->cancelEvent == nullptr) {
        freeHandle(handle);
        *error = ENOMEM;
        return nullptr;
    }
    if (stackSize > 0xFFFFFFFFu) {
        freeHandle(handle);
        *error = EINVAL;
        return nullptr;
    }
    // Started suspended so that the id is known and the priority set before the entry runs.
    unsigned threadId = 0;
    errno = 0;
    const std::uintptr_t started = _beginthreadex(nullptr, static_cast<unsigned>(stackSize),
                                                  &trampoline, handle, CREATE_SUSPENDED, &threadId);
    if (started == 0) {
        *error = errno != 0 ? errno : EAGAIN;
        freeHandle(handle);
        return nullptr;
    }
    handle->thread = reinterpret_cast<HANDLE>(started);
    handle->threadId = threadId;
    // A hint only: lacking the right to raise priority is no reason to fail.
    (void)SetThreadPriority(handle->thread, clampPriority(windowsPriority));
    ResumeThread(handle->thread);
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
    EnterCriticalSection(&handle->lock);
    const bool first = !handle->joined;
    handle->joined = true;
    LeaveCriticalSection(&handle->lock);
    return first;
}

bool threadEnded(ThreadHandle* handle) {
    // The thread's own handle is signalled however it ended, also when the system ended it at
    // process exit without letting it set doneEvent.
    return WaitForSingleObject(handle->doneEvent, 0) == WAIT_OBJECT_0 ||
           WaitForSingleObject(handle->thread, 0) == WAIT_OBJECT_0;
}

void threadDetach(ThreadHandle* handle) {
    // A Windows thread needs nothing beyond its handle, closed with the last reference.
    claimJoin(handle);
}

void threadClose(ThreadHandle* handle) {
    if (claimJoin(handle)) {
        // Misuse guard: a thread cannot wait for itself; its handle is closed with the record.
        if (GetCurrentThreadId() != handle->threadId) {
            WaitForSingleObject(handle->thread, INFINITE);
        }
    }
    threadRelease(handle);
}

bool threadWaitDone(ThreadHandle* handle, long long timeoutMs) {
    if (timeoutMs < 0) {
        return WaitForSingleObject(handle->doneEvent, INFINITE) == WAIT_OBJECT_0;
    }
    constexpr long long kLongestWait = 0x7FFFFFFFLL;
    for (;;) {
        const long long slice = timeoutMs < kLongestWait ? timeoutMs : kLongestWait;
        if (WaitForSingleObject(handle->doneEvent, static_cast<DWORD>(slice)) == WAIT_OBJECT_0) {
            return true;
        }
        timeoutMs -= slice;
        if (timeoutMs <= 0) {
            return false;
        }
    }
}

bool threadIsCurrent(const ThreadHandle* handle) {
    return GetCurrentThreadId() == handle->threadId;
}

CancelResult threadCancel(ThreadHandle* handle) {
    // Killing a thread wherever it runs (TerminateThread) would leave the locks it holds taken
    // and its memory leaked; the cancel is delivered at its blocking points instead. Under the
    // lock the thread cannot leave a blocking point unnoticed: CancellableWait::leave takes it,
    // then looks at the event.
    EnterCriticalSection(&handle->lock);
    CancelResult result = CancelResult::kEnded;
    if (!handle->done) {
        if (SetEvent(handle->cancelEvent) == FALSE) {
            result = CancelResult::kFailed;
        } else {
            result = handle->blocking ? CancelResult::kEnding : CancelResult::kPending;
        }
    }
    LeaveCriticalSection(&handle->lock);
    return result;
}

void threadSetName(ThreadHandle* handle, const char* name) {
    EnterCriticalSection(&handle->lock);
    if (!handle->done) {
        describeThread(handle->thread, name);
    }
    LeaveCriticalSection(&handle->lock);
}

void currentThreadSetName(const char* name) {
    describeThread(GetCurrentThread(), name);
}

namespace {

void markBlocking(ThreadHandle* handle, bool blocking) {
    EnterCriticalSection(&handle->lock);
    handle->blocking = blocking;
    LeaveCriticalSection(&handle->lock);
}

bool cancelRequested(const ThreadHandle* handle) {
    return WaitForSingleObject(handle->cancelEvent, 0) == WAIT_OBJECT_0;
}

}  // namespace

CancellableWait::CancellableWait() : m_handle(t_currentHandle), m_previousState(0), m_open(true) {
    if (m_handle != nullptr) {
        markBlocking(m_handle, true);
    }
}

CancellableWait::~CancellableWait() {
    if (m_open && m_handle != nullptr) {
        markBlocking(m_handle, false);
    }
}

void CancellableWait::leave() {
    m_open = false;
    if (m_handle != nullptr) {
        markBlocking(m_handle, false);
        // A cancel sent while the thread was marked as blocking takes effect here at the latest.
        if (cancelRequested(m_handle)) {
            throw ThreadCancelUnwind();
        }
    }
}

void* CancellableWait::cancelEvent() const {
    return m_handle != nullptr ? m_handle->cancelEvent : nullptr;
}

void CancellableWait::cancelNow() {
    m_open = false;
    if (m_handle != nullptr) {
        markBlocking(m_handle, false);
    }
    throw ThreadCancelUnwind();
}

void sleepCancellable(unsigned int milliseconds) {
    CancellableWait wait;
    const HANDLE cancel = static_cast<HANDLE>(wait.cancelEvent());
    if (cancel == nullptr) {
        sleepMilliseconds(milliseconds);
        wait.leave();
        return;
    }
    if (WaitForSingleObject(cancel, 0) == WAIT_OBJECT_0) {
        wait.cancelNow();
    }
    if (milliseconds == 0) {
        Sleep(0);
        wait.leave();
        return;
    }
    // The wait may end a fraction of a scheduler tick early: wait again for what is left.
    const unsigned long long end =
        monotonicMicroseconds() + static_cast<unsigned long long>(milliseconds) * 1000ULL;
    DWORD slice = milliseconds < INFINITE ? milliseconds : INFINITE - 1;
    for (;;) {
        if (WaitForSingleObject(cancel, slice) == WAIT_OBJECT_0) {
            wait.cancelNow();
        }
        const unsigned long long now = monotonicMicroseconds();
        if (now >= end) {
            break;
        }
        slice = static_cast<DWORD>((end - now + 999ULL) / 1000ULL);
    }
    wait.leave();
}

}  // namespace Platform
}  // namespace Tovix
