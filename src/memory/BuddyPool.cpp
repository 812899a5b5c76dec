// Memory, the buddy pool: free lists of power-of-two runs of chunks over one block.
#include "memory/BuddyPool.h"

#include <cstdlib>
#include <cstring>

#include "infra3/core/Diagnostics.h"
#include "memory/Poison.h"

namespace Tovix {
namespace Memory {
namespace Detail {

CBuddyPool::CBuddyPool(const CPacketManager::MemoryOperator& memop, unsigned int totalSize,
                       unsigned int chunkSize)
    : m_memop(memop),
      m_totalSize(totalSize),
      m_chunkSize(chunkSize),
      m_chunkShift(floorLog2(chunkSize)),
      m_blockCount(static_cast<int>(totalSize / chunkSize)),
      m_orderCount(static_cast<int>(floorLog2(totalSize / chunkSize)) + 1),
      m_rawSize(0),
      m_start(nullptr),
      m_begin(0),
      m_end(0),
      m_origin(nullptr),
      m_nodes(nullptr),
      m_lists(nullptr),
      m_nonEmpty(0),
      m_freeChunks(0),
      m_retired(false),
      m_pending{false, 0, 0, 0, 0},
      m_span(0),
      m_liveOrders(0) {
    // The memory operator speaks 32-bit sizes: a block that does not fit counts as not had.
    const std::uint64_t raw = (static_cast<std::uint64_t>(m_blockCount) + 1) * chunkSize;
    if (raw > 0xFFFFFFFFu || m_memop.malloc.empty()) {
        return;
    }
    unsigned char* origin = static_cast<unsigned char*>(m_memop.malloc(static_cast<unsigned>(raw)));
    if (origin == nullptr) {
        return;
    }
    const std::size_t nodeCount = m_blockCount > 0 ? static_cast<std::size_t>(m_blockCount) : 1;
    BufferNode* nodes = static_cast<BufferNode*>(std::malloc(nodeCount * sizeof(BufferNode)));
    BufferNode* lists = static_cast<BufferNode*>(
        std::malloc(static_cast<std::size_t>(m_orderCount) * sizeof(BufferNode)));
    if (nodes == nullptr || lists == nullptr) {
        std::free(nodes);
        std::free(lists);
        if (!m_memop.free.empty()) {
            m_memop.free(origin);
        }
        return;
    }
    m_rawSize = static_cast<std::uintptr_t>(raw);
    m_origin = origin;
    const std::uintptr_t mask = chunkSize - 1;
    m_begin = (reinterpret_cast<std::uintptr_t>(origin) + mask) & ~mask;
    m_start = origin + (m_begin - reinterpret_cast<std::uintptr_t>(origin));
    m_end = m_begin + static_cast<std::uintptr_t>(m_blockCount) * chunkSize;
    m_span = m_end - m_begin;
    m_nodes = nodes;
    m_lists = lists;
    for (int i = 0; i < m_blockCount; ++i) {
        m_nodes[i] =
            BufferNode{i, 0, m_start + static_cast<std::size_t>(i) * chunkSize, nullptr, nullptr};
    }
    // Seed greedily, largest runs first, in ascending addresses.
    int remaining = m_blockCount;
    int next = 0;
    for (int k = m_orderCount - 1; k >= 0; --k) {
        BufferNode& head = m_lists[k];
        head = BufferNode{k, k + 1, nullptr, &head, &head};
        const int n = remaining >> k;
        remaining -= n << k;
        for (int i = 0; i < n; ++i) {
            BufferNode* node = &m_nodes[next];
            node->order = k + 1;
            node->pre = head.pre;
            node->next = &head;
            head.pre->next = node;
            head.pre = node;
            m_nonEmpty |= 1u << k;
            next += 1 << k;
        }
    }
    m_freeChunks = m_blockCount;
    m_liveOrders = static_cast<unsigned int>(m_orderCount);
    poisonRegion(m_origin, m_rawSize);

    INFRA_LOG_LEVEL(
        Infra::Detail::kLevelInfo,
        "CPacketManager: malloc total(%zu) pagesize(%zu)blockCount (%d) ManagermentSize(%zu)\n",
        static_cast<std::size_t>(totalSize), static_cast<std::size_t>(chunkSize), m_blockCount,
        static_cast<std::size_t>(m_blockCount + m_orderCount) * sizeof(BufferNode));
    INFRA_LOG_LEVEL(Infra::Detail::kLevelInfo, "                AddrRange(%p-%p)\n",
                    static_cast<void*>(m_start), static_cast<void*>(m_start + totalSize));
}

CBuddyPool::~CBuddyPool() {
    Detached memory;
    {
        PoolGuard lock(m_lock);
        memory = detachMemory();
    }
    releaseMemory(memory);
}

void CBuddyPool::insertNode(BufferNode* node, int order) {
    BufferNode* head = &m_lists[order];
    node->order = order + 1;
    node->pre = head;
    node->next = head->next;
    head->next->pre = node;
    head->next = node;
    m_nonEmpty |= 1u << order;
}

void CBuddyPool::removeNode(BufferNode* node, int order) {
    node->order = 0;
    node->pre->next = node->next;
    node->next->pre = node->pre;
    node->pre = nullptr;
    node->next = nullptr;
    BufferNode* head = &m_lists[order];
    if (head->next == head) {
        m_nonEmpty &= ~(1u << order);
    }
}

void CBuddyPool::materializeSplit() {
    if (!m_pending.active) {
        return;
    }
    m_pending.active = false;
    int start = m_pending.start;
    removeNode(&m_nodes[start], m_pending.from);
    for (int j = m_pending.from - 1; j >= m_pending.to; --j) {
        insertNode(&m_nodes[start], j);
        start += 1 << j;
    }
}

void* CBuddyPool::malloc(unsigned int& size) {
    // The smallest k with chunkSize * 2^k >= size; 0 bytes wrap to a request nothing fits.
    const unsigned int k = floorLog2((size - 1u) >> (m_chunkShift - 1));
    unsigned char* result = nullptr;
    {
        PoolGuard lock(m_lock);
        // m_liveOrders drops to 0 once the memory is released.
        if (INFRA_LIKELY(k < m_liveOrders)) {
            if (m_pending.active) {
                materializeSplit();
            }
            const std::uint32_t candidates = m_nonEmpty & ~((1u << k) - 1u);
            if (INFRA_LIKELY(candidates != 0)) {
                const int j = __builtin_ctz(candidates);
                BufferNode* first = m_lists[j].next;
                const int start = first->index;
                // The caller gets the highest piece. When the run is split, taking it off its
                // list and linking in the lower halves wait for the next operation.
                const int run = start + (1 << j) - (1 << k);
                if (j > static_cast<int>(k)) {
                    m_pending = PendingSplit{true, start, j, static_cast<int>(k), run};
                } else {
                    removeNode(first, j);
                }
                m_nodes[run].order = -static_cast<int>(k + 1);
                m_freeChunks -= 1 << k;
                result = m_start + (static_cast<std::size_t>(run) << m_chunkShift);
            }
        }
    }
    if (INFRA_UNLIKELY(result == nullptr)) {
        noFreeSpace();
        return nullptr;
    }
    size = m_chunkSize << k;
    unpoisonRegion(result, size);
    return result;
}

void CBuddyPool::noFreeSpace() {
    INFRA_LOG_LEVEL(Infra::Detail::kLevelInfo, "CPacket No Free Space\n");
}

bool CBuddyPool::free(void* p) {
    if (p == nullptr) {
        return true;
    }
    // Unsigned: an address below the pool wraps past the span.
    const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(p) - m_begin;
    bool taken = false;
    Detached memory{nullptr, nullptr, nullptr};
    if (INFRA_LIKELY(offset < m_span && (offset & (m_chunkSize - 1)) == 0)) {
        const int id = static_cast<int>(offset >> m_chunkShift);
        PoolGuard lock(m_lock);
        // The block just handed out comes back before its split was carried out: its run is
        // still at the front of its list, where merging would put it back. (A pending split
        // implies the memory is still there.)
        if (INFRA_LIKELY(m_pending.active && id == m_pending.run && !m_retired)) {
            m_pending.active = false;
            poisonRegion(p, static_cast<std::size_t>(m_chunkSize) << m_pending.to);
            m_nodes[id].order = 0;
            m_freeChunks += 1 << m_pending.to;
            return true;
        }
        taken = freeRunLocked(id, &memory);
    }
    if (INFRA_UNLIKELY(!taken)) {
        refuseFree(p);
        return false;
    }
    if (memory.origin != nullptr) {
        releaseMemory(memory);
    }
    return true;
}

bool CBuddyPool::freeRunLocked(int id, Detached* memory) {
    if (m_nodes == nullptr) {
        return false;
    }
    bool taken = false;
    if (m_pending.active && id == m_pending.run) {
        m_pending.active = false;
        poisonRegion(m_nodes[id].address, static_cast<std::size_t>(m_chunkSize) << m_pending.to);
        m_nodes[id].order = 0;
        m_freeChunks += 1 << m_pending.to;
        taken = true;
    } else {
        materializeSplit();
        const int mark = m_nodes[id].order;
        if (mark < 0) {
            int level = -mark;  // order + 1
            poisonRegion(m_nodes[id].address, static_cast<std::size_t>(m_chunkSize) << (level - 1));
            m_nodes[id].order = 0;
            m_freeChunks += 1 << (level - 1);
            while (level < m_orderCount) {
                const int half = 1 << (level - 1);
                const int buddy = id ^ half;
                if (buddy >= m_blockCount || m_nodes[buddy].order != level) {
                    break;
                }
                removeNode(&m_nodes[buddy], level - 1);
                id &= ~half;
                ++level;
            }
            insertNode(&m_nodes[id], level - 1);
            taken = true;
        }
    }
    if (taken && m_retired && m_freeChunks == m_blockCount) {
        *memory = detachMemory();
    }
    return taken;
}

void CBuddyPool::refuseFree(void* p) {
    INFRA_DIAG(Infra::Detail::kLevelError,
               "PacketManagerInternal::Pool_Free(): %p is not a block handed out by the pool "
               "(or was freed already), refused\n",
               p);
}

void* CBuddyPool::memcpy(void* dst, const void* src, unsigned int n) {
    if (n == 0) {
        return dst;
    }
    const std::uintptr_t d = reinterpret_cast<std::uintptr_t>(dst);
    const std::uintptr_t s = reinterpret_cast<std::uintptr_t>(src);
    if (d >= m_begin && d < m_end && s >= m_begin && s < m_end && !m_memop.memcpy.empty()) {
        return m_memop.memcpy(dst, src, n);
    }
    std::memcpy(dst, src, n);
    return dst;
}

unsigned int CBuddyPool::freeSize() {
    PoolGuard lock(m_lock);
    if (m_nodes == nullptr) {
        return 0;
    }
    return static_cast<unsigned int>(m_freeChunks) << m_chunkShift;
}

unsigned char* CBuddyPool::originBuffer() {
    PoolGuard lock(m_lock);
    return m_origin;
}

void CBuddyPool::dump() {
    // The lines are collected under the lock and logged after it: print sinks are caller code
    // and may allocate from this pool.
    struct Line {
        bool head;
        int list;
        int index;
        int order;
        const void* self;
        const void* pre;
        const void* next;
    };
    std::vector<Line> lines;
    {
        PoolGuard lock(m_lock);
        if (m_nodes != nullptr) {
            materializeSplit();
            lines.reserve(static_cast<std::size_t>(m_orderCount) * 2);
            for (int k = 0; k < m_orderCount; ++k) {
                const BufferNode& head = m_lists[k];
                lines.push_back(Line{true, k, 0, head.order, &head, head.pre, head.next});
                for (const BufferNode* node = head.next; node != &head; node = node->next) {
                    lines.push_back(Line{false, k, node->index, node->order, node->address,
                                         node->pre, node->next});
                }
            }
        }
    }
    INFRA_LOG_LEVEL(Infra::Detail::kLevelInfo, "CPacketManager: dump FreeList\n");
    for (const Line& line : lines) {
        if (line.head) {
            INFRA_LOG_LEVEL(Infra::Detail::kLevelInfo,
                            "BufferList id:%d, order(%d) head(%p), headpre(%p)next(%p)\n",
                            line.list, line.order, line.self, line.pre, line.next);
        } else {
            INFRA_LOG_LEVEL(Infra::Detail::kLevelInfo,
                            "bufflist(%d)id: %d, realIdx(%d)self(%p)order(%d) pre(%p), next(%p)\n",
                            line.list, 0, line.index, line.self, line.order, line.pre, line.next);
        }
    }
}

std::vector<int> CBuddyPool::freeList(int order) {
    std::vector<int> runs;
    PoolGuard lock(m_lock);
    if (m_nodes == nullptr || order < 0 || order >= m_orderCount) {
        return runs;
    }
    materializeSplit();
    const BufferNode& head = m_lists[order];
    for (const BufferNode* node = head.next; node != &head; node = node->next) {
        runs.push_back(node->index);
    }
    return runs;
}

int CBuddyPool::orderMark(int index) {
    PoolGuard lock(m_lock);
    if (m_nodes == nullptr || index < 0 || index >= m_blockCount) {
        return 0;
    }
    materializeSplit();
    return m_nodes[index].order;
}

std::vector<int> CBuddyPool::orderMarks() {
    std::vector<int> marks;
    PoolGuard lock(m_lock);
    if (m_nodes == nullptr) {
        return marks;
    }
    materializeSplit();
    marks.reserve(static_cast<std::size_t>(m_blockCount));
    for (int i = 0; i < m_blockCount; ++i) {
        marks.push_back(m_nodes[i].order);
    }
    return marks;
}

void CBuddyPool::retire() {
    Detached memory{nullptr, nullptr, nullptr};
    {
        PoolGuard lock(m_lock);
        m_retired = true;
        if (m_nodes != nullptr && m_freeChunks == m_blockCount) {
            memory = detachMemory();
        }
    }
    releaseMemory(memory);
}

CBuddyPool::Detached CBuddyPool::detachMemory() {
    Detached memory{m_origin, m_nodes, m_lists};
    m_origin = nullptr;
    m_nodes = nullptr;
    m_lists = nullptr;
    m_nonEmpty = 0;
    m_liveOrders = 0;
    m_pending.active = false;
    return memory;
}

void CBuddyPool::releaseMemory(const Detached& memory) {
    // The memory operator is caller code: it runs without the pool lock.
    if (memory.origin != nullptr) {
        unpoisonRegion(memory.origin, m_rawSize);
        if (!m_memop.free.empty()) {
            m_memop.free(memory.origin);
        }
    }
    std::free(memory.nodes);
    std::free(memory.lists);
}

}  // namespace Detail
}  // namespace Memory
}  // namespace Tovix
