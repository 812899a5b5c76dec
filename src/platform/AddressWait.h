// Platform, the seam for short-held locks: waiting on a word until another thread changes it, and a
// memory barrier run on every thread of the process at once. Implemented by
// src/platform/posix/AddressWait.cpp and src/platform/win32/AddressWait.cpp.
#ifndef INFRA_PLATFORM_ADDRESSWAIT_H
#define INFRA_PLATFORM_ADDRESSWAIT_H

#include <atomic>

namespace Tovix {
namespace Platform {

// Blocks the calling thread while *word still holds `expected`, until addressWakeOne on the
// same word. May return early (spuriously); callers re-check the word in a loop.
void addressWait(std::atomic<int>* word, int expected);

// Wakes one thread blocked in addressWait on `word`, if any.
void addressWakeOne(std::atomic<int>* word);

// True when processWideBarrier() is available; the first call prepares it.
bool processWideBarrierAvailable();

// Makes every other running thread of the process pass a full memory barrier before this
// returns, so that a thread which orders its own accesses only for the compiler is still seen
// in order by the caller. Slow (microseconds): meant for rare events. Callers check
// processWideBarrierAvailable() first; without it the call does nothing.
void processWideBarrier();

}  // namespace Platform
}  // namespace Tovix

#endif  // INFRA_PLATFORM_ADDRESSWAIT_H
