// Threads, timer internals reachable by tests, benchmarks and the shutdown: the schedule, the
// due-time arithmetic, the worker-pool counters and the orderly stop.
#ifndef INFRA_SRC_INFRA3_THREAD_TIMERINTERNAL_H
#define INFRA_SRC_INFRA3_THREAD_TIMERINTERNAL_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "infra/Defs.h"

namespace Tovix {
namespace Infra {
namespace Detail {

// The schedule's order: by next time, and among equal times the most recently inserted first
// (`order` counts down with every insertion). A total order, so the schedule hands out due
// timers in exactly the order of a sorted list.
struct TimerKey {
    std::uint64_t nextTime;
    std::uint64_t order;
    bool operator<(const TimerKey& other) const {
        return nextTime != other.nextTime ? nextTime < other.nextTime : order < other.order;
    }
};

// The started timers as a 4-ary min-heap over TimerKey in one array. Every item knows its place
// (`Item::slot`, kNowhere while outside), so any item is removed in O(log n). Compared with a
// node-based search tree the array keeps a large schedule in few cache lines: an insertion or
// removal touches a handful of entries instead of a pointer chain through a tree's height.
// Not thread-safe (the timer manager guards it with its mutex).
template <class Item>
class TTimerHeap {
public:
    static constexpr std::size_t kNowhere = ~static_cast<std::size_t>(0);

    struct Entry {
        TimerKey key;
        Item* item;
    };

    bool empty() const { return m_heap.empty(); }
    std::size_t size() const { return m_heap.size(); }
    // The earliest entry; the heap must not be empty.
    const Entry& head() const { return m_heap.front(); }

    // `item` must be outside the heap.
    void insert(Item* item, TimerKey key) {
        m_heap.push_back(Entry{key, item});
        siftUp(m_heap.size() - 1);
    }

    // Nothing when `item` is outside the heap.
    void remove(Item* item) {
        const std::size_t slot = item->slot;
        if (slot == kNowhere) {
            return;
        }
        item->slot = kNowhere;
        const Entry last = m_heap.back();
        m_heap.pop_back();
        if (slot == m_heap.size()) {
            return;  // it was the last entry
        }
        place(slot, last);
        if (slot > 0 && last.key < m_heap[(slot - 1) / kArity].key) {
            siftUp(slot);
        } else {
            siftDown(slot);
        }
    }

    // All entries in order (for the timer table).
    std::vector<Entry> sorted() const {
        std::vector<Entry> entries(m_heap);
        std::sort(entries.begin(), entries.end(),
                  [](const Entry& a, const Entry& b) { return a.key < b.key; });
        return entries;
    }

private:
    static constexpr std::size_t kArity = 4;

    void place(std::size_t slot, const Entry& entry) {
        m_heap[slot] = entry;
        entry.item->slot = slot;
    }

    void siftUp(std::size_t slot) {
        const Entry entry = m_heap[slot];
        while (slot > 0) {
            const std::size_t parent = (slot - 1) / kArity;
            if (!(entry.key < m_heap[parent].key)) {
                break;
            }
            place(slot, m_heap[parent]);
            slot = parent;
        }
        place(slot, entry);
    }

    void siftDown(std::size_t slot) {
        const Entry entry = m_heap[slot];
        const std::size_t size = m_heap.size();
        while (true) {
            const std::size_t first = slot * kArity + 1;
            if (first >= size) {
                break;
            }
            std::size_t least = first;
            for (std::size_t child = first + 1; child < first + kArity && child < size; ++child) {
                if (m_heap[child].key < m_heap[least].key) {
                    least = child;
                }
            }
            if (!(m_heap[least].key < entry.key)) {
                break;
            }
            place(slot, m_heap[least]);
            slot = least;
        }
        place(slot, entry);
    }

    std::vector<Entry> m_heap;
};

// The next due time of a periodic timer that was due at `next`, dispatched at clock `now`:
// `next` advanced by whole periods to the first value after `now` (missed periods are skipped,
// the phase is kept). `period` must not be 0.
INFRA_API std::uint64_t nextDueTime(std::uint64_t next, std::uint32_t period, std::uint64_t now);

// Counters of the worker pool since the process started.
struct TimerPoolStatistics {
    std::uint64_t workersCreated;  // workers started
    std::uint64_t workersEnded;    // workers ended by the idle limit
    int idleWorkers;               // in the idle pool now
    int busyWorkers;               // out of the pool now (running or about to run a callback)
    int peakBusyWorkers;           // most workers ever out of the pool at once
    std::uint64_t dispatched;      // callbacks handed to workers
    std::uint64_t dropped;         // firings dropped because the previous callback still ran
};

INFRA_API TimerPoolStatistics timerPoolStatistics();

// Stops every timer for good (no dispatch any more; CTimer::start then returns false), ends the
// manager thread and the idle workers, and waits up to `waitMilliseconds` for the callbacks
// still running (not the caller's own). True when none was left running. A later call only
// reports whether a callback still runs.
INFRA_API bool shutdownTimers(unsigned int waitMilliseconds);

// Whether a timer callback runs now, other than the caller's own.
INFRA_API bool timerCallbacksRunning();

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SRC_INFRA3_THREAD_TIMERINTERNAL_H
