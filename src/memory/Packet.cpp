// Memory, packets: the shared record and its four origins.
#include "infra/Packet.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>

#include "infra/Assert.h"
#include "infra3/core/Diagnostics.h"
#include "memory/PacketManagerInternal.h"

namespace Tovix {
namespace Memory {

// The shared record of a packet: the reference count, the data and extra areas, and what
// kind of memory they are. Records that need more (a window's parent, a caller's deleter)
// extend it; destroy() knows from the kind which record it is and where it lives (inside the
// data block, beside the extra area, or on its own). Plain data: the record inside a data block
// is simply given back with the block.
class PacketInternal {
public:
    enum Kind : unsigned char {
        kInBlock = 0,   // policies 1 and 2: data, extra area and record in one block
        kPoolData = 1,  // policy 3: data from the pool, extra area and record in a heap block
        kWindow = 2,    // a window: extra area and record in a heap block
        kCallerBuffer = 3,
        kAttach = 4,
    };

    PacketInternal(unsigned char* buffer, unsigned int size, unsigned int capacity, void* extraData,
                   unsigned int extraSize, Kind kind)
        : m_refCount(1),
          m_kind(kind),
          m_extraSize(static_cast<unsigned char>(extraSize)),
          m_size(size),
          m_capacity(capacity),
          m_blockSize(0),
          m_buffer(buffer),
          m_extraData(extraData) {}

    void addRef() { m_refCount.fetch_add(1, std::memory_order_relaxed); }

    void release() {
        // The sole owner needs no read-modify-write: no other handle exists that another
        // thread could copy from (copying from the handle being dropped is the caller's race).
        // The acquire load still orders every earlier release of other copies before destroy.
        if (m_refCount.load(std::memory_order_acquire) == 1 ||
            m_refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            destroy();
        }
    }

    unsigned int putBuffer(const void* data, unsigned int length);

    unsigned char* getBuffer() const { return m_buffer; }
    unsigned int size() const { return m_size; }
    unsigned int capacity() const { return m_capacity; }
    void* getExtraData() const { return m_extraSize > 0 ? m_extraData : nullptr; }
    unsigned int getExtraSize() const { return m_extraSize; }

    bool resize(unsigned int n) {
        if (n > m_capacity) {
            return false;
        }
        m_size = n;
        return true;
    }

    static PacketInternal* create(unsigned int size, unsigned int extraSize);
    static PacketInternal* createWindow(const CPacket& parent, unsigned int offset,
                                        unsigned int size, unsigned int extraSize);
    static PacketInternal* createCaller(void* buffer, unsigned int size, bool withExtra,
                                        unsigned int extraSize, const CPacket::Deleter& deleter);
    static PacketInternal* createAttach(unsigned int size, const CPacket::Deleter& deleter,
                                        void* parameter, unsigned int extraSize);

protected:
    void destroy();

    std::atomic<int> m_refCount;
    Kind m_kind;
    unsigned char m_extraSize;
    unsigned int m_size;
    unsigned int m_capacity;
    unsigned int m_blockSize;  // kInBlock: the bytes granted for the block
    unsigned char* m_buffer;
    void* m_extraData;
};

namespace {

std::uint64_t alignUp(std::uint64_t x, std::uint64_t alignment) {
    return (x + alignment - 1) & ~(alignment - 1);
}

// A window keeps a copy of its parent in its record.
struct WindowRecord : PacketInternal {
    WindowRecord(const CPacket& parentPacket, unsigned char* buffer, unsigned int size,
                 void* extraData, unsigned int extraSize)
        : PacketInternal(buffer, size, size, extraData, extraSize, kWindow), parent(parentPacket) {}
    CPacket parent;
};

// The caller's buffer and its deleter; the extra area is a heap block of its own.
struct CallerRecord : PacketInternal {
    CallerRecord(unsigned char* buffer, unsigned int size, void* extraData, unsigned int extraSize,
                 const CPacket::Deleter& callerDeleter)
        : PacketInternal(buffer, size, size, extraData, extraSize, kCallerBuffer),
          deleter(callerDeleter) {}
    CPacket::Deleter deleter;
};

// Attach-later: the caller's block arrives with putBuffer().
struct AttachRecord : PacketInternal {
    AttachRecord(unsigned int size, void* extraData, unsigned int extraSize,
                 const CPacket::Deleter& attachDeleter, void* attachParameter)
        : PacketInternal(nullptr, size, size, extraData, extraSize, kAttach),
          deleter(attachDeleter),
          parameter(attachParameter) {}
    CPacket::Deleter deleter;
    void* parameter;
};

// A record with an extra area in one heap block: the extra area at the start (aligned for
// anything), the record after it.
template <class Record>
std::uint64_t sideBlockSize(unsigned int extraSize) {
    return alignUp(extraSize, alignof(Record)) + sizeof(Record);
}
template <class Record>
void* recordInSideBlock(void* block, unsigned int extraSize) {
    return static_cast<unsigned char*>(block) + alignUp(extraSize, alignof(Record));
}

constexpr std::uint64_t kRecordSize = sizeof(PacketInternal);
constexpr std::uint64_t kRecordAlign = alignof(PacketInternal);
static_assert(kRecordSize % kRecordAlign == 0, "record size is a multiple of its alignment");
static_assert(std::is_trivially_destructible<PacketInternal>::value,
              "a record inside a data block goes with the block");

void reportNoMemory(std::uint64_t size) {
    INFRA_DIAG(Infra::Detail::kLevelError, "PacketInternal::create(): malloc failured! size(%zu)\n",
               static_cast<std::size_t>(size));
}

}  // namespace

PacketInternal* PacketInternal::create(unsigned int size, unsigned int extraSize) {
    PacketManagerInternal* manager = PacketManagerInternal::instance();
    const int policy = manager->m_policy;
    if (INFRA_LIKELY(policy == CPacketManager::policySystem ||
                     policy == CPacketManager::policyPool)) {
        // One block: data, extra area, record in the last bytes (aligned for the record).
        const std::uint64_t alignment = manager->m_alignment;
        const std::uint64_t data = alignUp(size, alignment);
        const std::uint64_t tail = alignUp(std::uint64_t(extraSize) + kRecordSize, alignment);
        std::uint64_t request = data + tail;
        const std::uint64_t misalign = (request - kRecordSize) % kRecordAlign;
        if (misalign != 0) {
            request += kRecordAlign - misalign;
        }
        unsigned char* block = nullptr;
        unsigned int granted = static_cast<unsigned int>(request);
        if (INFRA_LIKELY(request <= 0xFFFFFFFFu)) {
            block = static_cast<unsigned char*>(manager->allocateBlock(granted));
        }
        if (INFRA_UNLIKELY(block == nullptr)) {
            INFRA_LOG_LEVEL(Infra::Detail::kLevelInfo,
                            "PacketInternal::create(): NO enough, need size(%zu) ext(%zu)\n",
                            static_cast<std::size_t>(size), static_cast<std::size_t>(extraSize));
            return nullptr;
        }
        // The pool grants whole runs of chunks (their ends are aligned for the record); the
        // system grants what was asked.
        const unsigned int capacity = policy == CPacketManager::policyPool
                                          ? static_cast<unsigned int>(granted - tail)
                                          : static_cast<unsigned int>(data);
        void* at = block + granted - kRecordSize;
        PacketInternal* record =
            new (at) PacketInternal(block, size, capacity, block + capacity, extraSize, kInBlock);
        record->m_blockSize = granted;
        return record;
    }
    if (policy == CPacketManager::policyPoolData) {
        unsigned char* data = nullptr;
        unsigned int granted = size;
        if (size > 0) {
            data = static_cast<unsigned char*>(manager->allocate(granted));
            if (data == nullptr) {
                INFRA_LOG_LEVEL(Infra::Detail::kLevelInfo,
                                "PacketInternal::create(): 2 NO enough, need size(%zu) ext(%zu)\n",
                                static_cast<std::size_t>(size),
                                static_cast<std::size_t>(extraSize));
                return nullptr;
            }
        } else {
            granted = 0;
        }
        const std::uint64_t sideSize = sideBlockSize<PacketInternal>(extraSize);
        void* side = sideSize <= 0xFFFFFFFFu ? std::malloc(sideSize) : nullptr;
        if (side == nullptr) {
            manager->release(data);
            reportNoMemory(sideSize);
            return nullptr;
        }
        return new (recordInSideBlock<PacketInternal>(side, extraSize))
            PacketInternal(data, size, granted, side, extraSize, kPoolData);
    }
    INFRA_DIAG_PLAIN(Infra::Detail::kLevelDebug, "tracepoint:\n");
    return nullptr;
}

PacketInternal* PacketInternal::createWindow(const CPacket& parent, unsigned int offset,
                                             unsigned int size, unsigned int extraSize) {
    const unsigned int parentSize = parent.size();
    // offset + size is never formed: it could wrap past 32 bits.
    if (offset >= parentSize || size > parentSize - offset || parent.getBuffer() == nullptr) {
        INFRA_DIAG(Infra::Detail::kLevelWarn,
                   "PacketInternal::create() offset or size is invalid!! huge_size(%zu), "
                   "offset(%zu), size(%zu)\n",
                   static_cast<std::size_t>(parentSize), static_cast<std::size_t>(offset),
                   static_cast<std::size_t>(size));
        return nullptr;
    }
    const std::uint64_t sideSize = sideBlockSize<WindowRecord>(extraSize);
    void* side = sideSize <= 0xFFFFFFFFu ? std::malloc(sideSize) : nullptr;
    if (side == nullptr) {
        reportNoMemory(sideSize);
        return nullptr;
    }
    return new (recordInSideBlock<WindowRecord>(side, extraSize))
        WindowRecord(parent, parent.getBuffer() + offset, size, side, extraSize);
}

PacketInternal* PacketInternal::createCaller(void* buffer, unsigned int size, bool withExtra,
                                             unsigned int extraSize,
                                             const CPacket::Deleter& deleter) {
    void* extra = nullptr;
    if (withExtra && extraSize > 0) {
        extra = std::malloc(extraSize);
        if (extra == nullptr) {
            reportNoMemory(extraSize);
            return nullptr;
        }
    }
    CallerRecord* record = new (std::nothrow) CallerRecord(
        static_cast<unsigned char*>(buffer), size, extra, withExtra ? extraSize : 0, deleter);
    if (record == nullptr) {
        std::free(extra);
        return nullptr;
    }
    return record;
}

PacketInternal* PacketInternal::createAttach(unsigned int size, const CPacket::Deleter& deleter,
                                             void* parameter, unsigned int extraSize) {
    void* extra = nullptr;
    if (extraSize > 0) {
        extra = std::malloc(extraSize);
        if (extra == nullptr) {
            reportNoMemory(extraSize);
            return nullptr;
        }
    }
    AttachRecord* record =
        new (std::nothrow) AttachRecord(size, extra, extraSize, deleter, parameter);
    if (record == nullptr) {
        std::free(extra);
        return nullptr;
    }
    return record;
}

unsigned int PacketInternal::putBuffer(const void* data, unsigned int length) {
    if (m_kind == kAttach) {
        // The caller's block is taken over as it is; the size stays within the capacity
        // announced at construction.
        m_buffer = static_cast<unsigned char*>(const_cast<void*>(data));
        m_size = data == nullptr ? 0 : (length < m_capacity ? length : m_capacity);
        return m_size;
    }
    const unsigned int room = m_capacity - m_size;
    const unsigned int n = length < room ? length : room;
    if (n > 0 && data != nullptr) {
        PacketManagerInternal::instance()->copy(m_buffer + m_size, data, n);
        m_size += n;
        return n;
    }
    return 0;
}

void PacketInternal::destroy() {
    switch (m_kind) {
        case kInBlock:
            // The record goes with the block.
            PacketManagerInternal::instance()->releaseBlock(m_buffer, m_blockSize);
            return;
        case kPoolData: {
            void* side = m_extraData;
            PacketManagerInternal::instance()->release(m_buffer);
            std::free(side);
            return;
        }
        case kWindow: {
            // Dropping the parent copy may give the parent's memory back; the window's own
            // block goes after it.
            void* side = m_extraData;
            static_cast<WindowRecord*>(this)->~WindowRecord();
            std::free(side);
            return;
        }
        case kCallerBuffer: {
            CallerRecord* record = static_cast<CallerRecord*>(this);
            void* extra = m_extraData;
            if (!record->deleter.empty()) {
                record->deleter(m_buffer, m_size);
            }
            delete record;
            std::free(extra);
            return;
        }
        case kAttach: {
            AttachRecord* record = static_cast<AttachRecord*>(this);
            std::free(m_extraData);
            if (m_buffer != nullptr && !record->deleter.empty()) {
                record->deleter(record->parameter, m_capacity);
            }
            delete record;
            return;
        }
    }
    INFRA_ASSERT_MSG(false, "PacketInternal::destroy(): unreachable!\n");
}

CPacket::CPacket() : m_internal(nullptr) {}

CPacket::CPacket(unsigned int size, unsigned int extraSize)
    : m_internal(PacketInternal::create(size, extraSize)) {}

CPacket::CPacket(void* buffer, unsigned int size, Deleter deleter)
    : m_internal(PacketInternal::createCaller(buffer, size, false, 0, deleter)) {}

CPacket::CPacket(void* buffer, unsigned int size, unsigned int extraSize, Deleter deleter)
    : m_internal(PacketInternal::createCaller(buffer, size, true, extraSize, deleter)) {}

CPacket::CPacket(unsigned int size, Deleter deleter, void* parameter, unsigned int extraSize)
    : m_internal(PacketInternal::createAttach(size, deleter, parameter, extraSize)) {}

CPacket::CPacket(const CPacket& parent, unsigned int offset, unsigned int size,
                 unsigned int extraSize)
    : m_internal(PacketInternal::createWindow(parent, offset, size, extraSize)) {}

CPacket::CPacket(const CPacket& other) : m_internal(other.m_internal) {
    if (m_internal != nullptr) {
        m_internal->addRef();
    }
}

CPacket& CPacket::operator=(const CPacket& other) {
    if (m_internal == other.m_internal) {
        return *this;
    }
    // Take the new reference first: `other` may live inside what the old record releases (a
    // window's parent copy).
    PacketInternal* incoming = other.m_internal;
    if (incoming != nullptr) {
        incoming->addRef();
    }
    PacketInternal* old = m_internal;
    m_internal = incoming;
    if (old != nullptr) {
        old->release();
    }
    return *this;
}

CPacket::~CPacket() {
    if (m_internal != nullptr) {
        m_internal->release();
    }
}

unsigned int CPacket::size() const {
    return m_internal != nullptr ? m_internal->size() : 0;
}

unsigned int CPacket::capacity() const {
    return m_internal != nullptr ? m_internal->capacity() : 0;
}

unsigned char* CPacket::getBuffer() const {
    return m_internal != nullptr ? m_internal->getBuffer() : nullptr;
}

void* CPacket::getExtraData() const {
    return m_internal != nullptr ? m_internal->getExtraData() : nullptr;
}

unsigned int CPacket::getExtraSize() const {
    return m_internal != nullptr ? m_internal->getExtraSize() : 0;
}

unsigned int CPacket::putBuffer(void* data, unsigned int length) {
    return m_internal != nullptr ? m_internal->putBuffer(data, length) : 0;
}

bool CPacket::resize(unsigned int n) {
    return m_internal != nullptr && m_internal->resize(n);
}

void CPacket::reset() {
    PacketInternal* old = m_internal;
    m_internal = nullptr;
    if (old != nullptr) {
        old->release();
    }
}

bool CPacket::valid() const {
    return m_internal != nullptr;
}

}  // namespace Memory
}  // namespace Tovix
