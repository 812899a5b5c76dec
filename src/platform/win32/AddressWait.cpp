// The Windows side of the short-lock seam: WaitOnAddress and FlushProcessWriteBuffers.
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

bool processWideBarrierAvailable() {
    return true;
}

void processWideBarrier() {
    FlushProcessWriteBuffers();
}

}  // namespace Platform
}  // namespace Tovix
