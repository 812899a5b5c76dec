// The lock of the buddy pool: a short-held lock that costs no atomic instruction while one thread
// keeps using the pool.
//
// A pool operation is a handful of list updates, so even an uncontended atomic exchange costs
// as much as the operation itself. Two modes:
// - Shared: a word lock (0 free, 1 held, 2 held with waiters) taken with one compare-exchange,
//   spun on briefly when held, then waited on through the platform's address wait.
// - Owned: after a long enough run of acquisitions by one thread with nobody else in between,
//   that thread becomes the owner and enters with plain stores: it raises its "inside" flag and
//   checks that it is still the owner. Another thread first takes the word lock, withdraws the
//   ownership, runs a barrier on every thread of the process (so the owner's flag and its check
//   are seen in order) and waits until the owner is out. A withdrawal costs microseconds, so the
//   run needed for ownership doubles after each one.
// The critical sections never call out and never block, so spinning on them stays short.
#ifndef INFRA_SRC_MEMORY_POOLLOCK_H
#define INFRA_SRC_MEMORY_POOLLOCK_H

#include <atomic>
#include <cstdint>

namespace Tovix {
namespace Memory {
namespace Detail {

// The thread's number, 0 until poolThreadToken() first runs on it. Initial-exec where the
// object format has it: a thread-pointer-relative load instead of a call per lookup.
#if defined(__ELF__) && (defined(__GNUC__) || defined(__clang__))
#define INFRA_POOL_TLS_MODEL __attribute__((tls_model("initial-exec")))
#else
#define INFRA_POOL_TLS_MODEL
#endif
extern thread_local std::uintptr_t g_poolThreadToken INFRA_POOL_TLS_MODEL;

// Numbers a thread on first use.
std::uintptr_t assignPoolThreadToken();

// A number for the calling thread, never 0 and never given to another thread.
inline std::uintptr_t poolThreadToken() {
    const std::uintptr_t token = g_poolThreadToken;
    return token != 0 ? token : assignPoolThreadToken();
}

class PoolLock {
public:
    // A thread comes to own the lock after `firstRun` acquisitions in a row; each withdrawal
    // doubles that, up to `longestRun`. Where the platform has no process-wide barrier, no
    // thread ever does.
    explicit PoolLock(std::uint32_t firstRun = 1024, std::uint32_t longestRun = 1u << 20);
    PoolLock(const PoolLock&) = delete;
    PoolLock& operator=(const PoolLock&) = delete;

    // Returns how the lock was taken; pass the result to unlock().
    bool lock() {
        const std::uintptr_t self = poolThreadToken();
        if (m_owner.load(std::memory_order_relaxed) == self) {
            m_ownerInside.store(1, std::memory_order_relaxed);
            // Only the compiler needs telling: a withdrawing thread makes this thread's store
            // and the load below visible in order with its process-wide barrier.
            std::atomic_signal_fence(std::memory_order_seq_cst);
            if (m_owner.load(std::memory_order_relaxed) == self) {
                return true;
            }
            m_ownerInside.store(0, std::memory_order_release);
        }
        int expected = 0;
        if (!m_word.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
            lockSlow();
        }
        afterShared(self);
        return false;
    }

    void unlock(bool owned) {
        if (owned) {
            m_ownerInside.store(0, std::memory_order_release);
            return;
        }
        if (m_word.exchange(0, std::memory_order_release) == 2) {
            wakeWaiter();
        }
    }

private:
    void lockSlow();
    void wakeWaiter();
    // Called with the word lock held: withdraws another thread's ownership, or counts this
    // thread's run and makes it the owner once the run is long enough.
    void afterShared(std::uintptr_t self) {
        if (m_owner.load(std::memory_order_relaxed) != 0) {
            withdraw();
        } else if (m_last == self) {
            if (++m_run >= m_runNeeded && m_ownable) {
                m_owner.store(self, std::memory_order_relaxed);
            }
        } else {
            m_last = self;
            m_run = 0;
        }
    }
    void withdraw();

    std::atomic<int> m_word;
    std::atomic<std::uintptr_t> m_owner;
    std::atomic<int> m_ownerInside;
    // Guarded by m_word.
    std::uintptr_t m_last;
    std::uint32_t m_run;
    std::uint32_t m_runNeeded;
    const std::uint32_t m_longestRun;
    const bool m_ownable;
};

// Holds a PoolLock for a scope.
class PoolGuard {
public:
    explicit PoolGuard(PoolLock& lock) : m_lock(lock), m_owned(lock.lock()) {}
    ~PoolGuard() { m_lock.unlock(m_owned); }
    PoolGuard(const PoolGuard&) = delete;
    PoolGuard& operator=(const PoolGuard&) = delete;

private:
    PoolLock& m_lock;
    const bool m_owned;
};

}  // namespace Detail
}  // namespace Memory
}  // namespace Tovix

#endif  // INFRA_SRC_MEMORY_POOLLOCK_H
