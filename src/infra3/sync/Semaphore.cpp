// Sync: counting semaphore over the platform semaphore.
#include "infra/Semaphore.h"

#include "infra/Assert.h"
#include "platform/Sync.h"

namespace Tovix {
namespace Infra {

namespace {
constexpr long kMaximumCount = 0x7FFFFFFF;
}

struct SemaphoreInternal {
    Platform::Semaphore* m_handle;
};

CSemaphore::CSemaphore(int initialCount)
    : m_internal(new SemaphoreInternal{Platform::semaphoreCreate(initialCount, kMaximumCount)}) {
    INFRA_ASSERT(m_internal->m_handle);
}

CSemaphore::~CSemaphore() {
    Platform::semaphoreDestroy(m_internal->m_handle);
    delete m_internal;
    m_internal = nullptr;
}

int CSemaphore::pend() {
    INFRA_ASSERT(m_internal->m_handle);
    return Platform::semaphoreWaitCancellable(m_internal->m_handle, -1) ? 0 : -1;
}

int CSemaphore::pend(unsigned int timeout) {
    INFRA_ASSERT(m_internal->m_handle);
    return Platform::semaphoreWaitCancellable(m_internal->m_handle, static_cast<long long>(timeout))
               ? 0
               : -1;
}

int CSemaphore::tryPend() {
    INFRA_ASSERT(m_internal->m_handle);
    return Platform::semaphoreWait(m_internal->m_handle, 0) ? 0 : -1;
}

int CSemaphore::post() {
    return Platform::semaphorePost(m_internal->m_handle) ? 0 : -1;
}

}  // namespace Infra
}  // namespace Tovix
