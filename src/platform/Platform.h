// The operating-system seam. Portable code reaches the OS only through these plain functions
// and small handle types; src/platform/posix/ and src/platform/win32/ implement them. Nothing
// here throws; failures are results.
#ifndef INFRA_PLATFORM_PLATFORM_H
#define INFRA_PLATFORM_PLATFORM_H

#include <cstddef>
#include <cstdint>

namespace Tovix {
namespace Platform {

// ---- Locks ----------------------------------------------------------------------------------

// A mutex that its owner may take again (each lock needs one unlock). When its owner ends
// without unlocking it, the mutex is "abandoned": the next thread to take it receives it (with a
// nesting count of 1) and is told so.
struct RecursiveMutex;

// How taking a recursive mutex ended.
enum class LockResult {
    kAcquired,   // taken (or taken again by its owner)
    kAbandoned,  // taken from an owner that ended without unlocking; usable again from now on
    kFailed,     // not taken: busy (when not waiting) or the wait failed
};

// Null when the OS refused to create one.
RecursiveMutex* recursiveMutexCreate();
void recursiveMutexDestroy(RecursiveMutex* mutex);
// Takes the mutex, waiting for it when `wait`, else only when it is free or already the caller's.
LockResult recursiveMutexAcquire(RecursiveMutex* mutex, bool wait);
// recursiveMutexAcquire(mutex, true), an abandoned mutex counting as taken.
void recursiveMutexLock(RecursiveMutex* mutex);
// True when taken without waiting (also when the caller already owns it, or it was abandoned).
bool recursiveMutexTryLock(RecursiveMutex* mutex);
// False when the caller does not own the mutex.
bool recursiveMutexUnlock(RecursiveMutex* mutex);

// ---- Counting semaphore ---------------------------------------------------------------------

struct Semaphore;

// Null when the OS refused to create one or the counts are out of range.
Semaphore* semaphoreCreate(long initialCount, long maximumCount);
void semaphoreDestroy(Semaphore* semaphore);
// Takes one unit. timeoutMs < 0 waits without limit; 0 only tries. True when a unit was taken.
// Waiting is measured on a monotonic clock, so setting the system time does not disturb it.
bool semaphoreWait(Semaphore* semaphore, long long timeoutMs);
// The same as one of the library's blocking points: a cancel of the calling thread
// (threadCancel) ends the thread in this wait.
bool semaphoreWaitCancellable(Semaphore* semaphore, long long timeoutMs);
// Releases one unit; false when the count would pass its maximum.
bool semaphorePost(Semaphore* semaphore);

// ---- Thread-local slots ---------------------------------------------------------------------

using TlsKey = std::uintptr_t;
constexpr TlsKey kInvalidTlsKey = ~static_cast<TlsKey>(0);

// kInvalidTlsKey when no slot could be allocated.
TlsKey tlsAlloc();
void tlsFree(TlsKey key);
bool tlsSet(TlsKey key, const void* value);
// Null when never set on this thread.
void* tlsGet(TlsKey key);

// Runs proc(value) once when the calling thread ends, for threads of any origin. On Windows the
// thread's C++ thread-local variables may be gone (they come back zeroed: threads of the threads
// library) or still alive, to be torn down after `proc` (threads of the system's own call), so
// `proc` reaches its state through `value` and the slots above alone. False, with nothing
// registered, when the thread is already running its exit procedures or no memory is left: the
// caller keeps nothing for the thread.
bool atThreadExit(void (*proc)(void*), void* value);
// Whether a thread's C++ thread-local variables may still be used while its exit procedures run.
#if defined(_WIN32)
constexpr bool kThreadLocalsOutliveExitProcs = false;
#else
constexpr bool kThreadLocalsOutliveExitProcs = true;
#endif

// ---- Threads --------------------------------------------------------------------------------

// The kernel's id of the calling thread (what debuggers and process tables show).
int currentThreadId();
// currentThreadId() as decimal text (cached per thread); *length receives its length.
const char* currentThreadIdText(int* length);
// The id of the calling process.
int currentProcessId();
// Sleeps at least `milliseconds`; 0 yields the processor.
void sleepMilliseconds(unsigned int milliseconds);

// ---- Console and debugger output ----------------------------------------------------------

// Whether colour switches reach a console at all (POSIX: standard output is a terminal). When
// false, the attribute functions below do nothing.
bool consoleColoursActive();
// Console text attributes use the bits red 4, green 2, blue 1 (intensity 8).
// Reads the console's current attribute (POSIX: plain white, 7).
unsigned short consoleGetTextAttribute();
// Switches the colour of what standard output writes next; nothing when it is not a terminal.
void consoleSetTextAttribute(unsigned short attribute);
// Restores `saved` (POSIX: the reset sequence); nothing when standard output is not a terminal.
void consoleRestoreTextAttribute(unsigned short saved);
// Hands `text` to an attached debugger (nothing on POSIX).
void debuggerOutput(const char* text);

// ---- Program images ---------------------------------------------------------------------

struct AddressRange {
    std::uintptr_t begin;
    std::uintptr_t end;  // one past the last byte
};

// The read-only parts of the main program's image and of this library's own image: bytes there
// (string literals among them) never change while the process, or this library, is loaded.
// Writes up to `capacity` ranges and returns how many; 0 when they cannot be found.
int readOnlyImageRanges(AddressRange* ranges, int capacity);

}  // namespace Platform
}  // namespace Tovix

#endif  // INFRA_PLATFORM_PLATFORM_H
