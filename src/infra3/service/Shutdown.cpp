// Service: the orderly end of the library's background work (timers, asynchronous sinks, the
// log's buffers).
#include "infra/Shutdown.h"

#include <atomic>

#include "infra/PrintLog.h"
#include "infra3/service/ServiceInternal.h"
#include "infra3/thread/TimerInternal.h"

namespace Tovix {
namespace Infra {

bool shutdown(unsigned int waitMilliseconds) {
    static std::atomic<bool> begun{false};
    if (begun.exchange(true, std::memory_order_acq_rel)) {
        return !Detail::timerCallbacksRunning();
    }
    const bool finished = Detail::shutdownTimers(waitMilliseconds);
    // Lines logged by the last callbacks are in the sinks' queues by now.
    Detail::stopAsyncSinks();
    flushLog();
    return finished;
}

}  // namespace Infra
}  // namespace Tovix
