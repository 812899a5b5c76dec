/// @file
/// The umbrella header of the legacy global classes: CMutex and CGuard, CPacket and
/// CPacketManager, and CTime in the global namespace. Kept apart from <infra/Infra.h>: a file that
/// includes both and says `using namespace Tovix::Infra;` (or Tovix::Memory) must name the
/// library's classes with their namespace, since the global ones have the same names.
#ifndef INFRA_LEGACY_H
#define INFRA_LEGACY_H

#include "infra/legacy/Mutex.h"
#include "infra/legacy/Packet.h"
#include "infra/legacy/Time.h"

#endif  // INFRA_LEGACY_H
