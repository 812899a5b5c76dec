/// @file
/// Mutexes and their scoped guards.
///
/// Both mutexes are re-entrant for their owner: every enter() needs one leave(). Objects are not
/// copied. All operations may be called from any thread; leaving a mutex the caller does not own
/// is a caller error and is not reported.
#ifndef INFRA_MUTEX_H
#define INFRA_MUTEX_H

#include "infra/Defs.h"

namespace Tovix {
namespace Infra {

struct MutexInternal;
struct RecursiveMutexInternal;

/// A re-entrant mutex over one operating-system lock.
class INFRA_CAPABILITY("mutex") INFRA_API CMutex {
public:
    CMutex();
    ~CMutex();
    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;

    /// Blocks until the mutex is owned. Always true.
    bool enter() INFRA_ACQUIRE();
    /// True when the mutex was taken without waiting (or the caller already owns it); false when
    /// another thread owns it.
    bool tryEnter() INFRA_TRY_ACQUIRE(true);
    /// Releases one level of ownership. Always true.
    bool leave() INFRA_RELEASE();

    /// The standard's Lockable names (enter, tryEnter, leave), so that std::lock_guard,
    /// std::unique_lock and std::scoped_lock work with this mutex.
    void lock() INFRA_ACQUIRE() { enter(); }
    bool try_lock() INFRA_TRY_ACQUIRE(true) { return tryEnter(); }
    void unlock() INFRA_RELEASE() { leave(); }

private:
    MutexInternal* m_internal;
};

/// A mutex that counts its owner's nested enters itself: a nested enter() costs no lock
/// operation. Only the owning thread may call leave().
class INFRA_CAPABILITY("mutex") INFRA_API CRecursiveMutex {
public:
    CRecursiveMutex();
    ~CRecursiveMutex();
    CRecursiveMutex(const CRecursiveMutex&) = delete;
    CRecursiveMutex& operator=(const CRecursiveMutex&) = delete;

    /// Increments the count when the caller owns the mutex, else waits for it. Always true.
    bool enter() INFRA_ACQUIRE();
    /// Decrements the count; releases the mutex when it reaches 0. Always true.
    bool leave() INFRA_RELEASE();

    /// The standard's BasicLockable names (enter, leave), for std::lock_guard and
    /// std::unique_lock.
    void lock() INFRA_ACQUIRE() { enter(); }
    void unlock() INFRA_RELEASE() { leave(); }

private:
    RecursiveMutexInternal* m_internal;
};

/// Holds a lock for one scope: enter() in the constructor, leave() in the destructor.
template <class Lock>
class INFRA_SCOPED_CAPABILITY TScopedGuard {
public:
    explicit TScopedGuard(Lock& lock) INFRA_ACQUIRE(lock) : m_lock(lock) { m_lock.enter(); }
    ~TScopedGuard() INFRA_RELEASE() { m_lock.leave(); }
    TScopedGuard(const TScopedGuard&) = delete;
    TScopedGuard& operator=(const TScopedGuard&) = delete;

private:
    Lock& m_lock;
};

typedef TScopedGuard<CMutex> CMutexGuard;
typedef TScopedGuard<CRecursiveMutex> CRecursiveMutexGuard;

}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_MUTEX_H
