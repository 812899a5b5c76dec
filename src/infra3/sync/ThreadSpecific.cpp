// Sync: thread-local slots over the platform's keys.
#include "infra/ThreadSpecific.h"

#include "platform/Tls.h"

namespace Tovix {
namespace Infra {

struct ThreadSpecificInternal {
    Platform::TlsKey key;
};

CThreadSpecific::CThreadSpecific() : m_internal(new ThreadSpecificInternal{Platform::tlsAlloc()}) {}

CThreadSpecific::~CThreadSpecific() {
    if (valid()) {
        Platform::tlsFree(m_internal->key);
    }
    delete m_internal;
    m_internal = nullptr;
}

bool CThreadSpecific::valid() const {
    return m_internal->key != Platform::kInvalidTlsKey;
}

bool CThreadSpecific::setValue(const void* value) {
    return valid() && Platform::tlsSet(m_internal->key, value);
}

bool CThreadSpecific::getValue(void** value) const {
    if (!valid() || value == nullptr) {
        return false;
    }
    *value = Platform::tlsGet(m_internal->key);
    return true;
}

}  // namespace Infra
}  // namespace Tovix
