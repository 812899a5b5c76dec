// The packet manager's state, shared by the manager and the packets.
#ifndef INFRA_SRC_MEMORY_PACKETMANAGERINTERNAL_H
#define INFRA_SRC_MEMORY_PACKETMANAGERINTERNAL_H

#include "infra/PacketManager.h"
#include "infra3/Singleton.h"
#include "memory/BuddyPool.h"

namespace Tovix {
namespace Memory {

// Built on first use from the configuration, and never destroyed: packets held by static
// objects or by threads that outlive main() may still come back to it. Only the pool's memory
// is given back at exit (see CBuddyPool::retire). Everything here is fixed once built.
struct PacketManagerInternal {
    // The one object (built with its pool on the first call).
    static PacketManagerInternal* instance() {
        return Infra::Detail::TSingleton<PacketManagerInternal,
                                         Infra::Detail::SingletonLifetime::kImmortal>::instance();
    }

    // See CPacketManager::config.
    static void config(CPacketManager::Policy policy, CPacketManager::MemoryOperator* memop,
                       CPacketManager::PoolParameter* param);

    PacketManagerInternal();
    PacketManagerInternal(const PacketManagerInternal&) = delete;
    PacketManagerInternal& operator=(const PacketManagerInternal&) = delete;

    // The allocate slot: `size` in, bytes granted out.
    void* allocate(unsigned int& size) {
        if (m_pool != nullptr) {
            return m_pool->malloc(size);
        }
        return m_memop.malloc.empty() ? nullptr : m_memop.malloc(size);
    }
    // The free slot.
    void release(void* p) {
        if (m_pool != nullptr) {
            m_pool->free(p);
        } else if (p != nullptr && !m_memop.free.empty()) {
            m_memop.free(p);
        }
    }
    // The copy slot.
    void* copy(void* dst, const void* src, unsigned int n);

    int m_policy;
    unsigned int m_alignment;  // a power of two
    CPacketManager::MemoryOperator m_memop;
    CPacketManager::PoolParameter m_param;
    Detail::CBuddyPool* m_pool;  // policies 2 and 3
    CPacketManager m_handle;
};

}  // namespace Memory
}  // namespace Tovix

#endif  // INFRA_SRC_MEMORY_PACKETMANAGERINTERNAL_H
