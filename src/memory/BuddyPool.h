// Memory: the buddy pool behind the pool policies of the packet manager.
//
// One block from the memory operator is cut into blockCount chunks of chunkSize bytes. Free
// runs of 2^k chunks sit in list k (k = 0 ... orderCount - 1), a circular doubly linked list
// through one node record per chunk. A node's order mark says what the chunk is: 0 inside a run,
// k + 1 first chunk of a free run of 2^k chunks, -(k + 1) first chunk of an allocated one.
//
// The lists hold exactly what the classic eager algorithm gives (split hands out the highest
// piece and puts the lower halves at the front of their lists; free merges with the buddy as
// far as possible). One shortcut keeps the common allocate-then-free pair cheap: when an
// allocation splits a run, taking the run off its list and linking in the lower halves wait
// until the next operation needs the lists. When that operation frees the very block just
// handed out, nothing is left to do: merging would put the run back at the front of its list,
// where it still is.
//
// Exported for the tests, which compare the pool against a model of its free lists; the
// library's callers use CPacketManager.
#ifndef INFRA_SRC_MEMORY_BUDDYPOOL_H
#define INFRA_SRC_MEMORY_BUDDYPOOL_H

#include <cstdint>
#include <vector>

#include "infra/Defs.h"
#include "infra/PacketManager.h"
#include "memory/PoolLock.h"

#if defined(__GNUC__)
#define INFRA_MEMORY_NOINLINE __attribute__((noinline))
#else
#define INFRA_MEMORY_NOINLINE
#endif

namespace Tovix {
namespace Memory {
namespace Detail {

// floor(log2(x)) for x >= 1, 0 for x = 0.
inline unsigned int floorLog2(std::uint32_t x) {
    return x == 0 ? 0u : 31u - static_cast<unsigned int>(__builtin_clz(x));
}

// One chunk (or, for the list heads, one list).
struct BufferNode {
    std::int32_t index;
    std::int32_t order;
    unsigned char* address;
    BufferNode* pre;
    BufferNode* next;
};

class INFRA_API CBuddyPool {
public:
    // Takes (totalSize / chunkSize + 1) * chunkSize bytes from `memop.malloc` (the spare chunk
    // absorbs the alignment of the pool start to chunkSize) and seeds the free lists. The
    // caller guarantees chunkSize is a power of two of at least 1024 dividing totalSize.
    // valid() tells whether the memory was had.
    CBuddyPool(const CPacketManager::MemoryOperator& memop, unsigned int totalSize,
               unsigned int chunkSize);
    // Gives the memory back, whatever is still handed out.
    ~CBuddyPool();
    CBuddyPool(const CBuddyPool&) = delete;
    CBuddyPool& operator=(const CBuddyPool&) = delete;

    bool valid() const { return m_start != nullptr; }

    // A run of chunkSize * 2^k bytes for the smallest k that fits `size`; `size` is updated to
    // the bytes granted. Null ("CPacket No Free Space" logged) when nothing fits, for 0 bytes,
    // and once the pool's memory is released.
    void* malloc(unsigned int& size);

    // Gives back a run from malloc(); null is ignored. A pointer that is not the start of a
    // run handed out by this pool (outside it, inside a run, freed already) is refused with an
    // error message and the pool left as it was: false.
    bool free(void* p);

    // Copies with the memory operator when both ends lie in the pool, else with the standard
    // copy. Returns `dst`.
    void* memcpy(void* dst, const void* src, unsigned int n);

    // Bytes in free runs.
    unsigned int freeSize();

    unsigned int totalSize() const { return m_totalSize; }
    unsigned int chunkSize() const { return m_chunkSize; }
    int blockCount() const { return m_blockCount; }
    int orderCount() const { return m_orderCount; }
    // The chunk-aligned start of the pool.
    unsigned char* start() const { return m_start; }
    // The block as obtained from the memory operator; null once released.
    unsigned char* originBuffer();

    // Logs the free lists through logInfo (see CPacketManager::dumpNodes).
    void dump();

    // The first chunks of the free runs in list `order`, front first (tests).
    std::vector<int> freeList(int order);
    // The order mark of chunk `index`, and those of all chunks (tests).
    int orderMark(int index);
    std::vector<int> orderMarks();

    // From now on the memory goes back to the memory operator as soon as no run is handed out
    // (at once when none is). Used at process exit.
    void retire();

private:
    void insertNode(BufferNode* node, int order);
    void removeNode(BufferNode* node, int order);
    void materializeSplit();
    // The slow halves of malloc and free, kept out of the common path.
    INFRA_MEMORY_NOINLINE void noFreeSpace();
    INFRA_MEMORY_NOINLINE void refuseFree(void* p);
    struct Detached {
        unsigned char* origin;
        BufferNode* nodes;
        BufferNode* lists;
    };
    Detached detachMemory();
    void releaseMemory(const Detached& memory);
    // Frees the allocated run starting at chunk `id` (lock held): merges it with its buddies and
    // links it in. False when no allocated run starts there. Once retired and empty, the memory
    // is detached into *memory for the caller to release after the lock.
    INFRA_MEMORY_NOINLINE bool freeRunLocked(int id, Detached* memory);

    CPacketManager::MemoryOperator m_memop;
    unsigned int m_totalSize;
    unsigned int m_chunkSize;
    unsigned int m_chunkShift;
    int m_blockCount;
    int m_orderCount;
    std::uintptr_t m_rawSize;
    // Fixed at construction; read without the lock.
    unsigned char* m_start;
    std::uintptr_t m_begin;
    std::uintptr_t m_end;

    PoolLock m_lock;
    unsigned char* m_origin;
    BufferNode* m_nodes;
    BufferNode* m_lists;
    std::uint32_t m_nonEmpty;  // bit k: list k has a run
    int m_freeChunks;
    bool m_retired;
    // The split of the latest allocation not yet carried out: run `start` (still first in list
    // `from`) was taken; its removal and the halves of orders from - 1 ... to are due. `run`
    // is the first chunk of the block handed out.
    struct PendingSplit {
        bool active;
        int start;
        int from;
        int to;
        int run;
    } m_pending;
    // Fixed at construction: m_end - m_begin (0 when the memory was not had).
    std::uintptr_t m_span;
    // m_orderCount while the memory is there, 0 once released (one test covers both).
    unsigned int m_liveOrders;
};

}  // namespace Detail
}  // namespace Memory
}  // namespace Tovix

#endif  // INFRA_SRC_MEMORY_BUDDYPOOL_H
