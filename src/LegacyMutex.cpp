// The legacy global mutex and guard: a re-entrant platform lock.
#include "infra/legacy/Mutex.h"

#include "infra/Assert.h"
#include "platform/Platform.h"

struct LegacyMutexInternal {
    Tovix::Platform::RecursiveMutex* m_handle;
};

CMutex::CMutex(Type /*type*/)
    : m_internal(new LegacyMutexInternal{Tovix::Platform::recursiveMutexCreate()}) {
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
    return true;
}

bool CMutex::TryEnter() {
    INFRA_ASSERT(m_internal->m_handle);
    return Tovix::Platform::recursiveMutexTryLock(m_internal->m_handle);
}

bool CMutex::Leave() {
    INFRA_ASSERT(m_internal->m_handle);
    return Tovix::Platform::recursiveMutexUnlock(m_internal->m_handle);
}

CGuard::CGuard(CMutex& mutex) : m_mutex(mutex) {
    m_mutex.Enter();
}

CGuard::~CGuard() {
    m_mutex.Leave();
}
