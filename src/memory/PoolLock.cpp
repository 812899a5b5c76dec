// Memory, the buddy pool's lock: its waits, the withdrawal of ownership, and thread tokens.
#include "memory/PoolLock.h"

#include <thread>

#include "platform/AddressWait.h"

namespace Tovix {
namespace Memory {
namespace Detail {

namespace {

// Spins on a held word before waiting; a holder is out within a few hundred cycles unless it
// was preempted.
constexpr int kSpins = 100;

inline void cpuRelax() {
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
    __builtin_ia32_pause();
#elif (defined(__GNUC__) || defined(__clang__)) && defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

std::atomic<std::uintptr_t> g_nextToken{1};

}  // namespace

// Numbers are never reused: a thread that ends leaves nothing another thread could take over.
thread_local std::uintptr_t g_poolThreadToken INFRA_POOL_TLS_MODEL = 0;

std::uintptr_t assignPoolThreadToken() {
    g_poolThreadToken = g_nextToken.fetch_add(1, std::memory_order_relaxed);
    return g_poolThreadToken;
}

PoolLock::PoolLock(std::uint32_t firstRun, std::uint32_t longestRun)
    : m_word(0),
      m_owner(0),
      m_ownerEntries(0),
      m_asked(0),
      m_inside{},
      m_stale{},
      m_staleCount(0),
      m_last(0),
      m_run(0),
      m_runNeeded(firstRun),
      m_firstRun(firstRun),
      m_longestRun(longestRun),
      m_ownable(Platform::processWideBarrierAvailable()) {}

void PoolLock::lockSlow() {
    for (int i = 0; i < kSpins; ++i) {
        cpuRelax();
        int expected = 0;
        if (m_word.load(std::memory_order_relaxed) == 0 &&
            m_word.compare_exchange_weak(expected, 1, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
            return;
        }
    }
    // 2 tells the holder that someone waits and needs waking.
    while (m_word.exchange(2, std::memory_order_acquire) != 0) {
        Platform::addressWait(&m_word, 2);
    }
}

void PoolLock::wakeWaiter() {
    Platform::addressWakeOne(&m_word);
}

void PoolLock::handOver(std::uintptr_t self) {
    // Outside any critical section. A compare-exchange: the ownership may have been withdrawn
    // meanwhile and given to another thread, whose ownership must stay.
    std::uintptr_t expected = self;
    m_owner.compare_exchange_strong(expected, 0, std::memory_order_release,
                                    std::memory_order_relaxed);
}

void PoolLock::takeOver(std::uintptr_t self, std::uintptr_t owner) {
    m_asked.store(1, std::memory_order_relaxed);
    std::uint32_t seen = m_ownerEntries.load(std::memory_order_relaxed);
    bool handedOver = false;
    for (;;) {
        for (int i = 0; i < kSpins && !handedOver; ++i) {
            // Only the owner changes the ownership while the word lock is held here.
            handedOver = m_owner.load(std::memory_order_acquire) != owner;
            cpuRelax();
        }
        const std::uint32_t now = m_ownerEntries.load(std::memory_order_relaxed);
        if (handedOver || now == seen) {
            break;
        }
        seen = now;
    }
    m_asked.store(0, std::memory_order_relaxed);
    if (handedOver) {
        // The owner's release above orders its critical sections before this thread's.
        becomeOwner(self);
        if (m_runNeeded > m_firstRun) {
            m_runNeeded /= 2;
        }
        return;
    }
    // The owner made no entry for a while: withdraw. After the barrier the owner either sees
    // that it no longer owns the lock, or its "inside" flag is visible here.
    m_owner.store(0, std::memory_order_relaxed);
    Platform::processWideBarrier();
    std::atomic<unsigned char>& inside = m_inside[slotOf(owner)];
    if (inside.load(std::memory_order_acquire) == 0) {
        // Out, or about to enter and bound to find itself withdrawn: until it has been through
        // the word lock, its slot makes no new owner.
        std::uint32_t& stale = m_stale[slotOf(owner)];
        if (stale == 0) {
            stale = staleMark(owner);
            ++m_staleCount;
        } else if (stale != staleMark(owner)) {
            // Two such owners share the slot: it stays closed for good.
            stale = kClosedForGood;
        }
    }
    for (int i = 0; inside.load(std::memory_order_acquire) != 0; ++i) {
        if (i < kSpins) {
            cpuRelax();
        } else {
            std::this_thread::yield();
        }
    }
    // The owner is out: its count of entries is final.
    if (m_ownerEntries.load(std::memory_order_relaxed) < kTurn && m_runNeeded < m_longestRun) {
        m_runNeeded = m_runNeeded > m_longestRun / 2 ? m_longestRun : m_runNeeded * 2;
    }
    m_last = 0;
    m_run = 0;
}

}  // namespace Detail
}  // namespace Memory
}  // namespace Tovix
