// POSIX thread and process identities, sleeping.
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Platform.h"

namespace Tovix {
namespace Platform {

namespace {

// The kernel id never changes for a thread: read it once, and its text once. Initial-exec TLS is
// a plain thread-pointer access (no call to look the block up).
__attribute__((tls_model("initial-exec"))) thread_local int t_threadId = 0;

struct ThreadIdText {
    int length;
    char digits[12];
};

__attribute__((tls_model("initial-exec"))) thread_local ThreadIdText t_threadIdText = {0, {}};

// A forked child runs the forking thread under a new id: forget the cached one.
void forgetThreadIdInChild() {
    t_threadId = 0;
    t_threadIdText.length = 0;
}

void registerForkHandler() {
    static const bool registered = pthread_atfork(nullptr, nullptr, &forgetThreadIdInChild) == 0;
    (void)registered;
}

}  // namespace

int currentThreadId() {
    int id = t_threadId;
    if (id == 0) {
        registerForkHandler();
        id = static_cast<int>(::syscall(SYS_gettid));
        t_threadId = id;
    }
    return id;
}

const char* currentThreadIdText(int* length) {
    ThreadIdText& text = t_threadIdText;
    if (text.length == 0) {
        // A kernel thread id is positive; write its digits once.
        char reversed[12];
        int n = 0;
        unsigned int id = static_cast<unsigned int>(currentThreadId());
        do {
            reversed[n++] = static_cast<char>('0' + id % 10);
            id /= 10;
        } while (id != 0 && n < 11);
        for (int i = 0; i < n; ++i) {
            text.digits[i] = reversed[n - 1 - i];
        }
        text.length = n;
    }
    *length = text.length;
    return text.digits;
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
