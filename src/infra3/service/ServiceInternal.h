// Service: what the library's shutdown call does to the services that run threads of their own
// (the asynchronous print sinks of AsyncSink.cpp); internal, shared by the service folder.
#ifndef INFRA_SRC_INFRA3_SERVICE_SERVICEINTERNAL_H
#define INFRA_SRC_INFRA3_SERVICE_SERVICEINTERNAL_H

#include "infra/Defs.h"

namespace Tovix {
namespace Infra {
namespace Detail {

// Exported for the tests.

// Waits until every live CAsyncSink has delivered the lines queued before the call: true when
// all have within `waitMilliseconds` (one deadline for all of them), false otherwise.
INFRA_API bool flushAsyncSinks(unsigned int waitMilliseconds);

// Every live CAsyncSink delivers what is queued and ends its thread; from then on each line given
// to one of them is delivered at once on the caller's thread. Waits without limit, as for the
// wrapped sinks to return. Adaptors created afterwards run normally. Also run at process exit.
INFRA_API void stopAsyncSinks();

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SRC_INFRA3_SERVICE_SERVICEINTERNAL_H
