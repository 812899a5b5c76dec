/// @file
/// A thread-safe pool of equal-sized blocks.
#ifndef INFRA_MEMPOOL_H
#define INFRA_MEMPOOL_H

#include "infra/Defs.h"

namespace Tovix {
namespace Memory {
namespace Detail {

struct MemPoolInternal;

/// Hands out blocks of one size, carved from chunks of `count` blocks that are kept until the
/// pool dies. malloc() and free() take constant time; each thread keeps a few recently freed
/// blocks of its own, so the last block a thread freed is the next one it gets.
///
/// Blocks are at least the size of a pointer (a free block holds the link to the next one);
/// blocks of sizeof(T) bytes are aligned for T. Under AddressSanitizer free blocks are poisoned,
/// so a use after free() is reported.
///
/// A pool with count 0, or whose chunk would not fit in 32 bits, is invalid: it logs an error
/// at construction and its malloc() returns null.
class INFRA_API CMemPool {
public:
    CMemPool(unsigned int blockSize, unsigned int count);
    /// Frees every chunk: all blocks become invalid at once. No other thread may use the pool
    /// while it is destroyed.
    ~CMemPool();
    CMemPool(const CMemPool&) = delete;
    CMemPool& operator=(const CMemPool&) = delete;

    /// One block; null when the pool is invalid or no memory is left.
    void* malloc();

    /// Gives back a block this pool handed out; null is ignored. Giving back a foreign block or
    /// the same block twice is a caller error and is not detected (AddressSanitizer reports it).
    void free(void* block);

private:
    MemPoolInternal* m_internal;
};

}  // namespace Detail
}  // namespace Memory
}  // namespace Tovix

#endif  // INFRA_MEMPOOL_H
