/// @file
/// The packet pool manager: the process-wide allocator behind every packet.
///
/// The manager is configured once, before its first use, with a policy, a set of memory
/// callables and the geometry of a pool:
///   policySystem   (1, the default) every request goes to the memory callables;
///   policyPool     (2) one large block is carved into equal chunks and handed out in
///                  power-of-two runs of chunks (a buddy pool); packets keep their data, extra
///                  area and record in one run;
///   policyPoolData (3) the same pool, but packets take only their data from it (their extra
///                  area and record come from the standard heap);
///   policyExternal (4) the manager forwards to the memory callables, and packets can only wrap
///                  buffers their callers own.
///
/// Buddy pool: every run of 2^k chunks starts at a chunk number that is a multiple of 2^k. A
/// request takes the smallest run that fits; a larger free run is split and the caller gets its
/// highest-addressed piece. A freed run merges with its free buddy (chunk number XOR run length)
/// as far as it can. All pool operations are serialised by one lock and cost O(number of orders).
///
/// At process exit the pool's memory is given back as soon as every block has come back; until
/// then it stays valid, so packets still held by static objects or threads that outlive main()
/// keep working.
#ifndef INFRA_PACKETMANAGER_H
#define INFRA_PACKETMANAGER_H

#include "infra/Defs.h"
#include "infra/Function.h"

namespace Tovix {
namespace Memory {

struct PacketManagerInternal;

/// A handle on the process-wide packet memory manager. Obtain it with instance(); it is never
/// destroyed, so the pointer stays valid for the whole life of the process.
class INFRA_API CPacketManager {
public:
    enum Policy {
        policySystem = 1,
        policyPool = 2,
        policyPoolData = 3,
        policyExternal = 4,
    };

    /// The memory callables. `malloc` must return memory aligned for any object (as the
    /// standard malloc does) or null; `free` accepts what `malloc` returned; `memcpy` copies n
    /// bytes and returns the destination. The default wraps the standard functions.
    struct MemoryOperator {
        Infra::TFunction1<void*, unsigned int> malloc;
        Infra::TFunction1<void, void*> free;
        Infra::TFunction3<void*, void*, const void*, unsigned int> memcpy;
    };

    /// Geometry of the pool (policies 2 and 3).
    ///   totalSize  bytes managed by the pool; a multiple of chunkSize (default 2 MiB);
    ///   chunkSize  smallest unit handed out; a power of two of at least 1024 (default 1024);
    ///   alignSize  packets align their sizes to the largest power of two not above it; at
    ///              least 4 (default 4).
    struct PoolParameter {
        unsigned int totalSize;
        unsigned int chunkSize;
        unsigned int alignSize;
    };

    /// Sets the configuration used when the manager is built on first use. A policy of 0 keeps
    /// the current one; a null `memop` or `param` leaves that part unchanged; may be called
    /// any number of times before first use, each call overwriting only what it carries.
    /// After the first use the call changes nothing and logs a warning. A policy outside 0..4
    /// is refused with an error message (the rest of the call still applies).
    /// Bad pool parameters or a memory operator with an empty callable end the process with
    /// the assertion report. Call it before other threads use packets.
    static void config(Policy policy, MemoryOperator* memop, PoolParameter* param);

    /// The manager; built (with its pool) by the first call. Never null.
    static CPacketManager* instance();

    /// `size` bytes from the pool (policies 2 and 3) or from the memory operator; null on
    /// failure (under the pool policies also for 0 bytes or more than the pool holds).
    void* malloc(unsigned int size);

    /// Gives back a block from malloc(); null is ignored. Under the pool policies a pointer the
    /// pool did not hand out (or one already given back) is refused with an error message and
    /// the pool is left untouched.
    void free(void* p);

    /// Copies n bytes (the memory operator's copy under policies 1 and 4, and under the pool
    /// policies when both ends lie in the pool; the standard copy otherwise). Returns `dst`.
    void* memcpy(void* dst, const void* src, unsigned int n);

    /// Bytes managed by the pool; 0 without a pool (policies 1 and 4).
    unsigned int getBufferSize();

    /// Free bytes of the pool; 0 without a pool.
    unsigned int getFreeSize();

    /// The raw pool block as obtained from the memory operator (not the chunk-aligned start);
    /// null without a pool.
    unsigned char* getPoolBuffer();

    /// Logs the free lists at information level (policy 2), "CPacketManager dump: SYS Policy"
    /// (policies 1 and 3) or nothing (policy 4).
    void dumpNodes();

private:
    friend struct PacketManagerInternal;
    explicit CPacketManager(PacketManagerInternal* internal);
    ~CPacketManager();
    CPacketManager(const CPacketManager&) = delete;
    CPacketManager& operator=(const CPacketManager&) = delete;

    PacketManagerInternal* m_internal;
};

}  // namespace Memory
}  // namespace Tovix

#endif  // INFRA_PACKETMANAGER_H
