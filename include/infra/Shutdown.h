/// @file
/// The orderly end of the library's background work, for a service that is about to exit.
#ifndef INFRA_SHUTDOWN_H
#define INFRA_SHUTDOWN_H

#include "infra/Defs.h"

namespace Tovix {
namespace Infra {

/// Ends the library's background work in order, for a service that is about to exit:
/// 1. Every timer stops for good: nothing is dispatched any more, and CTimer::start (like
///    CTimer::stop(true) of a one-shot timer) returns false from then on.
/// 2. The timer manager thread and the idle pooled workers end; they are waited for.
/// 3. Callbacks still running are waited for, up to `waitMilliseconds` (0: not at all). A
///    callback is never interrupted, and one running on the calling thread is not waited for;
///    the worker of each ends once its callback returns.
/// 4. Every asynchronous sink (CAsyncSink) delivers the lines it holds and ends its thread; a
///    line given to it afterwards is delivered on the logging thread.
/// 5. The log is flushed (flushLog).
///
/// Logging keeps working afterwards. Returns true when no callback was left running. Only the
/// first call does this; a later one, or one made while the first runs, returns at once and
/// tells whether no callback runs any more.
INFRA_API bool shutdown(unsigned int waitMilliseconds);

}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SHUTDOWN_H
