// Platform, POSIX sync: robust re-entrant mutexes, and semaphores over a mutex and a condition
// variable on the monotonic clock.
#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <new>

#include "platform/Sync.h"
#include "platform/Thread.h"

namespace Tovix {
namespace Platform {

// Robust, so that a mutex whose owner ended without unlocking it is handed to the next thread
// (EOWNERDEAD) instead of staying locked for good.
struct RecursiveMutex {
    pthread_mutex_t mutex;
};

RecursiveMutex* recursiveMutexCreate() {
    RecursiveMutex* m = new (std::nothrow) RecursiveMutex;
    if (m == nullptr) {
        return nullptr;
    }
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) {
        delete m;
        return nullptr;
    }
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    const int rc = pthread_mutex_init(&m->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
        delete m;
        return nullptr;
    }
    return m;
}

void recursiveMutexDestroy(RecursiveMutex* mutex) {
    if (mutex != nullptr) {
        pthread_mutex_destroy(&mutex->mutex);
        delete mutex;
    }
}

LockResult recursiveMutexAcquire(RecursiveMutex* mutex, bool wait) {
    const int rc = wait ? pthread_mutex_lock(&mutex->mutex) : pthread_mutex_trylock(&mutex->mutex);
    if (rc == 0) {
        return LockResult::kAcquired;
    }
    if (rc == EOWNERDEAD) {
        // Unless marked consistent before its unlock, the mutex could never be taken again.
        pthread_mutex_consistent(&mutex->mutex);
        return LockResult::kAbandoned;
    }
    return LockResult::kFailed;
}

void recursiveMutexLock(RecursiveMutex* mutex) {
    (void)recursiveMutexAcquire(mutex, true);
}

bool recursiveMutexTryLock(RecursiveMutex* mutex) {
    return recursiveMutexAcquire(mutex, false) != LockResult::kFailed;
}

bool recursiveMutexUnlock(RecursiveMutex* mutex) {
    return pthread_mutex_unlock(&mutex->mutex) == 0;
}

// A counting semaphore over a mutex and a condition variable on the monotonic clock:
// sem_timedwait would follow the settable real-time clock.
struct Semaphore {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    long count;
    long maximum;
    long waiters;
};

Semaphore* semaphoreCreate(long initialCount, long maximumCount) {
    if (initialCount < 0 || maximumCount <= 0 || initialCount > maximumCount) {
        return nullptr;
    }
    Semaphore* s = new (std::nothrow) Semaphore;
    if (s == nullptr) {
        return nullptr;
    }
    s->count = initialCount;
    s->maximum = maximumCount;
    s->waiters = 0;
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    const int rcCond = pthread_cond_init(&s->cond, &attr);
    pthread_condattr_destroy(&attr);
    if (rcCond != 0) {
        delete s;
        return nullptr;
    }
    if (pthread_mutex_init(&s->mutex, nullptr) != 0) {
        pthread_cond_destroy(&s->cond);
        delete s;
        return nullptr;
    }
    return s;
}

void semaphoreDestroy(Semaphore* semaphore) {
    if (semaphore != nullptr) {
        pthread_cond_destroy(&semaphore->cond);
        pthread_mutex_destroy(&semaphore->mutex);
        delete semaphore;
    }
}

namespace {

// Undoes a waiter's marks when a cancel unwinds its condition wait (which has retaken the mutex).
struct WaiterUnwind {
    Semaphore* semaphore;
    bool waiting;
    ~WaiterUnwind() {
        if (waiting) {
            --semaphore->waiters;
            pthread_mutex_unlock(&semaphore->mutex);
        }
    }
};

}  // namespace

bool semaphoreWait(Semaphore* s, long long timeoutMs) {
    pthread_mutex_lock(&s->mutex);
    if (s->count == 0 && timeoutMs != 0) {
        timespec deadline{};
        if (timeoutMs > 0) {
            clock_gettime(CLOCK_MONOTONIC, &deadline);
            deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
            deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
            if (deadline.tv_nsec >= 1000000000L) {
                deadline.tv_sec += 1;
                deadline.tv_nsec -= 1000000000L;
            }
        }
        ++s->waiters;
        WaiterUnwind unwind{s, true};
        while (s->count == 0) {
            if (timeoutMs < 0) {
                pthread_cond_wait(&s->cond, &s->mutex);
            } else if (pthread_cond_timedwait(&s->cond, &s->mutex, &deadline) == ETIMEDOUT) {
                break;
            }
        }
        unwind.waiting = false;
        --s->waiters;
    }
    const bool taken = s->count > 0;
    if (taken) {
        --s->count;
    }
    pthread_mutex_unlock(&s->mutex);
    return taken;
}

bool semaphoreWaitCancellable(Semaphore* s, long long timeoutMs) {
    CancellableWait wait;
    const bool taken = semaphoreWait(s, timeoutMs);
    wait.leave();
    return taken;
}

bool semaphorePost(Semaphore* s) {
    pthread_mutex_lock(&s->mutex);
    const bool ok = s->count < s->maximum;
    if (ok) {
        ++s->count;
        if (s->waiters > 0) {
            pthread_cond_signal(&s->cond);
        }
    }
    pthread_mutex_unlock(&s->mutex);
    return ok;
}

}  // namespace Platform
}  // namespace Tovix
