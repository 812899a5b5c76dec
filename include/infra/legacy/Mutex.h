/// @file
/// The legacy global-namespace mutex and its scoped guard, kept for older callers. New code uses
/// Tovix::Infra::CMutex and CMutexGuard.
#ifndef INFRA_LEGACY_MUTEX_H
#define INFRA_LEGACY_MUTEX_H

#include "infra/Defs.h"

struct LegacyMutexInternal;

/// A re-entrant mutex. The type argument is accepted for compatibility and has no effect: every
/// legacy mutex is re-entrant for its owning thread.
class INFRA_API CMutex {
public:
    enum Type { mutexFast = 0, mutexRecursive = 1 };

    explicit CMutex(Type type = mutexFast);
    ~CMutex();
    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;

    /// Waits without limit; true when the mutex was acquired normally. A mutex whose owning thread
    /// ended without leaving it is "abandoned": the caller receives it all the same (owning it
    /// once, so one Leave releases it; it is usable again afterwards), but false tells that what
    /// it guards may have been left half-changed. False also when the wait failed.
    bool Enter();
    /// The same without waiting: true when acquired normally at once; false when busy (not
    /// acquired) or abandoned (acquired, as for Enter).
    bool TryEnter();
    /// Releases one level of ownership; false when the caller does not own the mutex.
    bool Leave();

private:
    LegacyMutexInternal* m_internal;
};

/// Enters the mutex in its constructor and leaves it in its destructor.
class INFRA_API CGuard {
public:
    explicit CGuard(CMutex& mutex);
    ~CGuard();
    CGuard(const CGuard&) = delete;
    CGuard& operator=(const CGuard&) = delete;

private:
    CMutex& m_mutex;
};

#endif  // INFRA_LEGACY_MUTEX_H
