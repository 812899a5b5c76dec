// The umbrella header: every public header of the library, the legacy ones too.
#ifndef INFRA_INFRA_H
#define INFRA_INFRA_H

#include "infra/Assert.h"
#include "infra/Defs.h"
#include "infra/Error.h"
#include "infra/FlexString.h"
#include "infra/Function.h"
#include "infra/Mutex.h"
#include "infra/PrintCore.h"
#include "infra/PrintLog.h"
#include "infra/Semaphore.h"
#include "infra/ThreadSpecific.h"
#include "infra/Time.h"
#include "infra/legacy/Mutex.h"

#endif  // INFRA_INFRA_H
