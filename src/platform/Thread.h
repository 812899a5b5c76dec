// Platform, the thread seam: thread ids, sleeping, and starting, waiting for, naming, prioritising
// and cancelling operating-system threads, with the blocking points where a cancel takes effect.
// Implemented by src/platform/posix/Thread.cpp and src/platform/win32/Thread.cpp. Nothing here
// throws (a cancel unwinds the cancelled thread's stack; see CancellableWait).
#ifndef INFRA_PLATFORM_THREAD_H
#define INFRA_PLATFORM_THREAD_H

#include <cstddef>

namespace Tovix {
namespace Platform {

// ---- Identity and sleeping ------------------------------------------------------------------

// The kernel's id of the calling thread (what debuggers and process tables show).
int currentThreadId();
// currentThreadId() as decimal text (cached per thread); *length receives its length.
const char* currentThreadIdText(int* length);
// Sleeps at least `milliseconds`; 0 yields the processor.
void sleepMilliseconds(unsigned int milliseconds);

// ---- Started threads ------------------------------------------------------------------------

// One started thread. The handle stays valid until the last reference is dropped with
// threadClose() or threadRelease(), whichever comes last.
struct ThreadHandle;

using ThreadEntry = void (*)(void* argument);

// Starts a thread that calls entry(argument). `stackSize` 0 means the system default; other
// sizes are rounded up to what the system accepts. `windowsPriority` is a Windows thread
// priority (-15, -2 … 2, 15) that the new thread applies to itself first, as a scheduling hint:
// lacking the privilege to raise priority is no failure. On failure returns null and stores an
// errno-style code in *error.
//
// The new thread ignores cancellation except inside a CancellableWait (below), so that a cancel
// never unwinds through code that is not prepared for it (held locks, noexcept functions).
ThreadHandle* threadStart(ThreadEntry entry, void* argument, std::size_t stackSize,
                          int windowsPriority, int* error);

// Adds a reference, for a thread that waits on the handle while another may close it.
void threadRetain(ThreadHandle* handle);
// Drops a reference taken with threadRetain().
void threadRelease(ThreadHandle* handle);

// Waits for the thread to end, reclaims it (the first close joins it) and drops the creator's
// reference. Must not be called from the thread itself.
void threadClose(ThreadHandle* handle);

// Lets the thread be reclaimed by the system when it ends, with no one waiting for it: a later
// threadClose does not wait. The handle stays valid until its last reference is dropped. Never
// waits; for threads told to end where no one may wait for them (at exit).
void threadDetach(ThreadHandle* handle);

// Waits at most `timeoutMs` (< 0: without limit) for `entry` to have returned or the thread to
// have been cancelled; true when it has.
bool threadWaitDone(ThreadHandle* handle, long long timeoutMs);

// True when the thread no longer runs, however it ended: `entry` returned or unwound, or the
// system ended it (as Windows ends every other thread when the process exits). Never waits.
bool threadEnded(ThreadHandle* handle);

// True when the calling thread is the one of `handle`.
bool threadIsCurrent(const ThreadHandle* handle);

// What a cancel request found.
enum class CancelResult {
    kEnded,    // the thread had already ended
    kEnding,   // it waits at a blocking point (CancellableWait): it ends there now
    kPending,  // it runs elsewhere: it ends at its next blocking point, if it reaches one
    kFailed,   // the request could not be made
};

// Asks the thread to end at a blocking point (a CancellableWait: sleepCancellable(),
// semaphoreWaitCancellable()); the stack unwinds as for an exception, running destructors.
CancelResult threadCancel(ThreadHandle* handle);

// Brackets a wait of the calling thread at one of the library's blocking points. While it lasts,
// a cancel of the thread (threadCancel) ends the thread in the wait; leave() closes the bracket
// and acts on a cancel that arrived meanwhile (so a cancel reported as kEnding always takes
// effect). Threads that threadStart did not start are only marked, never cancelled by it.
class CancellableWait {
public:
    CancellableWait();
    // Without leave() (the wait is being unwound): closes the bracket, never throws.
    ~CancellableWait();
    CancellableWait(const CancellableWait&) = delete;
    CancellableWait& operator=(const CancellableWait&) = delete;

    void leave();
    // Windows: the event a cancel of the calling thread sets, for waits on several objects; null
    // for threads threadStart did not start, and on POSIX (where the wait itself is cancelled).
    void* cancelEvent() const;
    // Ends the calling thread now, as a cancel would (Windows: for a wait that saw cancelEvent).
    [[noreturn]] void cancelNow();

private:
    ThreadHandle* m_handle;
    int m_previousState;
    bool m_open;
};

// Sets the name debuggers and process tables show for the thread (its first 15 bytes). Nothing
// when the thread has ended.
void threadSetName(ThreadHandle* handle, const char* name);
// The same for the calling thread.
void currentThreadSetName(const char* name);

// Sleeps at least `milliseconds` (0 yields); a pending or arriving cancel of the calling
// thread takes effect here.
void sleepCancellable(unsigned int milliseconds);

}  // namespace Platform
}  // namespace Tovix

#endif  // INFRA_PLATFORM_THREAD_H
