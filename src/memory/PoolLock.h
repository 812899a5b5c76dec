// Memory, the lock of the buddy pool: a short-held lock that costs no atomic instruction while
// one thread keeps using the pool, and that passes the pool between busy threads in turns.
//
// A pool operation is a handful of list updates, so even an uncontended atomic exchange costs
// as much as the operation itself, and a lock taken by threads on different processors in turn
// moves the pool's memory between them at every operation. Two modes:
// - Shared: a word lock (0 free, 1 held, 2 held with waiters) taken with one compare-exchange,
//   spun on briefly when held, then waited on through the platform's address wait.
// - Owned: one thread, the owner, enters with plain stores: it raises the "inside" flag of its
//   slot and checks that it still owns the lock. A thread becomes the owner after a long enough
//   run of acquisitions with nobody else in between, or at once when it had to wait for the word
//   lock: threads taking turns cost less than threads taking every operation in turn.
// Any other thread takes the word lock and asks for the turn. A busy owner hands the lock over
// at its next entry once it has had kTurn entries, and the asking thread becomes the owner. An
// owner that makes no progress (idle, or preempted) has its ownership withdrawn instead: the
// asking thread runs a barrier on every thread of the process, so that the owner's flag and its
// check are seen in order, and waits until the owner is out. A withdrawal costs microseconds:
// when it ends an ownership of fewer than kTurn entries, the run needed for ownership doubles
// (and above twice the first run, waiting no longer makes a thread the owner); a hand-over
// halves it again.
// The critical sections never call out and never block, so spinning on them stays short.
#ifndef INFRA_SRC_MEMORY_POOLLOCK_H
#define INFRA_SRC_MEMORY_POOLLOCK_H

#include <atomic>
#include <cstdint>

namespace Tovix {
namespace Memory {
namespace Detail {

// Initial-exec where the object format has it: a thread-pointer-relative load instead of a call
// per lookup.
#if defined(__ELF__) && (defined(__GNUC__) || defined(__clang__))
#define INFRA_POOL_TLS_MODEL __attribute__((tls_model("initial-exec")))
#else
#define INFRA_POOL_TLS_MODEL
#endif
// The common paths of lock and unlock belong inside the pool's operations.
#if defined(__GNUC__) || defined(__clang__)
#define INFRA_POOL_INLINE inline __attribute__((always_inline))
#else
#define INFRA_POOL_INLINE inline
#endif

// The thread's number, 0 until poolThreadToken() first runs on it.
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
    // A thread comes to own the lock after `firstRun` acquisitions in a row (see above for how
    // that changes, between `firstRun` and `longestRun`). Where the platform has no process-wide
    // barrier, no thread ever does.
    explicit PoolLock(std::uint32_t firstRun = 1024, std::uint32_t longestRun = 1u << 20);
    PoolLock(const PoolLock&) = delete;
    PoolLock& operator=(const PoolLock&) = delete;

    // Entries an owner makes before it hands the lock to a thread asking for it.
    static constexpr std::uint32_t kTurn = 512;
    // What lock() returns when it took the word lock.
    static constexpr int kShared = -1;

    // Returns how the lock was taken (the owner's flag slot, or kShared); pass it to unlock().
    INFRA_POOL_INLINE int lock() {
        const std::uintptr_t self = poolThreadToken();
        if (m_owner.load(std::memory_order_relaxed) == self) {
            // Written only by the owner; read by a thread waiting for its turn.
            const std::uint32_t entries = m_ownerEntries.load(std::memory_order_relaxed) + 1;
            if (entries < kTurn || m_asked.load(std::memory_order_relaxed) == 0) {
                const int slot = slotOf(self);
                m_ownerEntries.store(entries, std::memory_order_relaxed);
                m_inside[slot].store(1, std::memory_order_relaxed);
                // Only the compiler needs telling: a withdrawing thread makes this thread's
                // store and the load below visible in order with its process-wide barrier.
                std::atomic_signal_fence(std::memory_order_seq_cst);
                if (m_owner.load(std::memory_order_relaxed) == self) {
                    return slot;
                }
                m_inside[slot].store(0, std::memory_order_release);
            } else {
                handOver(self);
            }
        }
        int expected = 0;
        const bool waited = !m_word.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                                            std::memory_order_relaxed);
        if (waited) {
            lockSlow();
        }
        afterShared(self, waited);
        return kShared;
    }

    INFRA_POOL_INLINE void unlock(int taken) {
        if (taken != kShared) {
            m_inside[taken].store(0, std::memory_order_release);
            return;
        }
        if (m_word.exchange(0, std::memory_order_release) == 2) {
            wakeWaiter();
        }
    }

private:
    void lockSlow();
    void wakeWaiter();
    // Called with the word lock held: takes over or withdraws another thread's ownership, or
    // makes this thread the owner after it had to wait or once its run is long enough.
    void afterShared(std::uintptr_t self, bool waited) {
        if (m_staleCount != 0 && m_stale[slotOf(self)] == staleMark(self)) {
            // This thread is past any owned entry it may have begun before its withdrawal.
            m_stale[slotOf(self)] = 0;
            --m_staleCount;
        }
        const std::uintptr_t owner = m_owner.load(std::memory_order_relaxed);
        if (owner != 0) {
            takeOver(self, owner);
        } else if (waited && m_runNeeded <= 2 * m_firstRun) {
            becomeOwner(self);
        } else if (m_last == self) {
            if (++m_run >= m_runNeeded) {
                becomeOwner(self);
            }
        } else {
            m_last = self;
            m_run = 0;
        }
    }
    static int slotOf(std::uintptr_t token) { return static_cast<int>(token % kSlots); }
    // Never 0 nor kClosedForGood; tokens sharing a mark (2^32 apart) only keep a slot closed
    // longer.
    static std::uint32_t staleMark(std::uintptr_t token) {
        return static_cast<std::uint32_t>(token) | 1u << 31;
    }
    // Word lock held. Not while a withdrawn owner sharing the slot may still write its flag.
    void becomeOwner(std::uintptr_t self) {
        if (m_ownable && m_stale[slotOf(self)] == 0) {
            m_ownerEntries.store(0, std::memory_order_relaxed);
            m_owner.store(self, std::memory_order_relaxed);
        }
    }
    // The owner, between entries, gives up the ownership for the thread that asked.
    void handOver(std::uintptr_t self);
    // With the word lock held: waits for a busy owner's turn to end, or withdraws the ownership
    // of one that makes no progress.
    void takeOver(std::uintptr_t self, std::uintptr_t owner);

    // Owners raise the flag of their own slot (token modulo kSlots): an owner whose ownership was
    // withdrawn while it was about to enter may still raise and lower its flag once, and must
    // not lower a later owner's. A thread that ends while it owns the lock leaves its slot
    // closed, so there are many.
    static constexpr int kSlots = 4096;
    static constexpr std::uint32_t kClosedForGood = 1;

    std::atomic<int> m_word;
    std::atomic<std::uintptr_t> m_owner;
    std::atomic<std::uint32_t> m_ownerEntries;
    std::atomic<int> m_asked;
    std::atomic<unsigned char> m_inside[kSlots];
    // Guarded by m_word. m_stale: per slot, a withdrawn owner that may still be about to enter
    // (it clears its mark when it next takes the word lock).
    std::uint32_t m_stale[kSlots];
    int m_staleCount;
    std::uintptr_t m_last;
    std::uint32_t m_run;
    std::uint32_t m_runNeeded;
    const std::uint32_t m_firstRun;
    const std::uint32_t m_longestRun;
    const bool m_ownable;
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
    const int m_taken;
};

}  // namespace Detail
}  // namespace Memory
}  // namespace Tovix

#endif  // INFRA_SRC_MEMORY_POOLLOCK_H
