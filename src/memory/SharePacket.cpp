// Memory, shared packets: this build has no cross-process transport, so packets stay as they are.
#include "infra/SharePacket.h"

namespace Tovix {
namespace Memory {

namespace {

CSharePacketHelper g_sharePacketHelper;

}  // namespace

CSharePacketHelper* CSharePacketHelper::instance() {
    return &g_sharePacketHelper;
}

bool CSharePacketHelper::initSharePacket(BaseArg* /*arg*/) {
    return false;
}

CPacket CSharePacketHelper::toDescribePacket(const CPacket& packet) {
    return packet;
}

CPacket CSharePacketHelper::toOriginalPacket(const CPacket& packet) {
    return packet;
}

CSharePacketHelper& CSharePacketHelper::operator=(const CSharePacketHelper& /*other*/) {
    return *this;
}

}  // namespace Memory
}  // namespace Tovix
