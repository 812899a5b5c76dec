// Platform: Windows thread-local slots (TlsAlloc) and the procedures run as a thread ends (one
// fiber-local slot whose callback runs the thread's list).
#include "platform/Tls.h"
#include "WindowsHeader.h"
#include "platform/ExitProcs.h"

namespace Tovix {
namespace Platform {

TlsKey tlsAlloc() {
    const DWORD index = TlsAlloc();
    if (index == TLS_OUT_OF_INDEXES) {
        return kInvalidTlsKey;
    }
    return static_cast<TlsKey>(index);
}

void tlsFree(TlsKey key) {
    if (key != kInvalidTlsKey) {
        TlsFree(static_cast<DWORD>(key));
    }
}

bool tlsSet(TlsKey key, const void* value) {
    if (key == kInvalidTlsKey) {
        return false;
    }
    return TlsSetValue(static_cast<DWORD>(key), const_cast<void*>(value)) != FALSE;
}

void* tlsGet(TlsKey key) {
    if (key == kInvalidTlsKey) {
        return nullptr;
    }
    return TlsGetValue(static_cast<DWORD>(key));
}

namespace {

DWORD g_exitSlot = FLS_OUT_OF_INDEXES;

// Fiber-local storage calls this as the thread ends, after the runtime has torn down the
// thread's C++ thread-local variables.
void NTAPI runExitProcs(void* list) {
    if (list == nullptr || list == exitingMark()) {
        return;
    }
    FlsSetValue(g_exitSlot, exitingMark());
    runExitList(static_cast<ExitProc*>(list));
}

bool exitSlotReady() {
    static const bool ready = (g_exitSlot = FlsAlloc(&runExitProcs)) != FLS_OUT_OF_INDEXES;
    return ready;
}

}  // namespace

bool atThreadExit(void (*proc)(void*), void* value) {
    if (proc == nullptr || !exitSlotReady()) {
        return false;
    }
    return addExitProc(static_cast<ExitProc*>(FlsGetValue(g_exitSlot)), proc, value,
                       [](ExitProc* head) { return FlsSetValue(g_exitSlot, head) != FALSE; });
}

}  // namespace Platform
}  // namespace Tovix
