/// @file
/// The umbrella header: every public header of the library except the legacy global classes,
/// which have their own umbrella, <infra/Legacy.h>. Without them, `using namespace Tovix::Infra;`
/// and `using namespace Tovix::Memory;` leave names such as CTime, CMutex and CPacket
/// unambiguous.
#ifndef INFRA_INFRA_H
#define INFRA_INFRA_H

#include "infra/Assert.h"
#include "infra/AsyncSink.h"
#include "infra/Base64.h"
#include "infra/Buffer.h"
#include "infra/CharSet.h"
#include "infra/Client.h"
#include "infra/ComPtr.h"
#include "infra/Component.h"
#include "infra/ComponentHelper.h"
#include "infra/Crc.h"
#include "infra/Defs.h"
#include "infra/Error.h"
#include "infra/FactoryUnknown.h"
#include "infra/File.h"
#include "infra/FileFind.h"
#include "infra/FlexString.h"
#include "infra/Function.h"
#include "infra/LfsFile.h"
#include "infra/Md5.h"
#include "infra/MemPool.h"
#include "infra/Mutex.h"
#include "infra/ObjectTable.h"
#include "infra/Packet.h"
#include "infra/PacketManager.h"
#include "infra/PrintCore.h"
#include "infra/PrintLog.h"
#include "infra/RWMutex.h"
#include "infra/Semaphore.h"
#include "infra/Sha1.h"
#include "infra/SharePacket.h"
#include "infra/Shutdown.h"
#include "infra/StringUtil.h"
#include "infra/Thread.h"
#include "infra/ThreadManager.h"
#include "infra/ThreadSpecific.h"
#include "infra/Time.h"
#include "infra/Timer.h"
#include "infra/TripleDes.h"
#include "infra/Version.h"

#endif  // INFRA_INFRA_H
