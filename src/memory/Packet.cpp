// Packets: the shared record and its four origins.
#include "infra/Packet.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "infra/Assert.h"
#include "infra/PrintLog.h"
#include "infra3/Diagnostics.h"
#include "memory/PacketManagerInternal.h"

namespace Tovix {
namespace Memory {

// The shared record of a packet. Destruction goes through destroy(), which knows where the
// record lives (inside the data block, beside the extra area, or on its own).
class PacketInternal {
public:
    virtual void destroy() = 0;
    virtual int addRef() = 0;
    virtual int release() = 0;
    virtual unsigned int putBuffer(const void* data, unsigned int length) = 0;
    virtual unsigned char* getBuffer() = 0;
    virtual unsigned int size() = 0;
    virtual bool resize(unsigned int n) = 0;
    virtual unsigned int capacity() = 0;
    virtual void* getExtraData() = 0;
    virtual unsigned int getExtraSize() = 0;

protected:
    PacketInternal() = default;
    ~PacketInternal() = default;
};

namespace {

enum PacketKind : unsigned char {
    kAllocated = 0,
    kWindow = 1,
    kCallerBuffer = 2,
};

}  // namespace

class OldPacketInternal final : public PacketInternal {
public:
    OldPacketInternal(unsigned char* buffer, unsigned int size, unsigned int capacity,
                      void* extraData, unsigned int extraSize, unsigned char kind)
        : m_refCount(1),
          m_buffer(buffer),
          m_size(size),
          m_capacity(capacity),
          m_extraData(extraData),
          m_extraSize(static_cast<unsigned char>(extraSize)),
          m_kind(kind),
          m_parent(nullptr),
          m_deleter(),
          m_attach(false),
          m_attachDeleter(),
          m_attachParameter(nullptr) {}

    ~OldPacketInternal() {
        if (m_attach) {
            std::free(m_extraData);
            if (m_buffer != nullptr && !m_attachDeleter.empty()) {
                m_attachDeleter(m_attachParameter, m_capacity);
            }
            return;
        }
        if (m_kind == kWindow) {
            delete m_parent;
        } else if (m_kind == kCallerBuffer && !m_deleter.empty()) {
            m_deleter(m_buffer, m_size);
        }
    }

    // The bytes a record with its extra area takes in its own heap block: the extra area at
    // the start (aligned for anything), the record after it.
    static std::uint64_t sideBlockSize(unsigned int extraSize) {
        return alignUp(extraSize, alignof(OldPacketInternal)) + sizeof(OldPacketInternal);
    }
    static OldPacketInternal* recordInSideBlock(void* block, unsigned int extraSize) {
        return reinterpret_cast<OldPacketInternal*>(static_cast<unsigned char*>(block) +
                                                    alignUp(extraSize, alignof(OldPacketInternal)));
    }

    static std::uint64_t alignUp(std::uint64_t x, std::uint64_t alignment) {
        return (x + alignment - 1) & ~(alignment - 1);
    }

    static OldPacketInternal* create(unsigned int size, unsigned int extraSize);
    static OldPacketInternal* createWindow(const CPacket& parent, unsigned int offset,
                                           unsigned int size, unsigned int extraSize);
    static OldPacketInternal* createCaller(void* buffer, unsigned int size, bool withExtra,
                                           unsigned int extraSize, CPacket::Deleter deleter);
    static OldPacketInternal* createAttach(unsigned int size, CPacket::Deleter deleter,
                                           void* parameter, unsigned int extraSize);

    void destroy() override;

    int addRef() override { return m_refCount.fetch_add(1, std::memory_order_relaxed) + 1; }

    int release() override {
        // The sole owner needs no read-modify-write: no other handle exists that another
        // thread could copy from (copying from the handle being dropped is the caller's race).
        // The acquire load still orders every earlier release of other copies before destroy.
        if (m_refCount.load(std::memory_order_acquire) == 1) {
            destroy();
            return 0;
        }
        const int count = m_refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (count == 0) {
            destroy();
        }
        return count;
    }

    unsigned int putBuffer(const void* data, unsigned int length) override {
        if (m_attach) {
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

    unsigned char* getBuffer() override { return m_buffer; }
    unsigned int size() override { return m_size; }

    bool resize(unsigned int n) override {
        if (n > m_capacity) {
            return false;
        }
        m_size = n;
        return true;
    }

    unsigned int capacity() override { return m_capacity; }
    void* getExtraData() override { return m_extraSize > 0 ? m_extraData : nullptr; }
    unsigned int getExtraSize() override { return m_extraSize; }

private:
    std::atomic<int> m_refCount;
    unsigned char* m_buffer;
    unsigned int m_size;
    unsigned int m_capacity;
    void* m_extraData;
    unsigned char m_extraSize;
    unsigned char m_kind;
    CPacket* m_parent;
    CPacket::Deleter m_deleter;
    bool m_attach;
    CPacket::Deleter m_attachDeleter;
    void* m_attachParameter;
};

namespace {

constexpr std::uint64_t kRecordSize = sizeof(OldPacketInternal);
constexpr std::uint64_t kRecordAlign = alignof(OldPacketInternal);
static_assert(kRecordSize % kRecordAlign == 0, "record size is a multiple of its alignment");

}  // namespace

OldPacketInternal* OldPacketInternal::create(unsigned int size, unsigned int extraSize) {
    PacketManagerInternal* manager = PacketManagerInternal::instance();
    const int policy = manager->m_policy;
    const std::uint64_t alignment = manager->m_alignment;
    if (policy == CPacketManager::policySystem || policy == CPacketManager::policyPool) {
        // One block: data, extra area, record in the last bytes (aligned for the record).
        const std::uint64_t data = alignUp(size, alignment);
        const std::uint64_t tail = alignUp(std::uint64_t(extraSize) + kRecordSize, alignment);
        std::uint64_t request = data + tail;
        const std::uint64_t misalign = (request - kRecordSize) % kRecordAlign;
        if (misalign != 0) {
            request += kRecordAlign - misalign;
        }
        unsigned char* block = nullptr;
        unsigned int granted = static_cast<unsigned int>(request);
        if (request <= 0xFFFFFFFFu) {
            block = static_cast<unsigned char*>(manager->allocate(granted));
        }
        if (block == nullptr) {
            logInfo("PacketInternal::create(): NO enough, need size(%zu) ext(%zu)\n",
                    static_cast<std::size_t>(size), static_cast<std::size_t>(extraSize));
            return nullptr;
        }
        // The pool grants whole runs of chunks (their ends are aligned for the record); the
        // system grants what was asked.
        const unsigned int capacity = policy == CPacketManager::policyPool
                                          ? static_cast<unsigned int>(granted - tail)
                                          : static_cast<unsigned int>(data);
        void* at = block + granted - kRecordSize;
        return new (at)
            OldPacketInternal(block, size, capacity, block + capacity, extraSize, kAllocated);
    }
    if (policy == CPacketManager::policyPoolData) {
        unsigned char* data = nullptr;
        unsigned int granted = size;
        if (size > 0) {
            data = static_cast<unsigned char*>(manager->allocate(granted));
            if (data == nullptr) {
                logInfo("PacketInternal::create(): 2 NO enough, need size(%zu) ext(%zu)\n",
                        static_cast<std::size_t>(size), static_cast<std::size_t>(extraSize));
                return nullptr;
            }
        } else {
            granted = 0;
        }
        const std::uint64_t sideSize = sideBlockSize(extraSize);
        void* side = sideSize <= 0xFFFFFFFFu ? std::malloc(sideSize) : nullptr;
        if (side == nullptr) {
            manager->release(data);
            INFRA_DIAG(Infra::Detail::kLevelError,
                       "PacketInternal::create(): malloc failured! size(%zu)\n",
                       static_cast<std::size_t>(sideSize));
            return nullptr;
        }
        return new (recordInSideBlock(side, extraSize))
            OldPacketInternal(data, size, granted, side, extraSize, kAllocated);
    }
    INFRA_DIAG_PLAIN(Infra::Detail::kLevelDebug, "tracepoint:\n");
    return nullptr;
}

OldPacketInternal* OldPacketInternal::createWindow(const CPacket& parent, unsigned int offset,
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
    const std::uint64_t sideSize = sideBlockSize(extraSize);
    void* side = sideSize <= 0xFFFFFFFFu ? std::malloc(sideSize) : nullptr;
    CPacket* parentCopy = side != nullptr ? new (std::nothrow) CPacket(parent) : nullptr;
    if (parentCopy == nullptr) {
        std::free(side);
        INFRA_DIAG(Infra::Detail::kLevelError,
                   "PacketInternal::create(): malloc failured! size(%zu)\n",
                   static_cast<std::size_t>(sideSize));
        return nullptr;
    }
    OldPacketInternal* record = new (recordInSideBlock(side, extraSize))
        OldPacketInternal(parent.getBuffer() + offset, size, size, side, extraSize, kWindow);
    record->m_parent = parentCopy;
    return record;
}

OldPacketInternal* OldPacketInternal::createCaller(void* buffer, unsigned int size, bool withExtra,
                                                   unsigned int extraSize,
                                                   CPacket::Deleter deleter) {
    void* extra = nullptr;
    if (withExtra && extraSize > 0) {
        extra = std::malloc(extraSize);
        if (extra == nullptr) {
            INFRA_DIAG(Infra::Detail::kLevelError,
                       "PacketInternal::create(): malloc failured! size(%zu)\n",
                       static_cast<std::size_t>(extraSize));
            return nullptr;
        }
    }
    OldPacketInternal* record =
        new (std::nothrow) OldPacketInternal(static_cast<unsigned char*>(buffer), size, size, extra,
                                             withExtra ? extraSize : 0, kCallerBuffer);
    if (record == nullptr) {
        std::free(extra);
        return nullptr;
    }
    record->m_deleter = deleter;
    return record;
}

OldPacketInternal* OldPacketInternal::createAttach(unsigned int size, CPacket::Deleter deleter,
                                                   void* parameter, unsigned int extraSize) {
    void* extra = nullptr;
    if (extraSize > 0) {
        extra = std::malloc(extraSize);
        if (extra == nullptr) {
            INFRA_DIAG(Infra::Detail::kLevelError,
                       "PacketInternal::create(): malloc failured! size(%zu)\n",
                       static_cast<std::size_t>(extraSize));
            return nullptr;
        }
    }
    OldPacketInternal* record =
        new (std::nothrow) OldPacketInternal(nullptr, size, size, extra, extraSize, kAllocated);
    if (record == nullptr) {
        std::free(extra);
        return nullptr;
    }
    record->m_attach = true;
    record->m_attachDeleter = deleter;
    record->m_attachParameter = parameter;
    return record;
}

void OldPacketInternal::destroy() {
    if (m_attach) {
        delete this;
        return;
    }
    switch (m_kind) {
        case kAllocated: {
            PacketManagerInternal* manager = PacketManagerInternal::instance();
            const int policy = manager->m_policy;
            unsigned char* buffer = m_buffer;
            void* side = m_extraData;
            if (policy == CPacketManager::policySystem || policy == CPacketManager::policyPool) {
                this->~OldPacketInternal();
                manager->release(buffer);
            } else if (policy == CPacketManager::policyPoolData) {
                this->~OldPacketInternal();
                manager->release(buffer);
                std::free(side);
            }
            return;
        }
        case kWindow: {
            void* side = m_extraData;
            this->~OldPacketInternal();
            std::free(side);
            return;
        }
        case kCallerBuffer: {
            void* extra = m_extraData;
            delete this;
            std::free(extra);
            return;
        }
        default:
            INFRA_ASSERT_MSG(false, "PacketInternal::destroy(): unreachable!\n");
    }
}

CPacket::CPacket() : m_internal(nullptr) {}

CPacket::CPacket(unsigned int size, unsigned int extraSize)
    : m_internal(OldPacketInternal::create(size, extraSize)) {}

CPacket::CPacket(void* buffer, unsigned int size, Deleter deleter)
    : m_internal(OldPacketInternal::createCaller(buffer, size, false, 0, deleter)) {}

CPacket::CPacket(void* buffer, unsigned int size, unsigned int extraSize, Deleter deleter)
    : m_internal(OldPacketInternal::createCaller(buffer, size, true, extraSize, deleter)) {}

CPacket::CPacket(unsigned int size, Deleter deleter, void* parameter, unsigned int extraSize)
    : m_internal(OldPacketInternal::createAttach(size, deleter, parameter, extraSize)) {}

CPacket::CPacket(const CPacket& parent, unsigned int offset, unsigned int size,
                 unsigned int extraSize)
    : m_internal(OldPacketInternal::createWindow(parent, offset, size, extraSize)) {}

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
