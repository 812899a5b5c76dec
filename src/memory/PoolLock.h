// Memory, the lock of the buddy pool: a mutex that is skipped while the process has a single
// thread.
//
// A pool operation is a handful of list updates, so an uncontended lock and unlock would cost
// as much as the operation itself. While only one thread exists nobody can observe the pool
// mid-operation, and no operation creates a thread while it holds the lock, so the lock can be
// left alone; the standard library's reference counts rely on the same fact. The C library
// clears its single-thread flag before the first thread is created, and the new thread starts
// after that store, so every thread but a lone main thread sees "several threads" and locks.
#ifndef INFRA_SRC_MEMORY_POOLLOCK_H
#define INFRA_SRC_MEMORY_POOLLOCK_H

#include <mutex>

#if defined(_GLIBCXX_RELEASE) && _GLIBCXX_RELEASE >= 11
#include <ext/atomicity.h>
#define INFRA_MEMORY_SINGLE_THREAD_QUERY 1
#endif

namespace Tovix {
namespace Memory {
namespace Detail {

// True only while the process is known to run a single thread.
inline bool processSingleThreaded() {
#if defined(INFRA_MEMORY_SINGLE_THREAD_QUERY)
    return __gnu_cxx::__is_single_threaded();
#else
    return false;
#endif
}

class PoolLock {
public:
    PoolLock() = default;
    PoolLock(const PoolLock&) = delete;
    PoolLock& operator=(const PoolLock&) = delete;

    // Returns whether the mutex was taken; pass the result to unlock().
    bool lock() {
        if (processSingleThreaded()) {
            return false;
        }
        m_mutex.lock();
        return true;
    }
    void unlock(bool taken) {
        if (taken) {
            m_mutex.unlock();
        }
    }

private:
    std::mutex m_mutex;
};

// Holds a PoolLock for a scope.
class PoolGuard {
public:
    explicit PoolGuard(PoolLock& lock) : m_lock(lock), m_taken(lock.lock()) {}
    ~PoolGuard() { m_lock.unlock(m_taken); }
    PoolGuard(const PoolGuard&) = delete;
    PoolGuard& operator=(const PoolGuard&) = delete;

private:
    PoolLock& m_lock;
    const bool m_taken;
};

}  // namespace Detail
}  // namespace Memory
}  // namespace Tovix

#endif  // INFRA_SRC_MEMORY_POOLLOCK_H
