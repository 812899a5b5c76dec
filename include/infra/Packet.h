/// @file
/// Reference-counted packets: a handle that shares one packet record among all its copies.
///
/// A packet has a data area (buffer, size in use, capacity) and an optional small extra area for
/// the caller's metadata. Its memory comes from one of four origins:
///   - allocated: CPacket(size, extraSize) takes the memory from the packet manager
///     (PacketManager.h) according to its policy. Under policies 1 and 2 data, extra area and
///     record share one block, so a packet costs one allocation;
///   - the caller's buffer, released through a deleter called once with (buffer, size) when the
///     last copy goes;
///   - attach-later: no buffer at first; putBuffer() attaches the caller's block, and the
///     deleter is called once with (parameter, capacity) when the last copy goes;
///   - a window of another packet's data; the window keeps its parent alive as long as it lives.
///
/// The extra size is stored in 8 bits: a request above 255 keeps only its low 8 bits (the area
/// itself is allocated at the full requested size).
///
/// Threads: copies of one packet may be made and dropped on any threads (the count is atomic).
/// The data and sizes are not guarded: concurrent putBuffer()/resize() on one packet need the
/// caller's lock, and one CPacket object must not be assigned or reset while another thread
/// copies it.
#ifndef INFRA_PACKET_H
#define INFRA_PACKET_H

#include "infra/Defs.h"
#include "infra/Function.h"

namespace Tovix {
namespace Memory {

class PacketInternal;

class INFRA_API CPacket {
public:
    /// Called when the last copy of a packet goes: with (buffer, size) for a wrapped buffer,
    /// with (parameter, capacity) for an attach-later packet.
    typedef Infra::TFunction2<void, void*, unsigned int> Deleter;

    /// An invalid packet: every query answers 0/null/false.
    CPacket();

    /// An allocated packet whose size() is `size` right away (the data is not initialised) and
    /// whose capacity is at least `size`, with an extra area of `extraSize` bytes. Invalid when
    /// the memory is short (the manager logs why) or under policy 4.
    CPacket(unsigned int size, unsigned int extraSize);

    /// Wraps the caller's `buffer` of `size` bytes (size = capacity = `size`), no extra area.
    /// `deleter` (may be empty) is called once with (buffer, size()) when the last copy goes.
    CPacket(void* buffer, unsigned int size, Deleter deleter);

    /// The same with an extra area of `extraSize` bytes from the standard heap.
    CPacket(void* buffer, unsigned int size, unsigned int extraSize, Deleter deleter);

    /// Attach-later packet: no buffer yet, size = capacity = `size`. putBuffer(data, len)
    /// attaches `data` (nothing is copied) with size min(len, capacity). When the last copy goes
    /// and a buffer was attached, `deleter` (may be empty) is called once with (parameter,
    /// capacity).
    CPacket(unsigned int size, Deleter deleter, void* parameter, unsigned int extraSize);

    /// A window of `size` bytes at `offset` of `parent`'s data, with an extra area of its own
    /// (size = capacity = `size`). It shares the parent's memory and keeps the parent alive until
    /// the window itself is gone. Invalid (with a warning) unless offset < parent.size() and
    /// offset + size <= parent.size(), or when the parent has no buffer.
    CPacket(const CPacket& parent, unsigned int offset, unsigned int size, unsigned int extraSize);

    /// Shares the record (one more reference).
    CPacket(const CPacket& other);
    /// Shares `other`'s record and drops this one's reference (nothing when both already share
    /// one record).
    CPacket& operator=(const CPacket& other);
    /// Drops this copy's reference; the last one gives the memory back.
    virtual ~CPacket();

    /// Bytes in use.
    unsigned int size() const;
    /// Bytes the data area holds.
    unsigned int capacity() const;
    /// Start of the data area; null for an invalid packet.
    unsigned char* getBuffer() const;
    /// The extra area; null when its stored size is 0.
    void* getExtraData() const;
    /// The stored (8-bit) extra size.
    unsigned int getExtraSize() const;

    /// Appends min(length, capacity - size) bytes and returns that count (0 when full or
    /// invalid); it never grows the packet. On an attach-later packet it attaches `data` instead
    /// (see the constructor) and returns the size taken.
    unsigned int putBuffer(void* data, unsigned int length);

    /// Sets the size; false for an invalid packet or n > capacity().
    bool resize(unsigned int n);

    /// Drops this copy's reference and makes it invalid.
    void reset();

    /// True when the packet holds a record.
    bool valid() const;

private:
    PacketInternal* m_internal;
};

}  // namespace Memory
}  // namespace Tovix

#endif  // INFRA_PACKET_H
