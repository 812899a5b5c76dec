// Platform, Windows manual-reset event: the kernel object itself.
#include <windows.h>

#include <new>

#include "platform/Event.h"

namespace Tovix {
namespace Platform {

struct ManualResetEvent {
    HANDLE handle;
};

ManualResetEvent* manualResetEventCreate() {
    const HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (handle == nullptr) {
        return nullptr;
    }
    ManualResetEvent* e = new (std::nothrow) ManualResetEvent{handle};
    if (e == nullptr) {
        CloseHandle(handle);
    }
    return e;
}

void manualResetEventDestroy(ManualResetEvent* event) {
    if (event != nullptr) {
        CloseHandle(event->handle);
        delete event;
    }
}

void manualResetEventSet(ManualResetEvent* event) {
    SetEvent(event->handle);
}

void manualResetEventReset(ManualResetEvent* event) {
    ResetEvent(event->handle);
}

void manualResetEventWait(ManualResetEvent* event) {
    WaitForSingleObject(event->handle, INFINITE);
}

}  // namespace Platform
}  // namespace Tovix
