// POSIX thread and process identities, sleeping.
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Platform.h"

namespace Tovix {
namespace Platform {

namespace {

// The kernel id never changes for a thread: read it once. Initial-exec TLS is a plain
// thread-pointer access (no call to look the block up); the variable is a single int.
__attribute__((tls_model("initial-exec"))) thread_local int t_threadId = 0;

}  // namespace

int currentThreadId() {
    int id = t_threadId;
    if (id == 0) {
        id = static_cast<int>(::syscall(SYS_gettid));
        t_threadId = id;
    }
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
