// Memory, the packet manager: configuration, the built state and the public handle.
#include "infra/PacketManager.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "infra/Assert.h"
#include "infra3/core/Diagnostics.h"
#include "infra3/core/Singleton.h"
#include "memory/PacketManagerInternal.h"
#include "memory/Poison.h"
#include "platform/Tls.h"

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

// Packet blocks a thread gave back under the library's own heap operator, for its next packets.
// Packets of one size come and go in pairs on a thread (a buffer per message); blocks above the
// C library's own per-thread cache sizes take its slow path every time, which this skips. A few
// small blocks at most per thread; they go back to the heap when the thread ends. Plain data on
// the heap behind a per-thread record (Platform::ThreadRecord), so the hot path touches no
// guard; the thread's first packet makes it and registers its release.
constexpr unsigned int kRecycleSlots = 4;
constexpr unsigned int kRecycleMaxBlock = 8192;

struct RecycledBlocks {
    void* blocks[kRecycleSlots];
    unsigned int sizes[kRecycleSlots];
    unsigned int count;
};

void releaseRecycled(RecycledBlocks& r) {
    for (unsigned int i = 0; i < r.count; ++i) {
        Detail::unpoisonRegion(r.blocks[i], r.sizes[i]);
        std::free(r.blocks[i]);
    }
    r.count = 0;
}

using Recycled = Platform::ThreadRecord<RecycledBlocks, &releaseRecycled>;

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
      m_standardHeap(false),
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
    // Packets recycle heap blocks only where the heap is all there is: not over a pool.
    m_standardHeap = m_policy != CPacketManager::policyPool &&
                     m_policy != CPacketManager::policyPoolData &&
                     m_memop.malloc == Infra::TFunction1<void*, unsigned int>(&systemMalloc) &&
                     m_memop.free == Infra::TFunction1<void, void*>(&systemFree);
    if (m_policy == CPacketManager::policySystem) {
        INFRA_LOG_LEVEL(Infra::Detail::kLevelInfo, "CPacketManager: System Policy\n");
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

namespace Detail {

void* recycledBlock(unsigned int size) {
    RecycledBlocks* const record = Recycled::get();
    if (INFRA_UNLIKELY(record == nullptr)) {
        return nullptr;
    }
    RecycledBlocks& r = *record;
    for (unsigned int i = r.count; i > 0; --i) {
        if (r.sizes[i - 1] == size) {
            void* block = r.blocks[i - 1];
            --r.count;
            r.blocks[i - 1] = r.blocks[r.count];
            r.sizes[i - 1] = r.sizes[r.count];
            unpoisonRegion(block, size);
            return block;
        }
    }
    return nullptr;
}

bool recycleBlock(void* block, unsigned int size) {
    RecycledBlocks* const record = Recycled::find();
    // Only a thread whose record is made keeps blocks (see recycledBlock).
    if (block == nullptr || size > kRecycleMaxBlock || record == nullptr) {
        return false;
    }
    RecycledBlocks& r = *record;
    if (r.count == kRecycleSlots) {
        // The oldest goes back to the heap.
        unpoisonRegion(r.blocks[0], r.sizes[0]);
        std::free(r.blocks[0]);
        for (unsigned int i = 1; i < kRecycleSlots; ++i) {
            r.blocks[i - 1] = r.blocks[i];
            r.sizes[i - 1] = r.sizes[i];
        }
        --r.count;
    }
    r.blocks[r.count] = block;
    r.sizes[r.count] = size;
    ++r.count;
    // Under AddressSanitizer a packet used after its last copy went is reported.
    poisonRegion(block, size);
    return true;
}

}  // namespace Detail

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
            INFRA_LOG_LEVEL(Infra::Detail::kLevelInfo, "CPacketManager dump: SYS Policy\n");
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
