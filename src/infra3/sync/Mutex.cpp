// Sync: re-entrant mutexes over the platform lock.
#include "infra/Mutex.h"

#include <atomic>

#include "NativeLock.h"
#include "infra/Assert.h"
#include "platform/Thread.h"

namespace Tovix {
namespace Infra {

// The native lock is embedded and called inline: enter and leave cost one call into the
// operating system's lock and nothing more.
struct MutexInternal {
    Platform::NativeLock lock;
};

CMutex::CMutex() : m_internal(new MutexInternal) {
    const bool created = Platform::nativeLockInit(&m_internal->lock);
    INFRA_ASSERT_TEXT(created, "m_internal->m_handle");
}

CMutex::~CMutex() {
    Platform::nativeLockDestroy(&m_internal->lock);
    delete m_internal;
    m_internal = nullptr;
}

bool CMutex::enter() {
    Platform::nativeLockEnter(&m_internal->lock);
    return true;
}

bool CMutex::tryEnter() {
    return Platform::nativeLockTryEnter(&m_internal->lock);
}

bool CMutex::leave() {
    Platform::nativeLockLeave(&m_internal->lock);
    return true;
}

// The owner field is read without the lock: only the owning thread can find its own id there,
// so the ownership test is exact. Owner and count are written only by the thread holding the
// lock.
struct RecursiveMutexInternal {
    Platform::NativeLock lock;
    unsigned int count;
    std::atomic<int> owner;
};

CRecursiveMutex::CRecursiveMutex() : m_internal(new RecursiveMutexInternal{{}, 0, {0}}) {
    const bool created = Platform::nativeLockInit(&m_internal->lock);
    INFRA_ASSERT_TEXT(created, "m_internal->m_handle");
}

CRecursiveMutex::~CRecursiveMutex() {
    Platform::nativeLockDestroy(&m_internal->lock);
    delete m_internal;
    m_internal = nullptr;
}

bool CRecursiveMutex::enter() {
    const int self = Platform::currentThreadId();
    if (m_internal->owner.load(std::memory_order_relaxed) == self) {
        ++m_internal->count;
        return true;
    }
    Platform::nativeLockEnter(&m_internal->lock);
    m_internal->owner.store(self, std::memory_order_relaxed);
    m_internal->count = 1;
    return true;
}

bool CRecursiveMutex::leave() {
    if (--m_internal->count == 0) {
        m_internal->owner.store(0, std::memory_order_relaxed);
        Platform::nativeLockLeave(&m_internal->lock);
    }
    return true;
}

}  // namespace Infra
}  // namespace Tovix
