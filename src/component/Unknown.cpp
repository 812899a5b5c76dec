// Components, component objects: the IUnknown reference count and its release path, the hand-out
// helpers of CComponentHelper, and the shared constants ClassID::local and ServerInfo::none.
#include <cstring>

#include "component/ClientInternal.h"
#include "component/ComponentInternal.h"
#include "infra/Assert.h"
#include "infra/ComponentHelper.h"
#include "infra/Error.h"

namespace Tovix {
namespace Component {

const ClassID ClassID::local("Local");

const ServerInfo ServerInfo::none = {};

ServerChallenge::ServerChallenge() : words{} {}

IUnknown::IUnknown() : m_internal(new Detail::UnknownInternal) {}

IUnknown::~IUnknown() {
    delete m_internal;
    m_internal = nullptr;
}

int IUnknown::addRef() {
    m_internal->handedOut.exchange(1, std::memory_order_relaxed);
    return m_internal->refCount.fetch_add(1, std::memory_order_relaxed) + 1;
}

// The table is locked only when the object is listed in one, which the analysis cannot follow.
int IUnknown::release() INFRA_NO_THREAD_SAFETY_ANALYSIS {
    Detail::CObjectTable* table = m_internal->table.load(std::memory_order_acquire);
    // The table stays locked from the decrement to the erase, so that its find (run under the
    // same lock) never hands out an object whose count has just reached 0.
    if (table != nullptr) {
        table->lock();
    }
    const int count = m_internal->refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (count != 0) {
        if (table != nullptr) {
            table->unlock();
        }
        return count;
    }
    // A named component leaves its table too: destroying it while still listed would leave the
    // table pointing at freed memory.
    if (table != nullptr) {
        table->erase(this);
        table->unlock();
    }
    if (!m_internal->componentName.empty()) {
        // destroy() frees the record the name lives in.
        const std::string name = m_internal->componentName;
        Detail::destroyComponent(this, name.c_str(), m_internal->isInstance);
    } else {
        destroy();
    }
    return 0;
}

namespace Detail {

int decreaseRefCount(IUnknown* object) {
    INFRA_ASSERT_TEXT(object != nullptr, "object");
    return UnknownInternal::of(object)->refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
}

void setObjectTable(IUnknown* object, CObjectTable* table) {
    INFRA_ASSERT_TEXT(object != nullptr, "object");
    UnknownInternal::of(object)->table.store(table, std::memory_order_release);
}

void makeInstanceForTable(IUnknown* object) {
    INFRA_ASSERT_TEXT(object != nullptr, "object");
    UnknownInternal* internal = UnknownInternal::of(object);
    if (internal->handedOut.exchange(1, std::memory_order_relaxed) != 0) {
        internal->refCount.fetch_add(1, std::memory_order_relaxed);
    }
}

int getRefCount(IUnknown* object) {
    INFRA_ASSERT_TEXT(object != nullptr, "object");
    return UnknownInternal::of(object)->refCount.load(std::memory_order_acquire);
}

bool tryAddRef(IUnknown* object) {
    INFRA_ASSERT_TEXT(object != nullptr, "object");
    UnknownInternal* internal = UnknownInternal::of(object);
    int count = internal->refCount.load(std::memory_order_relaxed);
    do {
        if (count <= 0) {
            return false;
        }
    } while (!internal->refCount.compare_exchange_weak(count, count + 1, std::memory_order_acquire,
                                                       std::memory_order_relaxed));
    internal->handedOut.exchange(1, std::memory_order_relaxed);
    return true;
}

IUnknown* CComponentHelper::makeComponentObject(IUnknown* p) {
    if (p == nullptr) {
        Infra::setLastError(kErrorCreateObject);
        return nullptr;
    }
    if (p->m_internal->table.load(std::memory_order_acquire) == nullptr) {
        p->m_internal->handedOut.exchange(1, std::memory_order_relaxed);
    }
    return p;
}

IUnknown* CComponentHelper::makeComponentInstance(IUnknown* p) {
    if (p == nullptr) {
        Infra::setLastError(kErrorGetInstance);
        return nullptr;
    }
    if (p->m_internal->table.load(std::memory_order_acquire) == nullptr) {
        makeInstanceForTable(p);
    }
    return p;
}

int CComponentHelper::addRef(IUnknown* p) {
    return p == nullptr ? 0 : p->addRef();
}

int CComponentHelper::release(IUnknown* p) {
    if (p == nullptr) {
        return 0;
    }
    if (IClient* client = dynamic_cast<IClient*>(p)) {
        return releaseClientObject(client);
    }
    return p->release();
}

}  // namespace Detail
}  // namespace Component
}  // namespace Tovix
