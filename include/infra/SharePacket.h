/// @file
/// The hook for sharing packets across process boundaries.
#ifndef INFRA_SHAREPACKET_H
#define INFRA_SHAREPACKET_H

#include "infra/Defs.h"
#include "infra/Packet.h"

namespace Tovix {
namespace Memory {

/// Arguments of initSharePacket(); this build reads none.
struct BaseArg {};

/// Converts packets to and from a form another process can map. This build has no shared
/// memory transport: packets are kept as they are and initSharePacket() reports that sharing is
/// not available. The object has no state.
class INFRA_API CSharePacketHelper {
public:
    /// The one helper object (a plain static; no lazy creation).
    static CSharePacketHelper* instance();

    /// Sets up sharing; always false here (not available).
    bool initSharePacket(BaseArg* arg);

    /// A copy of `packet` (one more reference on its record).
    CPacket toDescribePacket(const CPacket& packet);
    CPacket toOriginalPacket(const CPacket& packet);

    CSharePacketHelper& operator=(const CSharePacketHelper& other);
};

}  // namespace Memory
}  // namespace Tovix

#endif  // INFRA_SHAREPACKET_H
