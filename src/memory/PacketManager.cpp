// The packet manager: configuration, the built state and the public handle.
#include "infra/PacketManager.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "infra/Assert.h"
#include "infra/PrintLog.h"
#include "infra3/Diagnostics.h"
#include "infra3/Singleton.h"
#include "memory/PacketManagerInternal.h"
#include "memory/Poison.h"

namespace Tovix {
namespace Memory {

namespace {

void* systemMalloc(unsigned int size) {
    return std::malloc(size);
}

void systemFree(void* p) {
    std::free(p);
}

void* systemMemcpy(void* dst, const void* src, unsigned int n) {
    return n == 0 ? dst : std::memcpy(dst, src, n);
}

// What config() sets and the first use reads. Never destroyed; guarded by its mutex so a
// configuration racing the first use on another thread is refused cleanly, never torn.
struct Configuration {
    std::mutex mutex;
    int policy = CPacketManager::policySystem;
    CPacketManager::MemoryOperator memop{&systemMalloc, &systemFree, &systemMemcpy};
    CPacketManager::PoolParameter param{2097152, 1024, 4};
    bool configurable = true;
};

Configuration& configuration() {
    static Configuration* const state = new Configuration;
    return *state;
}

void retirePoolAtExit() {
    PacketManagerInternal::instance()->m_pool->retire();
}

}  // namespace

void PacketManagerInternal::config(CPacketManager::Policy policy,
                                   CPacketManager::MemoryOperator* memop,
                                   CPacketManager::PoolParameter* param) {
    Configuration& state = configuration();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.configurable) {
        INFRA_DIAG(Infra::Detail::kLevelWarn,
                   "PacketManagerInternal::config() failured: Packet Manager has been "
                   "configured!\n");
        return;
    }
    if (policy != 0) {
        if (policy >= CPacketManager::policySystem && policy <= CPacketManager::policyExternal) {
            state.policy = policy;
        } else {
            INFRA_DIAG(Infra::Detail::kLevelError,
                       "PacketManagerInternal::config(): unknown policy %d refused\n",
                       static_cast<int>(policy));
        }
    }
    if (param != nullptr) {
        INFRA_ASSERT_TEXT(param->chunkSize >= 1024 && param->chunkSize > 0 &&
                              param->totalSize % param->chunkSize == 0,
                          "param->chunkSize >= 1024 && param->chunkSize > 0 && "
                          "param->totalSize % param->chunkSize == 0");
        // Chunks are addressed by shifting and masking.
        INFRA_ASSERT_TEXT((param->chunkSize & (param->chunkSize - 1)) == 0,
                          "(param->chunkSize & (param->chunkSize - 1)) == 0");
        INFRA_ASSERT_TEXT(param->alignSize >= 4, "param->alignSize >= 4");
        state.param = *param;
    }
    if (memop != nullptr) {
        INFRA_ASSERT_TEXT(!memop->malloc.empty() && !memop->free.empty() && !memop->memcpy.empty(),
                          "!memop->malloc.empty() && !memop->free.empty() && "
                          "!memop->memcpy.empty()");
        state.memop = *memop;
    }
}

PacketManagerInternal::PacketManagerInternal()
    : m_policy(CPacketManager::policySystem),
      m_alignment(4),
      m_memop(),
      m_param(),
      m_pool(nullptr),
      m_handle(this) {
    {
        Configuration& state = configuration();
        std::lock_guard<std::mutex> lock(state.mutex);
        state.configurable = false;
        m_policy = state.policy;
        m_memop = state.memop;
        m_param = state.param;
    }
    m_alignment = 1u << Detail::floorLog2(m_param.alignSize);
    if (m_policy == CPacketManager::policySystem) {
        logInfo("CPacketManager: System Policy\n");
        return;
    }
    if (m_policy != CPacketManager::policyPool && m_policy != CPacketManager::policyPoolData) {
        return;
    }
    m_pool = new Detail::CBuddyPool(m_memop, m_param.totalSize, m_param.chunkSize);
    // Packets cannot be served without their pool.
    INFRA_ASSERT_TEXT(m_pool->valid(), "NULL != m_pOriginBuffer");
    if (std::atexit(&retirePoolAtExit) != 0) {
        INFRA_DIAG_PLAIN(Infra::Detail::kLevelInfo, "%s:%s atexit failed, line : %d\n", __FILE__,
                         INFRA_FUNCTION, __LINE__);
    }
}

void* PacketManagerInternal::copy(void* dst, const void* src, unsigned int n) {
    if (m_pool != nullptr) {
        return m_pool->memcpy(dst, src, n);
    }
    if (m_memop.memcpy.empty()) {
        return n == 0 ? dst : std::memcpy(dst, src, n);
    }
    return m_memop.memcpy(dst, src, n);
}

CPacketManager::CPacketManager(PacketManagerInternal* internal) : m_internal(internal) {}

CPacketManager::~CPacketManager() {
    m_internal = nullptr;
}

void CPacketManager::config(Policy policy, MemoryOperator* memop, PoolParameter* param) {
    PacketManagerInternal::config(policy, memop, param);
}

CPacketManager* CPacketManager::instance() {
    return &PacketManagerInternal::instance()->m_handle;
}

void* CPacketManager::malloc(unsigned int size) {
    unsigned int granted = size;
    unsigned char* p = static_cast<unsigned char*>(m_internal->allocate(granted));
    if (p != nullptr && granted > size) {
        // Only the bytes asked for are the caller's: an overrun into the rest of the run is
        // reported under AddressSanitizer.
        Detail::poisonRegion(p + size, granted - size);
    }
    return p;
}

void CPacketManager::free(void* p) {
    m_internal->release(p);
}

void* CPacketManager::memcpy(void* dst, const void* src, unsigned int n) {
    return m_internal->copy(dst, src, n);
}

unsigned int CPacketManager::getBufferSize() {
    return m_internal->m_pool != nullptr ? m_internal->m_param.totalSize : 0;
}

unsigned int CPacketManager::getFreeSize() {
    return m_internal->m_pool != nullptr ? m_internal->m_pool->freeSize() : 0;
}

unsigned char* CPacketManager::getPoolBuffer() {
    return m_internal->m_pool != nullptr ? m_internal->m_pool->originBuffer() : nullptr;
}

void CPacketManager::dumpNodes() {
    switch (m_internal->m_policy) {
        case policySystem:
        case policyPoolData:
            logInfo("CPacketManager dump: SYS Policy\n");
            break;
        case policyPool:
            m_internal->m_pool->dump();
            break;
        default:
            break;
    }
}

}  // namespace Memory
}  // namespace Tovix
