// Memory, the block pool: a shared free list under a lock, fronted by a small cache per thread.
//
// Each thread keeps the blocks it freed last (up to a few dozen per pool, fewer for big blocks)
// and hands them out again without taking the pool lock; it refills from and spills to the
// shared list in batches. A thread's cache names its pools by a number that is never reused, so
// blocks cached for a pool that died meanwhile are simply forgotten; the registry of live pools
// lets a spilling or exiting thread give its blocks back safely.
#include "infra/MemPool.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "infra3/core/Diagnostics.h"
#include "memory/Poison.h"
#include "platform/Tls.h"

namespace Tovix {
namespace Memory {
namespace Detail {

namespace {

// Chunk header; `count` blocks follow it.
struct Chunk {
    void* firstBlock;
    Chunk* next;
};
constexpr std::size_t kChunkHeader = sizeof(Chunk);

constexpr unsigned int kCacheSlots = 4;
constexpr unsigned int kCacheBytes = 32768;
constexpr unsigned int kCacheMaxBlocks = 64;

void* loadLink(const void* block) {
    void* next;
    std::memcpy(&next, block, sizeof next);
    return next;
}

void storeLink(void* block, void* next) {
    std::memcpy(block, &next, sizeof next);
}

}  // namespace

struct MemPoolInternal {
    std::uint64_t id;
    unsigned int blockSize;
    unsigned int count;
    std::size_t chunkBytes;
    bool valid;
    unsigned int cacheLimit;
    unsigned int batch;
    std::mutex mutex;
    Chunk* chunks;
    void* freeList;

    // A free block's link, read or written while the block is poisoned.
    void* peekLink(void* block) const {
        unpoisonRegion(block, blockSize);
        void* next = loadLink(block);
        poisonRegion(block, blockSize);
        return next;
    }
    void pokeLink(void* block, void* next) const {
        unpoisonRegion(block, blockSize);
        storeLink(block, next);
        poisonRegion(block, blockSize);
    }

    // Adds a chunk to the shared list; false when the memory is short. Called under the lock.
    bool grow() {
        Chunk* chunk = static_cast<Chunk*>(std::malloc(chunkBytes));
        if (chunk == nullptr) {
            return false;
        }
        unsigned char* first = reinterpret_cast<unsigned char*>(chunk) + kChunkHeader;
        chunk->firstBlock = first;
        chunk->next = chunks;
        chunks = chunk;
        for (unsigned int i = 0; i < count; ++i) {
            unsigned char* block = first + static_cast<std::size_t>(i) * blockSize;
            storeLink(block, i + 1 < count ? block + blockSize : freeList);
        }
        poisonRegion(first, static_cast<std::size_t>(count) * blockSize);
        freeList = first;
        return true;
    }
};

namespace {

struct Registry {
    std::mutex mutex;
    std::unordered_map<std::uint64_t, MemPoolInternal*> live;
    std::uint64_t nextId = 1;
};

// Never destroyed: threads exiting after the statics are gone still spill through it.
Registry& registry() {
    static Registry* const state = new Registry;
    return *state;
}

struct CacheEntry {
    std::uint64_t poolId;  // 0: free slot
    void* head;
    void* tail;
    unsigned int count;
};

// Plain data, on the heap behind a per-thread record (Platform::ThreadRecord): made by the thread's
// first claim of an entry, spilled as the thread ends, after which the pools bypass the thread.
struct ThreadCache {
    CacheEntry entries[kCacheSlots];
    unsigned int last;  // the entry used last, tried first
    unsigned int victim;
};

// Gives a cache entry's blocks back to their pool if it still lives, and empties the entry.
void spill(CacheEntry& entry) {
    if (entry.count > 0) {
        Registry& reg = registry();
        std::lock_guard<std::mutex> regLock(reg.mutex);
        auto it = reg.live.find(entry.poolId);
        if (it != reg.live.end()) {
            MemPoolInternal* pool = it->second;
            std::lock_guard<std::mutex> lock(pool->mutex);
            pool->pokeLink(entry.tail, pool->freeList);
            pool->freeList = entry.head;
        }
    }
    entry = CacheEntry{0, nullptr, nullptr, 0};
}

void spillAll(ThreadCache& cache) {
    for (CacheEntry& entry : cache.entries) {
        spill(entry);
    }
}

using HeldCache = Platform::ThreadRecord<ThreadCache, &spillAll>;

// Claims an entry for `pool` (spilling another pool's entry when all are taken); null once the
// thread is exiting.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
CacheEntry*
claimEntry(MemPoolInternal* pool) {
    ThreadCache* const made = HeldCache::get();
    if (made == nullptr) {
        return nullptr;
    }
    ThreadCache& cache = *made;
    unsigned int slot = kCacheSlots;
    for (unsigned int i = 0; i < kCacheSlots; ++i) {
        if (cache.entries[i].poolId == 0) {
            slot = i;
            break;
        }
    }
    if (slot == kCacheSlots) {
        slot = cache.victim++ % kCacheSlots;
        spill(cache.entries[slot]);
    }
    cache.entries[slot].poolId = pool->id;
    cache.last = slot;
    return &cache.entries[slot];
}

// The calling thread's entry for `pool`; null once the thread is exiting.
inline CacheEntry* cacheEntry(MemPoolInternal* pool) {
    ThreadCache* const cache = HeldCache::find();
    if (cache == nullptr) {
        return claimEntry(pool);
    }
    CacheEntry* entry = &cache->entries[cache->last];
    if (entry->poolId == pool->id) {
        return entry;
    }
    for (unsigned int i = 0; i < kCacheSlots; ++i) {
        if (cache->entries[i].poolId == pool->id) {
            cache->last = i;
            return &cache->entries[i];
        }
    }
    return claimEntry(pool);
}

}  // namespace

CMemPool::CMemPool(unsigned int blockSize, unsigned int count) : m_internal(new MemPoolInternal) {
    MemPoolInternal* in = m_internal;
    // A free block holds the link to the next one.
    in->blockSize =
        blockSize < sizeof(void*) ? static_cast<unsigned int>(sizeof(void*)) : blockSize;
    in->count = count;
    const std::uint64_t bytes = kChunkHeader + static_cast<std::uint64_t>(in->blockSize) * count;
    in->valid = count > 0 && bytes <= 0xFFFFFFFFu;
    in->chunkBytes = in->valid ? static_cast<std::size_t>(bytes) : 0;
    unsigned int limit = kCacheBytes / in->blockSize;
    limit = limit > kCacheMaxBlocks ? kCacheMaxBlocks : (limit < 2 ? 2 : limit);
    in->cacheLimit = limit;
    in->batch = limit / 2;
    in->chunks = nullptr;
    in->freeList = nullptr;
    Registry& reg = registry();
    {
        std::lock_guard<std::mutex> lock(reg.mutex);
        in->id = reg.nextId++;
        if (in->valid) {
            reg.live.emplace(in->id, in);
        }
    }
    if (!in->valid) {
        INFRA_DIAG(Infra::Detail::kLevelError,
                   "CMemPool(): block size %u and count %u give no usable chunk, the pool hands "
                   "out nothing\n",
                   blockSize, count);
    }
}

CMemPool::~CMemPool() {
    MemPoolInternal* in = m_internal;
    {
        Registry& reg = registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        reg.live.erase(in->id);
    }
    if (ThreadCache* const cache = HeldCache::find()) {
        for (CacheEntry& entry : cache->entries) {
            if (entry.poolId == in->id) {
                entry = CacheEntry{0, nullptr, nullptr, 0};
            }
        }
    }
    Chunk* chunk = in->chunks;
    while (chunk != nullptr) {
        Chunk* next = chunk->next;
        unpoisonRegion(chunk, in->chunkBytes);
        std::free(chunk);
        chunk = next;
    }
    delete in;
    m_internal = nullptr;
}

void* CMemPool::malloc() {
    MemPoolInternal* in = m_internal;
    if (!in->valid) {
        return nullptr;
    }
    CacheEntry* entry = cacheEntry(in);
    if (entry == nullptr) {
        // The thread is exiting: straight from the shared list.
        std::lock_guard<std::mutex> lock(in->mutex);
        if (in->freeList == nullptr && !in->grow()) {
            return nullptr;
        }
        void* block = in->freeList;
        unpoisonRegion(block, in->blockSize);
        in->freeList = loadLink(block);
        return block;
    }
    if (entry->head == nullptr) {
        std::lock_guard<std::mutex> lock(in->mutex);
        if (in->freeList == nullptr && !in->grow()) {
            INFRA_DIAG(Infra::Detail::kLevelError, "CMemPool::malloc(): no memory for %zu bytes\n",
                       in->chunkBytes);
            return nullptr;
        }
        // Take a batch off the front, keeping its order.
        void* head = in->freeList;
        void* tail = head;
        unsigned int taken = 1;
        void* next = in->peekLink(tail);
        while (taken < in->batch && next != nullptr) {
            tail = next;
            next = in->peekLink(tail);
            ++taken;
        }
        in->freeList = next;
        in->pokeLink(tail, nullptr);
        entry->head = head;
        entry->tail = tail;
        entry->count = taken;
    }
    void* block = entry->head;
    unpoisonRegion(block, in->blockSize);
    entry->head = loadLink(block);
    if (--entry->count == 0) {
        entry->tail = nullptr;
    }
    return block;
}

void CMemPool::free(void* block) {
    MemPoolInternal* in = m_internal;
    if (block == nullptr || !in->valid) {
        return;
    }
    CacheEntry* entry = cacheEntry(in);
    if (entry == nullptr) {
        std::lock_guard<std::mutex> lock(in->mutex);
        storeLink(block, in->freeList);
        poisonRegion(block, in->blockSize);
        in->freeList = block;
        return;
    }
    storeLink(block, entry->head);
    poisonRegion(block, in->blockSize);
    if (entry->count++ == 0) {
        entry->tail = block;
    }
    entry->head = block;
    if (entry->count > in->cacheLimit) {
        std::lock_guard<std::mutex> lock(in->mutex);
        in->pokeLink(entry->tail, in->freeList);
        in->freeList = entry->head;
        *entry = CacheEntry{in->id, nullptr, nullptr, 0};
    }
}

}  // namespace Detail
}  // namespace Memory
}  // namespace Tovix
