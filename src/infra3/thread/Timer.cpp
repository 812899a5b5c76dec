// Threads, timers: the manager thread, its ordered schedule, the worker pool and the timer table.
#include "infra/Timer.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "infra/Assert.h"
#include "infra/Mutex.h"
#include "infra/Semaphore.h"
#include "infra/Thread.h"
#include "infra/Time.h"
#include "infra3/core/Diagnostics.h"
#include "infra3/core/Singleton.h"
#include "infra3/thread/ThreadInternal.h"
#include "infra3/thread/TimerInternal.h"
#include "platform/Thread.h"

namespace Tovix {
namespace Infra {

using Detail::kLevelError;
using Detail::kLevelInfo;
using Detail::kLevelTrace;
using Detail::SingletonLifetime;
using Detail::TSingleton;

class CTimerThread;

namespace {

constexpr int kTimerNameSize = 32;
constexpr const char* kIdleWorkerName = "[Pooled]";
constexpr unsigned int kTickMilliseconds = 10;
constexpr int kManagerDeadlineMilliseconds = 10000;
constexpr unsigned int kWaitSliceMilliseconds = 10;
constexpr unsigned int kWaitReportEvery = 500;

// Whether the calling thread is a worker running a callback (which an orderly shutdown called
// from that callback must not wait for).
thread_local bool t_inCallback = false;

void copyName(char (&out)[kTimerNameSize], const char* name) {
    std::strncpy(out, name != nullptr ? name : "Nonamed", kTimerNameSize - 1);
    out[kTimerNameSize - 1] = '\0';
}

// The manager mutex: guards the schedule, the worker pool and every timer record. Never
// destroyed, like the manager.
CRecursiveMutex& timerMutex() {
    static CRecursiveMutex* const mutex = new CRecursiveMutex;
    return *mutex;
}

}  // namespace

// A worker that could not be started during a dispatch. It is reported once the manager mutex
// is released, since the log path calls print sinks, which may use timers.
struct WorkerStartFailure {
    const void* worker = nullptr;  // the worker object (gone by the time of the report)
    int error = 0;
};

using TimerKey = Detail::TimerKey;
using TimerSchedule = Detail::TTimerHeap<TimerInternal>;

struct TimerInternal {
    explicit TimerInternal(const char* timerName) { copyName(name, timerName); }

    std::uint64_t usedTime INFRA_GUARDED_BY(timerMutex()) = 0;  // microseconds, with statistics
    std::uint64_t nextTime INFRA_GUARDED_BY(timerMutex()) = 0;
    std::uint64_t dispatchTime INFRA_GUARDED_BY(timerMutex()) = 0;
    std::uint32_t period INFRA_GUARDED_BY(timerMutex()) = 0;
    std::uint32_t timeout INFRA_GUARDED_BY(timerMutex()) = 0;
    TFunction1<void, unsigned long> proc INFRA_GUARDED_BY(timerMutex());
    unsigned long argument INFRA_GUARDED_BY(timerMutex()) = 0;
    char name[kTimerNameSize] INFRA_GUARDED_BY(timerMutex()) = {};
    bool started INFRA_GUARDED_BY(timerMutex()) = false;
    bool called INFRA_GUARDED_BY(timerMutex()) = false;
    // The place in the schedule while in it; touched only by the schedule, which is guarded.
    std::size_t slot = TimerSchedule::kNowhere;
    CTimerThread* worker INFRA_GUARDED_BY(timerMutex()) = nullptr;
    bool statistics INFRA_GUARDED_BY(timerMutex()) = false;
};

// The manager: a CThread that ticks every 10 ms and dispatches due timers to workers.
// Immortal: the manager thread and workers still running callbacks use it while the process
// exits, so it is never destroyed. Its exit handler, registered when it is created (so it runs
// before the destruction of everything constructed earlier), stops the machinery.
class TimerManagerInternal : public CThread {
public:
    static TimerManagerInternal* instance() {
        return TSingleton<TimerManagerInternal, SingletonLifetime::kImmortal>::instance();
    }

    TimerManagerInternal();

    void insertTimer(TimerInternal* timer) INFRA_REQUIRES(timerMutex());
    void removeTimer(TimerInternal* timer) INFRA_REQUIRES(timerMutex());
    // A worker that could not be started is described in *failure, for reportWorkerFailure.
    bool dispatchTimer(TimerInternal* timer, WorkerStartFailure* failure)
        INFRA_REQUIRES(timerMutex());
    // Releases the manager mutex (taken once by the caller).
    void putTimerThread(CTimerThread* worker) INFRA_RELEASE(timerMutex());
    void setIdleLimit(int count) INFRA_REQUIRES(timerMutex()) { m_idleLimit = count; }
    std::uint64_t clock() const INFRA_REQUIRES(timerMutex()) { return m_clock; }
    const TimerSchedule& schedule() const INFRA_REQUIRES(timerMutex()) { return m_schedule; }
    Detail::TimerPoolStatistics statistics() const INFRA_REQUIRES(timerMutex()) {
        return m_statistics;
    }

    // Stops the machinery for good: nothing is dispatched any more (start() then fails), the
    // manager thread leaves its loop and the idle workers end. Waits for no thread, since it
    // runs at exit, on Windows with the loader lock held: a callback already running finishes,
    // and its worker ends after it. The objects stay for late callers. Harmless when repeated.
    void stopDispatching() INFRA_EXCLUDES(timerMutex());
    bool stopped() const INFRA_REQUIRES(timerMutex()) { return m_stopped; }

    // Stops the machinery like stopDispatching, then ends it in order: waits for the manager
    // thread and the idle workers, and up to `waitMilliseconds` for the callbacks still running
    // (not the caller's own), ending each worker as its callback returns. True when no callback
    // was left running. Once the machinery is stopped, it only reports that.
    bool shutdown(unsigned int waitMilliseconds) INFRA_EXCLUDES(timerMutex());
    // Whether a callback runs (not counting the caller's own).
    bool callbacksRunning() const INFRA_REQUIRES(timerMutex());

    // Logs what dispatchTimer left in `failure`, if anything; without the manager mutex.
    void reportWorkerFailure(const WorkerStartFailure& failure) INFRA_EXCLUDES(timerMutex());

    // Called by a worker after its callback returned (`startMicroseconds` from before it).
    void finishJob(CTimerThread* worker, std::uint64_t startMicroseconds)
        INFRA_EXCLUDES(timerMutex());

private:
    void threadProc() override;
    CTimerThread* getTimerThread(WorkerStartFailure* failure) INFRA_REQUIRES(timerMutex());
    // Ends and deletes the workers of a list taken out of the pool; without the manager mutex.
    static void deleteWorkers(CTimerThread* list) INFRA_EXCLUDES(timerMutex());
    static void stopAtExit();
    // Takes the idle pool out, for deleteWorkers.
    CTimerThread* takeIdleWorkers() INFRA_REQUIRES(timerMutex());

    CTimerThread* m_idleHead INFRA_GUARDED_BY(timerMutex()) = nullptr;
    std::uint64_t m_clock INFRA_GUARDED_BY(timerMutex()) = 0;
    TimerSchedule m_schedule INFRA_GUARDED_BY(timerMutex());
    std::uint64_t m_order INFRA_GUARDED_BY(timerMutex()) = ~static_cast<std::uint64_t>(0);
    int m_idleLimit INFRA_GUARDED_BY(timerMutex()) = -1;
    int m_idleCount INFRA_GUARDED_BY(timerMutex()) = 0;
    Detail::TimerPoolStatistics m_statistics INFRA_GUARDED_BY(timerMutex()) = {};
    bool m_stopped INFRA_GUARDED_BY(timerMutex()) = false;
    // A shutdown is collecting the workers: those that return are ended but not detached.
    bool m_collecting INFRA_GUARDED_BY(timerMutex()) = false;
    // Workers ended once the machinery stopped, kept but never reused.
    CTimerThread* m_endedHead INFRA_GUARDED_BY(timerMutex()) = nullptr;
};

// A pooled worker: waits on its semaphore for a job, runs it, returns to the pool.
class CTimerThread : public CThread {
public:
    explicit CTimerThread(TimerManagerInternal* manager)
        : CThread(kIdleWorkerName, 64, 0, 0), m_manager(manager) {}

    // Ends the body while the members it uses still exist. The loop flag is cleared first, so
    // no stop request is logged for a body that the wake-up ends by itself.
    ~CTimerThread() override {
        ThreadInternal* record = Detail::ThreadAccess::record(*this);
        Detail::clearLoop(record);
        quit();
        Detail::waitForBody(record, this);
    }

    void quit() {
        m_quit.store(true, std::memory_order_release);
        m_semaphore.post();
    }

    // Ends the worker where no one may wait for it (at exit).
    void quitDetached() {
        quit();
        Detail::detachThread(Detail::ThreadAccess::record(*this));
    }

    bool isCurrent() { return getThreadID() == CThread::getCurrentThreadID(); }

    // The job, written under the manager mutex before the semaphore is posted; the worker reads
    // it after the semaphore, without the mutex.
    TFunction1<void, unsigned long> m_proc;
    unsigned long m_argument = 0;
    CTimerThread* m_nextIdle INFRA_GUARDED_BY(timerMutex()) = nullptr;
    TimerInternal* m_timer INFRA_GUARDED_BY(timerMutex()) = nullptr;
    CSemaphore m_semaphore{0};

private:
    void threadProc() override {
        ThreadInternal* record = Detail::ThreadAccess::record(*this);
        while (looping()) {
            m_semaphore.pend();
            if (m_quit.load(std::memory_order_acquire)) {
                break;
            }
            Detail::applyThreadName(record);  // dispatch gave the record the timer's name
            const std::uint64_t start = CTime::getCurrentMicroSecond();
            t_inCallback = true;
            m_proc(m_argument);
            t_inCallback = false;
            setTimeout(0);
            setThreadName(kIdleWorkerName);
            m_manager->finishJob(this, start);
        }
    }

    TimerManagerInternal* m_manager;
    std::atomic<bool> m_quit{false};
};

namespace Detail {

std::uint64_t nextDueTime(std::uint64_t next, std::uint32_t period, std::uint64_t now) {
    if (next <= now) {
        next += static_cast<std::uint64_t>(period) * ((now - next) / period + 1);
    }
    return next;
}

bool shutdownTimers(unsigned int waitMilliseconds) {
    return TimerManagerInternal::instance()->shutdown(waitMilliseconds);
}

bool timerCallbacksRunning() {
    TimerManagerInternal* manager = TimerManagerInternal::instance();
    CRecursiveMutexGuard guard(timerMutex());
    return manager->callbacksRunning();
}

TimerPoolStatistics timerPoolStatistics() {
    TimerManagerInternal* manager = TimerManagerInternal::instance();
    CRecursiveMutexGuard guard(timerMutex());
    return manager->statistics();
}

}  // namespace Detail

TimerManagerInternal::TimerManagerInternal() : CThread("TimerManager", 1, 0, 0) {
    m_clock = CTime::getCurrentMilliSecond();
    // Only started, never waited for: the first timer may be created where the new thread
    // cannot start yet (under the loader lock of a library's initialiser) or where the thread's
    // first log line would wait for its creator (a print sink taking a lock the creator holds).
    createThread();
    if (std::atexit(&stopAtExit) != 0) {
        INFRA_DIAG_PLAIN(kLevelInfo, "%s:%s atexit failed, line : %d\n", __FILE__, INFRA_FUNCTION,
                         __LINE__);
    }
}

void TimerManagerInternal::stopAtExit() {
    instance()->stopDispatching();
}

void TimerManagerInternal::stopDispatching() {
    CRecursiveMutexGuard guard(timerMutex());
    if (m_stopped) {
        return;
    }
    m_stopped = true;
    ThreadInternal* record = Detail::ThreadAccess::record(*this);
    Detail::clearLoop(record);
    Detail::detachThread(record);
    // Ended workers stay in the pool, which nothing takes from any more.
    for (CTimerThread* worker = m_idleHead; worker != nullptr; worker = worker->m_nextIdle) {
        worker->quitDetached();
    }
}

bool TimerManagerInternal::shutdown(unsigned int waitMilliseconds) {
    CTimerThread* idle = nullptr;
    {
        CRecursiveMutexGuard guard(timerMutex());
        if (m_stopped) {
            return !callbacksRunning();
        }
        m_stopped = true;
        m_collecting = true;
        idle = takeIdleWorkers();
    }
    ThreadInternal* record = Detail::ThreadAccess::record(*this);
    Detail::clearLoop(record);
    Detail::endThread(record, this);
    deleteWorkers(idle);
    const std::uint64_t deadline = CTime::getCurrentMilliSecond() + waitMilliseconds;
    while (true) {
        bool finished = false;
        bool late = false;
        CTimerThread* returned = nullptr;
        {
            CRecursiveMutexGuard guard(timerMutex());
            finished = !callbacksRunning();
            late = CTime::getCurrentMilliSecond() >= deadline;
            returned = takeIdleWorkers();
            // From now on a worker whose callback returns ends on its own.
            m_collecting = !finished && !late;
        }
        deleteWorkers(returned);
        if (finished || late) {
            return finished;
        }
        Platform::sleepMilliseconds(1);
    }
}

bool TimerManagerInternal::callbacksRunning() const {
    return m_statistics.busyWorkers > (t_inCallback ? 1 : 0);
}

CTimerThread* TimerManagerInternal::takeIdleWorkers() {
    CTimerThread* list = m_idleHead;
    m_idleHead = nullptr;
    m_statistics.workersEnded += static_cast<std::uint64_t>(m_idleCount);
    m_idleCount = 0;
    m_statistics.idleWorkers = 0;
    return list;
}

void TimerManagerInternal::insertTimer(TimerInternal* timer) {
    m_schedule.insert(timer, TimerKey{timer->nextTime, m_order--});
}

void TimerManagerInternal::removeTimer(TimerInternal* timer) {
    m_schedule.remove(timer);
}

bool TimerManagerInternal::dispatchTimer(TimerInternal* timer, WorkerStartFailure* failure) {
    if (m_stopped) {
        return false;
    }
    removeTimer(timer);
    if (timer->period != 0) {
        // A timer dispatched at once by start() is due at the current time, which the tick's
        // clock may not have reached yet.
        timer->nextTime =
            Detail::nextDueTime(timer->nextTime, timer->period, std::max(m_clock, timer->nextTime));
        insertTimer(timer);
    } else {
        timer->started = false;
        timer->called = true;
    }
    if (timer->worker != nullptr) {
        ++m_statistics.dropped;
        return false;
    }
    timer->dispatchTime = m_clock;
    CTimerThread* worker = getTimerThread(failure);
    if (worker == nullptr) {
        ++m_statistics.dropped;
        return false;
    }
    timer->worker = worker;
    ThreadInternal* record = Detail::ThreadAccess::record(*worker);
    Detail::setRecordName(record, timer->name);
    record->deadline.store(
        timer->timeout == 0 ? 0 : CTime::getCurrentMilliSecond() + timer->timeout,
        std::memory_order_relaxed);
    worker->m_proc = timer->proc;
    worker->m_argument = timer->argument;
    worker->m_timer = timer;
    ++m_statistics.dispatched;
    worker->m_semaphore.post();
    return true;
}

CTimerThread* TimerManagerInternal::getTimerThread(WorkerStartFailure* failure) {
    CTimerThread* worker = m_idleHead;
    if (worker != nullptr) {
        m_idleHead = worker->m_nextIdle;
        worker->m_nextIdle = nullptr;
        --m_idleCount;
    } else {
        worker = new CTimerThread(this);
        int error = 0;
        if (Detail::startThread(*worker, &error) != Detail::ThreadStart::kStarted) {
            failure->worker = worker;
            failure->error = error;
            delete worker;
            return nullptr;
        }
        ++m_statistics.workersCreated;
    }
    m_statistics.idleWorkers = m_idleCount;
    ++m_statistics.busyWorkers;
    m_statistics.peakBusyWorkers = std::max(m_statistics.peakBusyWorkers, m_statistics.busyWorkers);
    return worker;
}

void TimerManagerInternal::putTimerThread(CTimerThread* worker) {
    INFRA_ASSERT_TEXT(worker != nullptr, "pThread");
    --m_statistics.busyWorkers;
    if (m_stopped && !m_collecting) {
        // Ends after its last callback, where no one waits for it; the object is kept for the
        // late callers that may still reach it.
        worker->m_nextIdle = m_endedHead;
        m_endedHead = worker;
        ++m_statistics.workersEnded;
        worker->quitDetached();
        timerMutex().leave();
        return;
    }
    worker->m_nextIdle = m_idleHead;
    m_idleHead = worker;
    ++m_idleCount;
    CTimerThread* cut = nullptr;
    if (m_collecting) {
        worker->quit();  // the shutdown ends it and waits for it
    } else if (m_idleLimit >= 1 && m_idleCount > m_idleLimit) {
        // The pool is a stack: what lies beyond the limit has been idle longest.
        CTimerThread* last = m_idleHead;
        for (int i = 1; i < m_idleLimit; ++i) {
            last = last->m_nextIdle;
        }
        cut = last->m_nextIdle;
        last->m_nextIdle = nullptr;
        m_statistics.workersEnded += static_cast<std::uint64_t>(m_idleCount - m_idleLimit);
        m_idleCount = m_idleLimit;
    }
    m_statistics.idleWorkers = m_idleCount;
    timerMutex().leave();
    deleteWorkers(cut);
}

// The list was cut off the pool under the manager mutex and belongs to the caller alone; its
// links are read without the mutex, which the analysis cannot tell from a shared list.
void TimerManagerInternal::deleteWorkers(CTimerThread* list) INFRA_NO_THREAD_SAFETY_ANALYSIS {
    while (list != nullptr) {
        CTimerThread* next = list->m_nextIdle;
        delete list;  // wakes the worker with its quit flag set and waits for it
        list = next;
    }
}

void TimerManagerInternal::reportWorkerFailure(const WorkerStartFailure& failure) {
    if (failure.worker != nullptr) {
        Detail::logThreadStartFailure(failure.worker, failure.error);
        INFRA_DIAG_THIS(kLevelError, "no timer worker could be started, firing dropped\n");
    }
}

void TimerManagerInternal::finishJob(CTimerThread* worker, std::uint64_t startMicroseconds) {
    const std::uint64_t end = CTime::getCurrentMicroSecond();
    timerMutex().enter();
    TimerInternal* timer = worker->m_timer;
    if (timer != nullptr) {
        if (timer->statistics) {
            timer->usedTime += end - startMicroseconds;
        }
        timer->worker = nullptr;
        worker->m_timer = nullptr;
    }
    putTimerThread(worker);
}

void TimerManagerInternal::threadProc() {
    bool sleep = true;
    while (true) {
        WorkerStartFailure failure;
        if (sleep) {
            Platform::sleepMilliseconds(kTickMilliseconds);
        }
        timerMutex().enter();
        bool ticked = true;
        if (sleep) {
            const std::uint64_t old = m_clock;
            m_clock = CTime::getCurrentMilliSecond();
            setTimeout(kManagerDeadlineMilliseconds, m_clock);
            INFRA_ASSERT_TEXT(m_clock >= old, "0");
            ticked = m_clock != old;
        }
        if (ticked) {
            // One due timer per pass, so that start/stop calls get the mutex in between.
            if (!m_schedule.empty() && m_schedule.head().key.nextTime < m_clock) {
                dispatchTimer(m_schedule.head().item, &failure);
            }
            sleep = m_schedule.empty() || m_schedule.head().key.nextTime >= m_clock;
        }
        timerMutex().leave();
        reportWorkerFailure(failure);
        if (!looping()) {
            return;
        }
    }
}

// ---- CTimer -----------------------------------------------------------------------------------

CTimer::CTimer(const char* name) : m_internal(new TimerInternal(name)) {
    CTimerManager::instance();
}

CTimer::~CTimer() {
    stopAndWait();
    TimerManagerInternal* manager = TimerManagerInternal::instance();
    TimerInternal* timer = m_internal;
    timerMutex().enter();
    // A callback may have rescheduled the timer while stopAndWait waited: repeat until it is
    // out of the schedule and no other thread runs its callback, all under the mutex.
    while (true) {
        manager->removeTimer(timer);
        timer->started = false;
        if (timer->worker == nullptr) {
            break;
        }
        if (timer->worker->isCurrent()) {
            // Destroyed by its own callback: the worker must not touch the record afterwards.
            timer->worker->m_timer = nullptr;
            timer->worker = nullptr;
            break;
        }
        timerMutex().leave();
        Platform::sleepMilliseconds(kWaitSliceMilliseconds);
        timerMutex().enter();
    }
    delete timer;
    m_internal = nullptr;
    timerMutex().leave();
}

bool CTimer::start(TFunction1<void, unsigned long> proc, unsigned int delay, unsigned int period,
                   unsigned long param, unsigned int timeout) {
    if (proc.empty()) {
        return false;
    }
    TimerManagerInternal* manager = TimerManagerInternal::instance();
    WorkerStartFailure failure;
    bool scheduled = true;
    {
        CRecursiveMutexGuard guard(timerMutex());
        if (manager->stopped()) {
            return false;  // the process is exiting
        }
        TimerInternal* timer = m_internal;
        timer->proc = proc;
        timer->nextTime = CTime::getCurrentMilliSecond() + delay;
        timer->period = period;
        timer->timeout = timeout;
        timer->argument = param;
        timer->called = false;
        timer->statistics = false;
        manager->removeTimer(timer);
        manager->insertTimer(timer);
        timer->started = true;
        if (delay == 0) {
            scheduled = manager->dispatchTimer(timer, &failure);
        }
    }
    manager->reportWorkerFailure(failure);
    return scheduled;
}

bool CTimer::stop(bool callNow) {
    TimerManagerInternal* manager = TimerManagerInternal::instance();
    WorkerStartFailure failure;
    bool done = true;
    {
        CRecursiveMutexGuard guard(timerMutex());
        TimerInternal* timer = m_internal;
        if (!timer->started) {
            return false;
        }
        manager->removeTimer(timer);
        timer->started = false;
        if (timer->period == 0 && callNow) {
            done = manager->dispatchTimer(timer, &failure);
        }
    }
    manager->reportWorkerFailure(failure);
    return done;
}

bool CTimer::stopAndWait() {
    stop(false);
    TimerInternal* timer = m_internal;
    unsigned int passes = 0;
    timerMutex().enter();
    while (timer->worker != nullptr && !timer->worker->isCurrent()) {
        timerMutex().leave();
        Platform::sleepMilliseconds(kWaitSliceMilliseconds);
        if (passes++ % kWaitReportEvery == 0) {
            char name[kTimerNameSize];
            timerMutex().enter();
            std::memcpy(name, timer->name, sizeof name);
            timerMutex().leave();
            INFRA_DIAG_THIS(kLevelInfo, "CTimer::Stop '%s' wait callback exit!\n", name);
        }
        timerMutex().enter();
    }
    timerMutex().leave();
    return true;
}

void CTimer::setPeriodTime(unsigned int period) {
    TimerManagerInternal* manager = TimerManagerInternal::instance();
    CRecursiveMutexGuard guard(timerMutex());
    TimerInternal* timer = m_internal;
    if (timer->started) {
        manager->removeTimer(timer);
    }
    // Shift the phase by the difference of the periods, but never to before the clock's
    // origin: a due time that would lie in the past is now.
    if (timer->nextTime + period >= timer->period) {
        timer->nextTime = timer->nextTime + period - timer->period;
    } else {
        timer->nextTime = CTime::getCurrentMilliSecond();
    }
    timer->period = period;
    if (timer->started) {
        manager->insertTimer(timer);
    }
}

void CTimer::enableStat(bool enable) {
    CRecursiveMutexGuard guard(timerMutex());
    m_internal->statistics = enable;
}

const char* CTimer::getName() {
    return m_internal->name;
}

void CTimer::setName(const char* name) {
    CRecursiveMutexGuard guard(timerMutex());
    copyName(m_internal->name, name);
}

bool CTimer::isStarted() {
    CRecursiveMutexGuard guard(timerMutex());
    return m_internal->started;
}

bool CTimer::isCalled() {
    CRecursiveMutexGuard guard(timerMutex());
    return m_internal->called;
}

bool CTimer::isRunning() {
    CRecursiveMutexGuard guard(timerMutex());
    return m_internal->worker != nullptr;
}

// ---- CTimerManager ----------------------------------------------------------------------------

// Immortal, like the machinery behind it.
CTimerManager* CTimerManager::instance() {
    return TSingleton<CTimerManager, SingletonLifetime::kImmortal>::instance();
}

CTimerManager::CTimerManager() : m_internal(nullptr) {
    INFRA_DIAG_THIS(kLevelTrace, "CTimerManager::CTimerManager()>>>>>>>>>\n");
    // Creates the print subsystem's shared state before the timer machinery uses it (a
    // do-nothing sink attached and detached again).
    Detail::prepareLog();
    m_internal = TimerManagerInternal::instance();
}

void CTimerManager::dumpTimers() {
    // Formatted under the manager mutex, logged after it is released, so a print sink may use
    // timers.
    std::vector<std::string> lines;
    std::uint64_t clock = 0;
    {
        CRecursiveMutexGuard guard(timerMutex());
        clock = m_internal->clock();
        for (const TimerSchedule::Entry& entry : m_internal->schedule().sorted()) {
            const TimerInternal* timer = entry.item;
            const long long running = timer->worker != nullptr && clock > timer->dispatchTime
                                          ? static_cast<long long>(clock - timer->dispatchTime)
                                          : 0;
            char line[160];
            std::snprintf(line, sizeof line, "%24s %11" PRIu64 " %11" PRIu64 " %6lu %6d/%6lu %s\n",
                          timer->name, timer->nextTime, timer->usedTime / 1000,
                          static_cast<unsigned long>(timer->period), static_cast<int>(running),
                          static_cast<unsigned long>(timer->timeout),
                          timer->worker != nullptr ? "Running" : "Idle");
            lines.emplace_back(line);
        }
    }
    INFRA_DIAG_PLAIN(kLevelInfo, "Timers: ( %" PRIu64 " Milli-Seconds Elapsed )\n", clock);
    INFRA_DIAG_PLAIN(kLevelInfo,
                     "            Name            NextTime RunningTime Period   Used/Timeout "
                     "State\n");
    INFRA_DIAG_PLAIN(kLevelInfo, "%s\n", std::string(76, '_').c_str());
    for (const std::string& line : lines) {
        INFRA_DIAG_PLAIN(kLevelInfo, "%s", line.c_str());
    }
    INFRA_DIAG_PLAIN(kLevelInfo, "\n");
}

bool CTimerManager::limitIdlePooled(int count) {
    CRecursiveMutexGuard guard(timerMutex());
    m_internal->setIdleLimit(count);
    return true;
}

}  // namespace Infra
}  // namespace Tovix
