// Memory: the packet manager's state, shared by the manager and the packets.
#ifndef INFRA_SRC_MEMORY_PACKETMANAGERINTERNAL_H
#define INFRA_SRC_MEMORY_PACKETMANAGERINTERNAL_H

#include <cstdlib>

#include "infra/PacketManager.h"
#include "infra3/core/Singleton.h"
#include "memory/BuddyPool.h"

namespace Tovix {
namespace Memory {

namespace Detail {

// The calling thread's recycled heap block of exactly `size` bytes, or null.
void* recycledBlock(unsigned int size);
// Keeps a heap block of `size` bytes for the calling thread; false when it is not kept (the
// caller frees it).
bool recycleBlock(void* block, unsigned int size);

}  // namespace Detail

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
        if (m_standardHeap) {
            return std::malloc(size);
        }
        return m_memop.malloc.empty() ? nullptr : m_memop.malloc(size);
    }
    // The free slot.
    void release(void* p) {
        if (m_pool != nullptr) {
            m_pool->free(p);
        } else if (m_standardHeap) {
            std::free(p);
        } else if (p != nullptr && !m_memop.free.empty()) {
            m_memop.free(p);
        }
    }
    // The copy slot.
    void* copy(void* dst, const void* src, unsigned int n);

    // A whole packet block of `size` bytes (`size` in, bytes granted out) and its return with
    // the size it was granted. With the library's own heap operator, blocks a thread gave back
    // are handed out again by that thread (see PacketManager.cpp); otherwise these are the
    // allocate and free slots.
    void* allocateBlock(unsigned int& size) {
        if (m_standardHeap) {
            if (void* block = Detail::recycledBlock(size)) {
                return block;
            }
        }
        return allocate(size);
    }
    void releaseBlock(void* block, unsigned int size) {
        if (m_standardHeap && Detail::recycleBlock(block, size)) {
            return;
        }
        release(block);
    }

    int m_policy;
    unsigned int m_alignment;  // a power of two
    CPacketManager::MemoryOperator m_memop;
    CPacketManager::PoolParameter m_param;
    Detail::CBuddyPool* m_pool;  // policies 2 and 3
    // No pool, and the memory operator is the library's own malloc/free: the slots call them
    // directly and packets recycle their blocks.
    bool m_standardHeap;
    CPacketManager m_handle;
};

}  // namespace Memory
}  // namespace Tovix

#endif  // INFRA_SRC_MEMORY_PACKETMANAGERINTERNAL_H
