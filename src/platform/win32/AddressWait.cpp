// Platform, the Windows side of the short-lock seam: WaitOnAddress, and no process-wide barrier
// offered.
#include "platform/AddressWait.h"

#include "WindowsHeader.h"

namespace Tovix {
namespace Platform {

void addressWait(std::atomic<int>* word, int expected) {
    WaitOnAddress(reinterpret_cast<volatile VOID*>(word), &expected, sizeof expected, INFINITE);
}

void addressWakeOne(std::atomic<int>* word) {
    WakeByAddressSingle(reinterpret_cast<PVOID>(word));
}

// FlushProcessWriteBuffers is the system's call for this, but not every implementation of the
// interface makes the other threads pass a barrier (under the compatibility layer the Windows
// suite runs on, threads were seen entering together), so the locks built on it are not offered
// the barrier here.
bool processWideBarrierAvailable() {
    return false;
}

void processWideBarrier() {}

}  // namespace Platform
}  // namespace Tovix
