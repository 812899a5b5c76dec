/// @file
/// The legacy global-namespace packet API, kept for older callers. New code uses
/// Tovix::Memory::CPacket and Tovix::Memory::CPacketManager.
///
/// The old packet calls the extra area its "header"; every packet it creates gets the
/// process-wide default header size (128 until IPacketManager::config() sets it).
#ifndef INFRA_LEGACY_PACKET_H
#define INFRA_LEGACY_PACKET_H

#include "infra/Defs.h"
#include "infra/Function.h"
#include "infra/Packet.h"

/// A handle on a Tovix::Memory::CPacket. An invalid packet (creation failed, or default-built)
/// answers 0/null to every query.
class INFRA_API CPacket {
public:
    /// Invalid.
    CPacket();
    /// A packet of GetLength() = `size` with the default header size; invalid on failure and
    /// for a `size` beyond 32 bits (never a packet of the size cut to 32 bits).
    CPacket(unsigned long size);
    /// Attach-later packet of `size` bytes with the default header size (see
    /// Tovix::Memory::CPacket): PutBuffer() attaches the caller's block, and `deleter` is called
    /// with (parameter, size) when the last copy goes.
    CPacket(unsigned int size, Tovix::Infra::TFunction2<void, void*, unsigned int> deleter,
            void* parameter);
    /// Share the source's packet (invalid when the source is).
    CPacket(const CPacket& other);
    CPacket(const Tovix::Memory::CPacket& other);
    ~CPacket();
    /// Shares the source's packet, or becomes invalid (releasing its own) when the source is.
    CPacket& operator=(const CPacket& other);

    /// A copy of the inner packet, or an invalid packet.
    operator Tovix::Memory::CPacket() const;

    bool Valid();
    bool Valid() const;
    bool Invalid();
    bool Invalid() const;

    /// The capacity.
    unsigned long GetSize() const;
    /// Appends (see Tovix::Memory::CPacket::putBuffer); returns the bytes taken.
    unsigned long PutBuffer(void* data, unsigned long length);
    unsigned char* GetBuffer() const;
    /// 1 when the length was set (length <= GetSize()), else 0.
    unsigned long SetLength(unsigned long length);
    unsigned long GetLength() const;
    /// GetSize() - GetLength().
    unsigned long GetLeft() const;
    /// The header (extra area); null when its stored size is 0.
    unsigned char* GetHeader() const;
    unsigned long GetHeaderSize() const;
    /// Zeroes the header.
    void ClearHeader();

private:
    Tovix::Memory::CPacket* m_packet;
};

/// The legacy face of the packet manager.
class INFRA_API IPacketManager {
public:
    virtual ~IPacketManager();
    /// Bytes managed by the pool (0 without one).
    virtual unsigned int GetBufferSize() = 0;
    /// Free bytes of the pool (0 without one).
    virtual unsigned int GetFreeSize() = 0;
    /// Logs the pool's free lists (see Tovix::Memory::CPacketManager::dumpNodes).
    virtual void DumpNodes() = 0;

    /// The manager; never null, never destroyed.
    static IPacketManager* instance();

    /// Sets the default header size (0..255; anything else is refused with a warning) and
    /// configures the pool policy (3) with {totalSize, chunkSize, alignment 4} through
    /// Tovix::Memory::CPacketManager::config(): its checks and its once-only rule apply, so
    /// after the first use only the default header size changes.
    static void config(int totalSize, int chunkSize, int headerSize);

protected:
    IPacketManager();
    IPacketManager(const IPacketManager& other);
    IPacketManager& operator=(const IPacketManager& other);
};

#endif  // INFRA_LEGACY_PACKET_H
