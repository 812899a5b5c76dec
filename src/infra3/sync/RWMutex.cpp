// Sync: the read-write mutex and its two strategies.
#include "infra/RWMutex.h"

#include <atomic>
#include <new>

#include "infra/Assert.h"
#include "infra3/core/Diagnostics.h"
#include "platform/Event.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

namespace Tovix {
namespace Infra {

namespace {

// Writer-priority state: 0 free, 1..kMaxReaders active readers, kWriterHeld a writer.
constexpr unsigned int kWriterHeld = 0x10000u;
constexpr unsigned int kMaxReaders = 0xFFFFu;

}  // namespace

struct RWMutexInternal {
    CReadWriteMutex::RWPriority priority;

    // Default strategy. The reader count is changed outside guard A by leaving readers, the
    // writer flag is read by any thread calling leave(), so both are atomic.
    std::atomic<int> readers{0};
    std::atomic<int> writer{0};
    Platform::RecursiveMutex* guardA = nullptr;
    // The thread holding the write hold, so that leave() from another thread cannot release it.
    std::atomic<int> writerThread{0};

    // Writer-priority strategy; the counters and the state change only under guard B.
    unsigned int waitingWriters = 0;
    unsigned int waitingReaders = 0;
    unsigned int state = 0;
    Platform::ManualResetEvent* readerEvent = nullptr;
    Platform::Semaphore* writerSemaphore = nullptr;
    Platform::RecursiveMutex* guardB = nullptr;
};

CReadWriteMutex::CReadWriteMutex() : CReadWriteMutex(priorityDefault) {}

CReadWriteMutex::CReadWriteMutex(RWPriority priority)
    : m_internal(new (std::nothrow) RWMutexInternal) {
    INFRA_ASSERT_TEXT(m_internal != nullptr, "m_internal");
    if (priority != priorityDefault && priority != priorityWriter) {
        INFRA_DIAG_THIS(Detail::kLevelWarn,
                        "Input rwpriority level error, priorityDefault used!\n");
        priority = priorityDefault;
    }
    m_internal->priority = priority;
    if (priority == priorityDefault) {
        m_internal->guardA = Platform::recursiveMutexCreate();
        INFRA_ASSERT_TEXT(m_internal->guardA != nullptr, "m_internal->guardA");
    } else {
        m_internal->readerEvent = Platform::manualResetEventCreate();
        INFRA_ASSERT_TEXT(m_internal->readerEvent != nullptr, "m_internal->readerEvent");
        m_internal->writerSemaphore = Platform::semaphoreCreate(0, 1);
        INFRA_ASSERT_TEXT(m_internal->writerSemaphore != nullptr, "m_internal->writerSemaphore");
        m_internal->guardB = Platform::recursiveMutexCreate();
        INFRA_ASSERT_TEXT(m_internal->guardB != nullptr, "m_internal->guardB");
    }
}

CReadWriteMutex::~CReadWriteMutex() {
    RWMutexInternal& s = *m_internal;
    if (s.priority == priorityDefault) {
        const int readers = s.readers.load(std::memory_order_acquire);
        if (readers > 0) {
            INFRA_DIAG_PLAIN(Detail::kLevelError, "has lock Read count(%d), maybe err\n", readers);
        }
        if (s.writer.load(std::memory_order_acquire) == 1) {
            INFRA_DIAG_PLAIN(Detail::kLevelError, "has lock write, maybe err\n");
            Platform::recursiveMutexUnlock(s.guardA);
        }
        Platform::recursiveMutexDestroy(s.guardA);
    } else {
        Platform::manualResetEventDestroy(s.readerEvent);
        Platform::semaphoreDestroy(s.writerSemaphore);
        Platform::recursiveMutexDestroy(s.guardB);
    }
    delete m_internal;
    m_internal = nullptr;
}

bool CReadWriteMutex::enterReading() {
    RWMutexInternal& s = *m_internal;
    if (s.priority == priorityDefault) {
        Platform::recursiveMutexLock(s.guardA);
        s.readers.fetch_add(1, std::memory_order_acq_rel);
        Platform::recursiveMutexUnlock(s.guardA);
        return true;
    }

    Platform::recursiveMutexLock(s.guardB);
    if (s.waitingWriters == 0 && s.state < kMaxReaders) {
        ++s.state;
        const bool releaseReaders = s.state == 1 && s.waitingReaders > 0;
        Platform::recursiveMutexUnlock(s.guardB);
        if (releaseReaders) {
            Platform::manualResetEventSet(s.readerEvent);
        }
        return true;
    }
    ++s.waitingReaders;
    for (;;) {
        Platform::manualResetEventReset(s.readerEvent);
        Platform::recursiveMutexUnlock(s.guardB);
        Platform::manualResetEventWait(s.readerEvent);
        Platform::recursiveMutexLock(s.guardB);
        if (s.waitingWriters == 0 && s.state < kMaxReaders) {
            break;
        }
    }
    --s.waitingReaders;
    ++s.state;
    Platform::recursiveMutexUnlock(s.guardB);
    return true;
}

bool CReadWriteMutex::enterWriting() {
    RWMutexInternal& s = *m_internal;
    if (s.priority == priorityDefault) {
        Platform::recursiveMutexLock(s.guardA);
        // New readers stop at guard A; only those already inside are waited for.
        while (s.readers.load(std::memory_order_acquire) >= 1) {
            Platform::sleepMilliseconds(0);
        }
        s.writerThread.store(Platform::currentThreadId(), std::memory_order_relaxed);
        s.writer.store(1, std::memory_order_release);
        return true;
    }

    Platform::recursiveMutexLock(s.guardB);
    if (s.state == 0) {
        s.state = kWriterHeld;
        Platform::recursiveMutexUnlock(s.guardB);
        return true;
    }
    ++s.waitingWriters;
    Platform::recursiveMutexUnlock(s.guardB);
    // The leaving holder sets the state to kWriterHeld on this writer's behalf before it
    // releases the semaphore, so the lock is ours when the wait returns.
    Platform::semaphoreWait(s.writerSemaphore, -1);
    return true;
}

bool CReadWriteMutex::leave() {
    RWMutexInternal& s = *m_internal;
    if (s.priority == priorityDefault) {
        int readers = s.readers.load(std::memory_order_relaxed);
        while (readers >= 1) {
            if (s.readers.compare_exchange_weak(readers, readers - 1, std::memory_order_acq_rel,
                                                std::memory_order_relaxed)) {
                return true;
            }
        }
        if (s.writer.load(std::memory_order_acquire) == 1 &&
            s.writerThread.load(std::memory_order_relaxed) == Platform::currentThreadId()) {
            s.writerThread.store(0, std::memory_order_relaxed);
            s.writer.store(0, std::memory_order_release);
            Platform::recursiveMutexUnlock(s.guardA);
            return true;
        }
        INFRA_DIAG_PLAIN(Detail::kLevelError, "No lock, maybe err\n");
        return false;
    }

    bool releaseWriter = false;
    bool releaseReaders = false;
    Platform::recursiveMutexLock(s.guardB);
    if (s.state >= 1 && s.state <= kMaxReaders) {
        --s.state;
        if (s.state == 0) {
            Platform::manualResetEventReset(s.readerEvent);
            if (s.waitingWriters > 0) {
                --s.waitingWriters;
                s.state = kWriterHeld;
                releaseWriter = true;
            }
        } else if (s.state == kMaxReaders - 1 && s.waitingWriters == 0 && s.waitingReaders > 0) {
            // A reader held back only by the reader limit may enter now.
            releaseReaders = true;
        }
    } else if (s.state == kWriterHeld) {
        if (s.waitingWriters > 0) {
            --s.waitingWriters;
            releaseWriter = true;
        } else {
            s.state = 0;
            releaseReaders = s.waitingReaders > 0;
        }
    } else {
        Platform::recursiveMutexUnlock(s.guardB);
        return false;
    }
    Platform::recursiveMutexUnlock(s.guardB);
    if (releaseWriter) {
        Platform::semaphorePost(s.writerSemaphore);
    }
    if (releaseReaders) {
        Platform::manualResetEventSet(s.readerEvent);
    }
    return true;
}

}  // namespace Infra
}  // namespace Tovix
