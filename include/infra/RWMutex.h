/// @file
/// The read-write mutex: many readers or one writer.
#ifndef INFRA_RWMUTEX_H
#define INFRA_RWMUTEX_H

#include "infra/Defs.h"

namespace Tovix {
namespace Infra {

struct RWMutexInternal;

/// Lets many readers or one writer hold the lock, with one of two strategies chosen at
/// construction:
///
/// priorityDefault: readers pass a mutex and count themselves in; a writer takes that mutex,
///   which stops new readers, and then yields the processor in a loop until the readers already
///   inside have left. A writer that is only waiting never holds readers up that are inside.
///
/// priorityWriter: a waiting writer stops new readers, even while the lock is in read mode.
///   When the last reader or a writer leaves and writers wait, the lock passes directly to one
///   of them (it never becomes free in between); when a writer leaves and no writer waits, all
///   waiting readers are released together.
///
/// Holds are not re-entrant: a thread holding the write hold must not ask for another hold, and
/// a reader must not ask for the write hold before leaving. The write hold is left by the thread
/// that took it. Up to 65535 readers hold the lock at once in the writer-priority strategy;
/// further readers wait until one leaves. The object must not be destroyed while held.
class INFRA_CAPABILITY("mutex") INFRA_API CReadWriteMutex {
public:
    enum RWPriority : int {
        priorityDefault = 0,
        priorityWriter = 1,
    };

    /// priorityDefault.
    CReadWriteMutex();
    /// A value other than priorityDefault or priorityWriter logs a warning and selects
    /// priorityDefault.
    explicit CReadWriteMutex(RWPriority priority);
    /// Logs an error when the lock is still held (default strategy).
    ~CReadWriteMutex();
    CReadWriteMutex(const CReadWriteMutex&) = delete;
    CReadWriteMutex& operator=(const CReadWriteMutex&) = delete;

    /// Blocks until a read hold is obtained. Always true.
    bool enterReading() INFRA_ACQUIRE_SHARED();
    /// Blocks until the write hold is obtained. Always true.
    bool enterWriting() INFRA_ACQUIRE();
    /// Releases the caller's read or write hold. False when the lock is free (the default
    /// strategy also logs "No lock, maybe err"); in the default strategy also false, with the
    /// same message, when only a writer on another thread holds the lock.
    bool leave() INFRA_RELEASE_GENERIC();

    /// The standard's names, so that std::lock_guard and std::unique_lock take the write hold
    /// and std::shared_lock a read hold: lock = enterWriting, lock_shared = enterReading, and
    /// unlock / unlock_shared = leave.
    void lock() INFRA_ACQUIRE() { enterWriting(); }
    void unlock() INFRA_RELEASE() { leave(); }
    void lock_shared() INFRA_ACQUIRE_SHARED() { enterReading(); }
    void unlock_shared() INFRA_RELEASE_SHARED() { leave(); }

private:
    RWMutexInternal* m_internal;
};

}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_RWMUTEX_H
