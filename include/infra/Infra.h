// The umbrella header: every public header of the library, the legacy ones too.
#ifndef INFRA_INFRA_H
#define INFRA_INFRA_H

#include "infra/Assert.h"
#include "infra/Base64.h"
#include "infra/Crc.h"
#include "infra/Defs.h"
#include "infra/Error.h"
#include "infra/FlexString.h"
#include "infra/Function.h"
#include "infra/Md5.h"
#include "infra/Mutex.h"
#include "infra/PrintCore.h"
#include "infra/PrintLog.h"
#include "infra/RWMutex.h"
#include "infra/Semaphore.h"
#include "infra/Sha1.h"
#include "infra/StringUtil.h"
#include "infra/ThreadSpecific.h"
#include "infra/Time.h"
#include "infra/TripleDes.h"
#include "infra/Version.h"
#include "infra/legacy/Mutex.h"

#endif  // INFRA_INFRA_H
