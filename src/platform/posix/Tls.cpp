// Platform: POSIX thread-local slots (pthread keys) and the procedures run as a thread ends (one
// key whose destructor runs the thread's list).
#include <pthread.h>

#include "platform/ExitProcs.h"
#include "platform/Tls.h"

namespace Tovix {
namespace Platform {

TlsKey tlsAlloc() {
    pthread_key_t key;
    if (pthread_key_create(&key, nullptr) != 0) {
        return kInvalidTlsKey;
    }
    return static_cast<TlsKey>(key);
}

void tlsFree(TlsKey key) {
    pthread_key_delete(static_cast<pthread_key_t>(key));
}

bool tlsSet(TlsKey key, const void* value) {
    return pthread_setspecific(static_cast<pthread_key_t>(key), value) == 0;
}

void* tlsGet(TlsKey key) {
    return pthread_getspecific(static_cast<pthread_key_t>(key));
}

namespace {

pthread_key_t g_exitKey;

void runExitProcs(void* list) {
    if (list == exitingMark()) {
        // Set again below only to refuse late registrations: nothing left to run.
        pthread_setspecific(g_exitKey, nullptr);
        return;
    }
    pthread_setspecific(g_exitKey, exitingMark());
    runExitList(static_cast<ExitProc*>(list));
}

bool exitKeyReady() {
    static const bool ready = pthread_key_create(&g_exitKey, &runExitProcs) == 0;
    return ready;
}

}  // namespace

bool atThreadExit(void (*proc)(void*), void* value) {
    if (proc == nullptr || !exitKeyReady()) {
        return false;
    }
    return addExitProc(static_cast<ExitProc*>(pthread_getspecific(g_exitKey)), proc, value,
                       [](ExitProc* head) { return pthread_setspecific(g_exitKey, head) == 0; });
}

}  // namespace Platform
}  // namespace Tovix
