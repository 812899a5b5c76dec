// Re-entrant mutexes over the platform lock.
#include "infra/Mutex.h"

#include <atomic>

#include "infra/Assert.h"
#include "platform/Platform.h"

namespace Tovix {
namespace Infra {

struct MutexInternal {
    Platform::RecursiveMutex* lock;
};

CMutex::CMutex() : m_internal(new MutexInternal{Platform::recursiveMutexCreate()}) {
    INFRA_ASSERT_TEXT(m_internal->lock != nullptr, "m_internal->m_handle");
}

CMutex::~CMutex() {
    Platform::recursiveMutexDestroy(m_internal->lock);
    delete m_internal;
    m_internal = nullptr;
}

bool CMutex::enter() {
    Platform::recursiveMutexLock(m_internal->lock);
    return true;
}

bool CMutex::tryEnter() {
    return Platform::recursiveMutexTryLock(m_internal->lock);
}

bool CMutex::leave() {
    Platform::recursiveMutexUnlock(m_internal->lock);
    return true;
}

// The owner field is read without the lock: only the owning thread can find its own id there,
// so the ownership test is exact. Owner and count are written only by the thread holding the
// lock.
struct RecursiveMutexInternal {
    Platform::RecursiveMutex* lock;
    unsigned int count;
    std::atomic<int> owner;
};

CRecursiveMutex::CRecursiveMutex()
    : m_internal(new RecursiveMutexInternal{Platform::recursiveMutexCreate(), 0, {0}}) {
    INFRA_ASSERT_TEXT(m_internal->lock != nullptr, "m_internal->m_handle");
}

CRecursiveMutex::~CRecursiveMutex() {
    Platform::recursiveMutexDestroy(m_internal->lock);
    delete m_internal;
    m_internal = nullptr;
}

bool CRecursiveMutex::enter() {
    const int self = Platform::currentThreadId();
    if (m_internal->owner.load(std::memory_order_relaxed) == self) {
        ++m_internal->count;
        return true;
    }
    Platform::recursiveMutexLock(m_internal->lock);
    m_internal->owner.store(self, std::memory_order_relaxed);
    m_internal->count = 1;
    return true;
}

bool CRecursiveMutex::leave() {
    if (--m_internal->count == 0) {
        m_internal->owner.store(0, std::memory_order_relaxed);
        Platform::recursiveMutexUnlock(m_internal->lock);
    }
    return true;
}

}  // namespace Infra
}  // namespace Tovix
