// Legacy, the legacy global mutex and guard: a re-entrant platform lock.
#include "infra/legacy/Mutex.h"

#include <atomic>

#include "infra/Assert.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

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

namespace {

// Records the caller as owner after a successful acquisition. An abandoned mutex comes with a
// nesting count of 1: the ended owner's levels are gone with it. Only a normal acquisition
// reports true, as a wait on a kernel mutex reports only WAIT_OBJECT_0 as success.
bool noteAcquired(LegacyMutexInternal* internal, Tovix::Platform::LockResult result) {
    if (result == Tovix::Platform::LockResult::kFailed) {
        return false;
    }
    internal->owner.store(Tovix::Platform::currentThreadId(), std::memory_order_relaxed);
    if (result == Tovix::Platform::LockResult::kAbandoned) {
        internal->count = 1;
        return false;
    }
    ++internal->count;
    return true;
}

}  // namespace

bool CMutex::Enter() {
    INFRA_ASSERT(m_internal->m_handle);
    return noteAcquired(m_internal,
                        Tovix::Platform::recursiveMutexAcquire(m_internal->m_handle, true));
}

bool CMutex::TryEnter() {
    INFRA_ASSERT(m_internal->m_handle);
    return noteAcquired(m_internal,
                        Tovix::Platform::recursiveMutexAcquire(m_internal->m_handle, false));
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
