/// @file
/// Named, supervised threads: CThread (derive and supply threadProc), CThreadLite (a thread whose
/// body is a callable), systemCall and getCurrectProcessID.
///
/// A CThread owns one operating-system thread at a time. Besides the thread itself it carries a
/// name (at most 31 characters, also given to the OS thread, which keeps its first 15 bytes), an
/// abstract priority (1 most urgent … 127 least; the main thread counts as 64) with a scheduling
/// policy (1 real-time, else normal), a cooperative stop flag read through looping(), and a
/// supervision deadline: a thread whose deadline has passed is reported as timed out by the
/// thread manager (ThreadManager.h), nothing more. While its body runs, the thread is listed in
/// the process-wide thread registry.
///
/// Thread ids are the kernel's thread ids (what debuggers, `top -H` and the log prefix show).
/// Failures are reported by results and diagnostic lines; nothing throws.
#ifndef INFRA_THREAD_H
#define INFRA_THREAD_H

#include "infra/Defs.h"
#include "infra/Function.h"

namespace Tovix {
namespace Infra {

struct ThreadInternal;
namespace Detail {
struct ThreadAccess;
}

/// A thread object; derived classes supply the body. All operations may be called from any
/// thread. The object must outlive its thread's body, and a derived class whose threadProc uses
/// its own members must stop the thread in its own destructor (the base destructor runs after
/// those members are gone). Destroying a CThread from its own thread is a caller error that ends
/// the process with the assertion report.
class INFRA_API CThread {
public:
    /// Records name (null gives "Nonamed"; longer names are cut to 31 characters), priority,
    /// policy and stack size (0: the system default; else at least 64 KiB, room for the library's
    /// own frames, and rounded up to what the system accepts).
    /// Starts nothing.
    CThread(const char* name, int priority = 64, int policy = 0, int stackSize = 0);
    /// Stops the thread if it runs (destroyThread), waits for its body to end and reclaims it.
    virtual ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    /// Starts the thread; its body calls threadProc() once. False (with a diagnostic) when a body
    /// of this object still runs, or when the system refuses a thread. The priority is applied as
    /// a scheduling hint; lacking the privilege to raise it never makes this fail. An object may
    /// be started again once the previous body has returned.
    bool createThread();

    /// Clears the loop flag and, called from another thread, waits until the body has returned.
    /// Called from the thread itself it returns at once. True when a stop was issued; false (with
    /// a diagnostic) when the thread is not running or a stop is already under way.
    bool destroyThread();

    /// destroyThread(), then forcible termination; true only when the body has ended (or was
    /// already over). False when there never was a thread, or when the body does not end: a body
    /// still running at that point (it ignored the stop, or another stop request is already under
    /// way) is cancelled at the library's blocking points, CThread::sleep() and CSemaphore::pend();
    /// a body waiting in one ends there and is waited for; one running elsewhere is given about a
    /// second to reach one, and one that blocks in other waits or I/O, or never reaches a blocking
    /// point, gives false (with a diagnostic; the cancel stays pending for its next blocking
    /// point). Called from the thread itself, it returns true and the thread ends at its next
    /// blocking point. The end unwinds the body's stack as an exception would, so destructors run
    /// (scoped guards release their locks). Hazard: the body must not reach a blocking point inside
    /// a noexcept function (a destructor) or while it holds a lock that no destructor releases; a
    /// cancel there would end the process or leave the lock held.
    bool terminateThread();

    /// Clears the loop flag without waiting. False (with a diagnostic) when it was not set.
    bool cancelThread();

    /// True when no body runs and none is about to (the loop flag and the running flag clear).
    bool isThreadOver();

    /// The loop flag: set by createThread, cleared by the stop requests and when the body ends.
    /// A body is expected to run `while (looping())`.
    bool looping() const;

    /// The OS thread id of the current or last body; -1 before a body has started.
    int getThreadID();

    /// The name. The text may change under the caller when another thread renames the object.
    const char* getThreadName();
    /// Copies at most 31 characters (null gives "Nonamed"), also to the OS thread if it runs.
    void setThreadName(const char* name);

    /// Marks the object as wanting its own stack size (no other effect).
    void enableStackSize();

    /// Sets the supervision deadline to `milliseconds` from now on the CTime::getCurrentMilliSecond
    /// clock; 0 clears it (not supervised); a negative value sets a deadline already passed.
    void setTimeout(int milliseconds);
    /// The same, with the caller's reading `now` of that clock.
    void setTimeout(int milliseconds, unsigned long long now);
    /// True when a deadline is set and has passed.
    bool isTimeout();

    /// Sets (or with 0 clears) the deadline of the calling thread's own CThread. False when the
    /// caller is not the body of a CThread.
    static bool setCurrentTimeout(int milliseconds);

    /// The calling thread's OS thread id (the id the log prefix shows).
    static int getCurrentThreadID();

    /// Sleeps at least `milliseconds` (0 yields; a negative value counts as 0). A blocking point:
    /// a thread being terminated (terminateThread) ends here.
    static void sleep(int milliseconds);

    /// Accepts 1 … 100 and does nothing else; other values are logged as errors.
    static void load(int percent);

    /// Returns `socket` unchanged.
    int shareSocket(int socket);

protected:
    /// The body; called once per createThread on the new thread.
    virtual void threadProc() = 0;

private:
    friend struct Detail::ThreadAccess;
    ThreadInternal* m_internal;
};

/// A thread whose body is a callable: proc(*this) is called once per run and loops on
/// looping() itself.
class INFRA_API CThreadLite : public CThread {
public:
    CThreadLite(TFunction1<void, CThreadLite&> proc, const char* name, int priority = 64,
                int policy = 0, int stackSize = 0);
    /// Stops the thread (destroyThread) while the callable still exists.
    ~CThreadLite() override;

private:
    void threadProc() override;

    TFunction1<void, CThreadLite&>* m_proc;
};

/// Runs a command line and waits for the program to end. The line is split into words at blanks
/// (spaces and tabs); double quotes group words and are removed. The first word names the program,
/// searched on the PATH. Returns 0 when the program ran (its exit status is not examined), -1
/// when it could not be started or the line is 260 characters or longer (then nothing is
/// started), 1 for a null command.
INFRA_API int systemCall(const char* command);

/// The id of the calling process.
INFRA_API unsigned long long getCurrectProcessID();

}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_THREAD_H
