// POSIX thread and process identities, sleeping.
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Platform.h"

namespace Tovix {
namespace Platform {

int currentThreadId() {
    // The kernel id never changes for a thread: read it once.
    static thread_local int id = static_cast<int>(::syscall(SYS_gettid));
    return id;
}

int currentProcessId() {
    return static_cast<int>(::getpid());
}

void sleepMilliseconds(unsigned int milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    timespec request{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&request, &request) != 0 && errno == EINTR) {
    }
}

}  // namespace Platform
}  // namespace Tovix
