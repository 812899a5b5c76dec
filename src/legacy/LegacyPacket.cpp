// Legacy: the legacy packet API over Tovix::Memory::CPacket and CPacketManager.
#include "infra/legacy/Packet.h"

#include <atomic>
#include <cstring>
#include <new>

#include "infra/PacketManager.h"
#include "infra3/core/Diagnostics.h"
#include "infra3/core/Singleton.h"

namespace {

// The extra size every legacy packet gets.
std::atomic<unsigned int> g_defaultHeaderSize{128};

// Keeps an inner packet only when it is valid.
Tovix::Memory::CPacket* keepValid(Tovix::Memory::CPacket* packet) {
    if (packet != nullptr && !packet->valid()) {
        delete packet;
        return nullptr;
    }
    return packet;
}

// The legacy manager: forwards to the packet manager.
class CPacketManager : public IPacketManager {
public:
    unsigned int GetBufferSize() override {
        return Tovix::Memory::CPacketManager::instance()->getBufferSize();
    }
    unsigned int GetFreeSize() override {
        return Tovix::Memory::CPacketManager::instance()->getFreeSize();
    }
    void DumpNodes() override { Tovix::Memory::CPacketManager::instance()->dumpNodes(); }
};

}  // namespace

CPacket::CPacket() : m_packet(nullptr) {}

// A size past 32 bits is refused rather than cut: the cut size would give a valid packet far
// smaller than asked for.
CPacket::CPacket(unsigned long size)
    : m_packet(size > 0xFFFFFFFFul ? nullptr
                                   : keepValid(new (std::nothrow) Tovix::Memory::CPacket(
                                         static_cast<unsigned int>(size),
                                         g_defaultHeaderSize.load(std::memory_order_relaxed)))) {}

CPacket::CPacket(unsigned int size, Tovix::Infra::TFunction2<void, void*, unsigned int> deleter,
                 void* parameter)
    : m_packet(keepValid(new (std::nothrow) Tovix::Memory::CPacket(
          size, deleter, parameter, g_defaultHeaderSize.load(std::memory_order_relaxed)))) {}

CPacket::CPacket(const CPacket& other)
    : m_packet(other.m_packet != nullptr ? new (std::nothrow)
                                               Tovix::Memory::CPacket(*other.m_packet)
                                         : nullptr) {}

CPacket::CPacket(const Tovix::Memory::CPacket& other)
    : m_packet(other.valid() ? new (std::nothrow) Tovix::Memory::CPacket(other) : nullptr) {}

CPacket::~CPacket() {
    delete m_packet;
}

CPacket& CPacket::operator=(const CPacket& other) {
    if (this == &other) {
        return *this;
    }
    if (other.m_packet == nullptr) {
        delete m_packet;
        m_packet = nullptr;
    } else if (m_packet != nullptr) {
        *m_packet = *other.m_packet;
    } else {
        m_packet = new (std::nothrow) Tovix::Memory::CPacket(*other.m_packet);
    }
    return *this;
}

CPacket::operator Tovix::Memory::CPacket() const {
    return m_packet != nullptr ? *m_packet : Tovix::Memory::CPacket();
}

bool CPacket::Valid() {
    return m_packet != nullptr;
}

bool CPacket::Valid() const {
    return m_packet != nullptr;
}

bool CPacket::Invalid() {
    return m_packet == nullptr;
}

bool CPacket::Invalid() const {
    return m_packet == nullptr;
}

unsigned long CPacket::GetSize() const {
    return m_packet != nullptr ? m_packet->capacity() : 0;
}

unsigned long CPacket::PutBuffer(void* data, unsigned long length) {
    if (m_packet == nullptr) {
        return 0;
    }
    // Lengths past 32 bits are cut to what a packet can take at most.
    const unsigned int n = length > 0xFFFFFFFFul ? 0xFFFFFFFFu : static_cast<unsigned int>(length);
    return m_packet->putBuffer(data, n);
}

unsigned char* CPacket::GetBuffer() const {
    return m_packet != nullptr ? m_packet->getBuffer() : nullptr;
}

unsigned long CPacket::SetLength(unsigned long length) {
    if (m_packet == nullptr || length > 0xFFFFFFFFul) {
        return 0;
    }
    return m_packet->resize(static_cast<unsigned int>(length)) ? 1 : 0;
}

unsigned long CPacket::GetLength() const {
    return m_packet != nullptr ? m_packet->size() : 0;
}

unsigned long CPacket::GetLeft() const {
    return m_packet != nullptr ? m_packet->capacity() - m_packet->size() : 0;
}

unsigned char* CPacket::GetHeader() const {
    return m_packet != nullptr ? static_cast<unsigned char*>(m_packet->getExtraData()) : nullptr;
}

unsigned long CPacket::GetHeaderSize() const {
    return m_packet != nullptr ? m_packet->getExtraSize() : 0;
}

void CPacket::ClearHeader() {
    if (m_packet != nullptr && m_packet->getExtraData() != nullptr) {
        std::memset(m_packet->getExtraData(), 0, m_packet->getExtraSize());
    }
}

IPacketManager::IPacketManager() = default;
IPacketManager::IPacketManager(const IPacketManager&) = default;
IPacketManager& IPacketManager::operator=(const IPacketManager&) = default;
IPacketManager::~IPacketManager() = default;

IPacketManager* IPacketManager::instance() {
    // Stateless, and never destroyed: callers running at exit may still ask for it.
    return Tovix::Infra::Detail::TSingleton<
        CPacketManager, Tovix::Infra::Detail::SingletonLifetime::kImmortal>::instance();
}

void IPacketManager::config(int totalSize, int chunkSize, int headerSize) {
    if (headerSize >= 0 && headerSize <= 255) {
        g_defaultHeaderSize.store(static_cast<unsigned int>(headerSize), std::memory_order_relaxed);
    } else {
        INFRA_DIAG(Tovix::Infra::Detail::kLevelWarn,
                   "IPacketManager::config(): header size %d refused (0 ... 255), keeping %u\n",
                   headerSize, g_defaultHeaderSize.load(std::memory_order_relaxed));
    }
    Tovix::Memory::CPacketManager::PoolParameter param{static_cast<unsigned int>(totalSize),
                                                       static_cast<unsigned int>(chunkSize), 4};
    Tovix::Memory::CPacketManager::config(Tovix::Memory::CPacketManager::policyPoolData, nullptr,
                                          &param);
}
