// Platform, Windows sync: kernel mutexes and kernel semaphores, and the semaphore wait that also
// watches the thread's cancel event.
#include <new>

#include "WindowsHeader.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

namespace Tovix {
namespace Platform {

namespace {

// Waits for a kernel object; timeoutMs < 0 waits without limit. Timeouts beyond what one wait
// accepts (INFINITE is reserved) are waited in slices.
DWORD waitMilliseconds(HANDLE handle, long long timeoutMs) {
    if (timeoutMs < 0) {
        return WaitForSingleObject(handle, INFINITE);
    }
    constexpr long long kLongestWait = 0x7FFFFFFFLL;
    for (;;) {
        const long long slice = timeoutMs < kLongestWait ? timeoutMs : kLongestWait;
        const DWORD rc = WaitForSingleObject(handle, static_cast<DWORD>(slice));
        timeoutMs -= slice;
        if (rc != WAIT_TIMEOUT || timeoutMs <= 0) {
            return rc;
        }
    }
}

}  // namespace

// The legacy lock is a kernel mutex: re-entrant for its owner, released only by it.
struct RecursiveMutex {
    HANDLE handle;
};

RecursiveMutex* recursiveMutexCreate() {
    const HANDLE handle = CreateMutexA(nullptr, FALSE, nullptr);
    if (handle == nullptr) {
        return nullptr;
    }
    RecursiveMutex* m = new (std::nothrow) RecursiveMutex{handle};
    if (m == nullptr) {
        CloseHandle(handle);
    }
    return m;
}

void recursiveMutexDestroy(RecursiveMutex* mutex) {
    if (mutex != nullptr) {
        CloseHandle(mutex->handle);
        delete mutex;
    }
}

LockResult recursiveMutexAcquire(RecursiveMutex* mutex, bool wait) {
    switch (WaitForSingleObject(mutex->handle, wait ? INFINITE : 0)) {
        case WAIT_OBJECT_0:
            return LockResult::kAcquired;
        case WAIT_ABANDONED:
            // The last owner ended without releasing: the mutex is handed over all the same.
            return LockResult::kAbandoned;
        default:
            return LockResult::kFailed;
    }
}

void recursiveMutexLock(RecursiveMutex* mutex) {
    (void)recursiveMutexAcquire(mutex, true);
}

bool recursiveMutexTryLock(RecursiveMutex* mutex) {
    return recursiveMutexAcquire(mutex, false) != LockResult::kFailed;
}

bool recursiveMutexUnlock(RecursiveMutex* mutex) {
    // ReleaseMutex fails for a thread that does not own the mutex.
    return ReleaseMutex(mutex->handle) != FALSE;
}

// A kernel semaphore. Its waits run on the system's interrupt-time clock, which setting the
// system time does not move.
struct Semaphore {
    HANDLE handle;
};

Semaphore* semaphoreCreate(long initialCount, long maximumCount) {
    if (initialCount < 0 || maximumCount <= 0 || initialCount > maximumCount) {
        return nullptr;
    }
    const HANDLE handle = CreateSemaphoreA(nullptr, static_cast<LONG>(initialCount),
                                           static_cast<LONG>(maximumCount), nullptr);
    if (handle == nullptr) {
        return nullptr;
    }
    Semaphore* s = new (std::nothrow) Semaphore{handle};
    if (s == nullptr) {
        CloseHandle(handle);
    }
    return s;
}

void semaphoreDestroy(Semaphore* semaphore) {
    if (semaphore != nullptr) {
        CloseHandle(semaphore->handle);
        delete semaphore;
    }
}

bool semaphoreWait(Semaphore* semaphore, long long timeoutMs) {
    return waitMilliseconds(semaphore->handle, timeoutMs) == WAIT_OBJECT_0;
}

bool semaphoreWaitCancellable(Semaphore* semaphore, long long timeoutMs) {
    CancellableWait wait;
    const HANDLE cancel = static_cast<HANDLE>(wait.cancelEvent());
    if (cancel == nullptr) {
        const bool taken = semaphoreWait(semaphore, timeoutMs);
        wait.leave();
        return taken;
    }
    // Waits on the semaphore and the thread's cancel event together; when both are signalled the
    // semaphore (the lower index) wins, and leave() then acts on the cancel.
    const HANDLE both[2] = {semaphore->handle, cancel};
    constexpr long long kLongestWait = 0x7FFFFFFFLL;
    DWORD rc = WAIT_TIMEOUT;
    for (;;) {
        const long long slice = timeoutMs < 0
                                    ? static_cast<long long>(INFINITE)
                                    : (timeoutMs < kLongestWait ? timeoutMs : kLongestWait);
        rc = WaitForMultipleObjects(2, both, FALSE, static_cast<DWORD>(slice));
        if (rc == WAIT_OBJECT_0 + 1) {
            wait.cancelNow();
        }
        if (rc != WAIT_TIMEOUT || timeoutMs < 0) {
            break;
        }
        timeoutMs -= slice;
        if (timeoutMs <= 0) {
            break;
        }
    }
    wait.leave();
    return rc == WAIT_OBJECT_0;
}

bool semaphorePost(Semaphore* semaphore) {
    // Fails (count unchanged) when the count would pass its maximum.
    return ReleaseSemaphore(semaphore->handle, 1, nullptr) != FALSE;
}

}  // namespace Platform
}  // namespace Tovix
