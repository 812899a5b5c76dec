// Platform, the posix side of the short-lock seam: futexes and membarrier on Linux; elsewhere a
// yield and no process-wide barrier.
#include "platform/AddressWait.h"

#include <sched.h>

#if defined(__linux__)
#include <linux/futex.h>
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace Tovix {
namespace Platform {

#if defined(__linux__)

void addressWait(std::atomic<int>* word, int expected) {
    syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr,
            0);
}

void addressWakeOne(std::atomic<int>* word) {
    syscall(SYS_futex, reinterpret_cast<int*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

bool processWideBarrierAvailable() {
    // Registration is once per process; the private expedited command fails without it.
    static const bool available = [] {
        const long commands = syscall(SYS_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
        if (commands < 0 || (commands & MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0) {
            return false;
        }
        return syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
    }();
    return available;
}

void processWideBarrier() {
    if (processWideBarrierAvailable()) {
        syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0);
    }
}

#else

void addressWait(std::atomic<int>* word, int expected) {
    if (word->load(std::memory_order_relaxed) == expected) {
        sched_yield();
    }
}

void addressWakeOne(std::atomic<int>*) {}

bool processWideBarrierAvailable() {
    return false;
}

void processWideBarrier() {}

#endif

}  // namespace Platform
}  // namespace Tovix
