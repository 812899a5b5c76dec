// Core: the lock of the core's own records (error texts, singletons' creation, include-version
// tables), taken from the platform directly, since the library's mutex classes build on core.
#ifndef INFRA_SRC_INFRA3_CORE_CORELOCK_H
#define INFRA_SRC_INFRA3_CORE_CORELOCK_H

#include "infra/Assert.h"
#include "platform/Sync.h"

namespace Tovix {
namespace Infra {
namespace Detail {

// Re-entrant, as the library's own mutex. Creating one asserts that the system gave a lock.
class CoreLock {
public:
    CoreLock() : m_lock(Platform::recursiveMutexCreate()) {
        INFRA_ASSERT_TEXT(m_lock != nullptr, "m_internal->m_handle");
    }
    ~CoreLock() { Platform::recursiveMutexDestroy(m_lock); }
    CoreLock(const CoreLock&) = delete;
    CoreLock& operator=(const CoreLock&) = delete;

    void lock() { Platform::recursiveMutexLock(m_lock); }
    void unlock() { Platform::recursiveMutexUnlock(m_lock); }

private:
    Platform::RecursiveMutex* const m_lock;
};

class CoreGuard {
public:
    explicit CoreGuard(CoreLock& lock) : m_lock(lock) { m_lock.lock(); }
    ~CoreGuard() { m_lock.unlock(); }
    CoreGuard(const CoreGuard&) = delete;
    CoreGuard& operator=(const CoreGuard&) = delete;

private:
    CoreLock& m_lock;
};

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SRC_INFRA3_CORE_CORELOCK_H
