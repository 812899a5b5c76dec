/// @file
/// Millisecond timers run on pooled worker threads: CTimer, and CTimerManager for the timer
/// table and the idle-pool limit.
///
/// One manager thread, "TimerManager", keeps every started timer ordered by its next due time and
/// wakes every 10 ms; a due timer is handed to a worker thread from an idle pool (a new worker is
/// started only when the pool is empty). Workers are named "[Pooled]" while idle and after their
/// timer while they run its callback. A timer runs at most one callback at a time: a firing that
/// finds the previous callback still running is dropped, and dropped firings are never made up
/// (a periodic timer keeps its phase). A timer's time-out becomes the worker's supervision
/// deadline, so a callback that overruns it shows as "Timeout" in the thread reports
/// (ThreadManager.h); it is never interrupted.
///
/// Callbacks run with no lock of the library held: a callback may start, stop, re-period, wait
/// for or destroy its own timer. The timer machinery lives until the process ends, so a program
/// may return from main while timers fire and callbacks run. When the process exits, timers stop
/// firing before the objects constructed ahead of the first timer are destroyed (an exit handler
/// registered by the first timer; on Windows it runs when the library is unloaded): nothing is
/// dispatched afterwards and start() fails. A callback already running is not waited for.
#ifndef INFRA_TIMER_H
#define INFRA_TIMER_H

#include "infra/Defs.h"
#include "infra/Function.h"

namespace Tovix {
namespace Infra {

struct TimerInternal;
class TimerManagerInternal;
namespace Detail {
enum class SingletonLifetime;
template <class T, SingletonLifetime Lifetime>
class TSingleton;
}  // namespace Detail

/// One timer. All operations may be called from any thread, callbacks included.
class INFRA_API CTimer {
public:
    /// A stopped timer named `name` (null gives "Nonamed"; longer names are cut to 31
    /// characters). The first timer starts the manager thread.
    explicit CTimer(const char* name);
    /// Stops the timer and waits until no callback of it runs (unless called from that callback,
    /// which may thus destroy its own timer).
    virtual ~CTimer();
    CTimer(const CTimer&) = delete;
    CTimer& operator=(const CTimer&) = delete;

    /// (Re)schedules the timer: `proc(param)` runs `delay` ms from now, then every `period` ms
    /// (0: once). Times are measured on CTime::getCurrentMilliSecond() and dispatched on a 10 ms
    /// tick, so a run comes between `delay` and about `delay` + 10 ms after the call. `timeout`
    /// (0: none) is the supervision deadline of each run. Statistics are switched off. True when
    /// scheduled; with `delay` 0 the first run is dispatched at once and the result tells whether
    /// it was (false when the previous callback still runs). False, and nothing changes, for an
    /// empty `proc` and once the process is exiting.
    bool start(TFunction1<void, unsigned long> proc, unsigned int delay, unsigned int period,
               unsigned long param = 0, unsigned int timeout = 0);

    /// Unschedules the timer; a running callback is not interrupted. With `callNow` a one-shot
    /// timer is dispatched at once instead (the result tells whether it was). False when the
    /// timer was not started.
    bool stop(bool callNow = false);

    /// stop(false), then waits until no callback of this timer runs (does not wait when called
    /// from that callback). Always true.
    bool stopAndWait();

    /// Replaces the period; a started timer's next due time moves by the difference (never
    /// before now).
    void setPeriodTime(unsigned int period);

    /// Accumulates the callback's running time (shown by CTimerManager::dumpTimers). start()
    /// switches it off, so enable it after start().
    void enableStat(bool enable);

    /// The name. The text may change under the caller when another thread renames the timer.
    const char* getName();
    /// Copies at most 31 characters (null gives "Nonamed").
    void setName(const char* name);

    /// Scheduled (in the manager's list).
    bool isStarted();
    /// A one-shot timer was dispatched since the last start().
    bool isCalled();
    /// A callback runs or is about to.
    bool isRunning();

private:
    TimerInternal* m_internal;
};

/// The timer machinery's public face. Never destroyed.
class INFRA_API CTimerManager {
public:
    /// The one instance; its first call starts the "TimerManager" thread. Never null.
    static CTimerManager* instance();

    /// Logs the table of started timers at information level (4), in due order (the newest first
    /// among equal times), e.g.
    ///   Timers: ( 73125 Milli-Seconds Elapsed )
    ///               Name            NextTime RunningTime Period   Used/Timeout State
    ///   ____________________________________________________________________________
    ///                  heartbeat       73500           4   1000      0/   500 Idle
    /// then an empty line. RunningTime is the accumulated callback time in ms (with statistics
    /// enabled); Used is how long the current callback has been running.
    void dumpTimers();

    /// Keeps at most `count` idle workers: when a worker returns to a fuller pool, the longest-idle
    /// ones are ended. A value below 1 removes the limit (the initial state). Always true.
    bool limitIdlePooled(int count);

private:
    template <class T, Detail::SingletonLifetime Lifetime>
    friend class Detail::TSingleton;
    CTimerManager();
    ~CTimerManager() = default;
    CTimerManager(const CTimerManager&) = delete;
    CTimerManager& operator=(const CTimerManager&) = delete;

    TimerManagerInternal* m_internal;
};

}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_TIMER_H
