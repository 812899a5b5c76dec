// The legacy global mutex and guard: a re-entrant platform lock.
#include "infra/legacy/Mutex.h"

#include <atomic>

#include "infra/Assert.h"
#include "platform/Platform.h"

// The owner and its nesting count are kept here, so that a Leave by a thread that does not own
// the mutex fails (as releasing a kernel mutex one does not own does) without touching the lock.
// Only the owner writes them; the owner test is exact because only the owner finds its own id.
struct LegacyMutexInternal {
    Tovix::Platform::RecursiveMutex* m_handle;
    std::atomic<int> owner;
    unsigned int count;
};

CMutex::CMutex(Type /*type*/)
    : m_internal(new LegacyMutexInternal{Tovix::Platform::recursiveMutexCreate(), {0}, 0}) {
    INFRA_ASSERT(m_internal->m_handle);
}

CMutex::~CMutex() {
    Tovix::Platform::recursiveMutexDestroy(m_internal->m_handle);
    delete m_internal;
    m_internal = nullptr;
}

bool CMutex::Enter() {
    INFRA_ASSERT(m_internal->m_handle);
    Tovix::Platform::recursiveMutexLock(m_internal->m_handle);
    m_internal->owner.store(Tovix::Platform::currentThreadId(), std::memory_order_relaxed);
    ++m_internal->count;
    return true;
}

bool CMutex::TryEnter() {
    INFRA_ASSERT(m_internal->m_handle);
    if (!Tovix::Platform::recursiveMutexTryLock(m_internal->m_handle)) {
        return false;
    }
    m_internal->owner.store(Tovix::Platform::currentThreadId(), std::memory_order_relaxed);
    ++m_internal->count;
    return true;
}

bool CMutex::Leave() {
    INFRA_ASSERT(m_internal->m_handle);
    if (m_internal->owner.load(std::memory_order_relaxed) != Tovix::Platform::currentThreadId()) {
        return false;
    }
    if (--m_internal->count == 0) {
        m_internal->owner.store(0, std::memory_order_relaxed);
    }
    return Tovix::Platform::recursiveMutexUnlock(m_internal->m_handle);
}

CGuard::CGuard(CMutex& mutex) : m_mutex(mutex) {
    m_mutex.Enter();
}

CGuard::~CGuard() {
    m_mutex.Leave();
}
