// Platform, the sync seam: re-entrant mutexes that report an abandoned owner, counting semaphores
// and the semaphore wait a thread cancel ends. Implemented by src/platform/posix/Sync.cpp and
// src/platform/win32/Sync.cpp. The native re-entrant lock that the library's mutexes embed is
// inline, in NativeLock.h of the chosen platform's folder (posix/, win32/), so that a lock costs
// no call beyond the one into the system. Nothing here throws; failures are results.
#ifndef INFRA_PLATFORM_SYNC_H
#define INFRA_PLATFORM_SYNC_H

namespace Tovix {
namespace Platform {

// ---- Locks ----------------------------------------------------------------------------------

// A mutex that its owner may take again (each lock needs one unlock). When its owner ends
// without unlocking it, the mutex is "abandoned": the next thread to take it receives it (with a
// nesting count of 1) and is told so.
struct RecursiveMutex;

// How taking a recursive mutex ended.
enum class LockResult {
    kAcquired,   // taken (or taken again by its owner)
    kAbandoned,  // taken from an owner that ended without unlocking; usable again from now on
    kFailed,     // not taken: busy (when not waiting) or the wait failed
};

// Null when the OS refused to create one.
RecursiveMutex* recursiveMutexCreate();
void recursiveMutexDestroy(RecursiveMutex* mutex);
// Takes the mutex, waiting for it when `wait`, else only when it is free or already the caller's.
LockResult recursiveMutexAcquire(RecursiveMutex* mutex, bool wait);
// recursiveMutexAcquire(mutex, true), an abandoned mutex counting as taken.
void recursiveMutexLock(RecursiveMutex* mutex);
// True when taken without waiting (also when the caller already owns it, or it was abandoned).
bool recursiveMutexTryLock(RecursiveMutex* mutex);
// False when the caller does not own the mutex.
bool recursiveMutexUnlock(RecursiveMutex* mutex);

// ---- Counting semaphore ---------------------------------------------------------------------

struct Semaphore;

// Null when the OS refused to create one or the counts are out of range.
Semaphore* semaphoreCreate(long initialCount, long maximumCount);
void semaphoreDestroy(Semaphore* semaphore);
// Takes one unit. timeoutMs < 0 waits without limit; 0 only tries. True when a unit was taken.
// Waiting is measured on a monotonic clock, so setting the system time does not disturb it.
bool semaphoreWait(Semaphore* semaphore, long long timeoutMs);
// The same as one of the library's blocking points: a cancel of the calling thread
// (threadCancel, platform/Thread.h) ends the thread in this wait.
bool semaphoreWaitCancellable(Semaphore* semaphore, long long timeoutMs);
// Releases one unit; false when the count would pass its maximum.
bool semaphorePost(Semaphore* semaphore);

}  // namespace Platform
}  // namespace Tovix

#endif  // INFRA_PLATFORM_SYNC_H
