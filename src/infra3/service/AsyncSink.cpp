// Service: CAsyncSink, a print sink run on a background thread of its own, and the registry of
// live adaptors that the shutdown call and the exit hook flush and stop.
#include "infra/AsyncSink.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "infra/Mutex.h"
#include "infra/PrintLog.h"
#include "infra/Thread.h"
#include "infra3/core/Diagnostics.h"
#include "infra3/service/ServiceInternal.h"
#include "infra3/thread/ThreadInternal.h"
#include "platform/Thread.h"

namespace Tovix {
namespace Infra {

typedef TFunction1<bool, const char*> Sink;

class AsyncSinkThread;

namespace {

// How often a stop waiting for the background thread looks whether the system ended it.
constexpr std::chrono::milliseconds kStopSlice(10);

// The adaptor whose lines the calling thread is delivering (its background thread, or a thread
// that took over from it), so that a line logged by the wrapped sink is delivered at once.
thread_local const AsyncSinkInternal* t_delivering = nullptr;

}  // namespace

// The adaptor's state. One std::mutex guards everything below it but the registry's pin count;
// the wrapped sink is always called with it released.
struct AsyncSinkInternal {
    AsyncSinkInternal(Sink sink, std::size_t capacity, bool drop)
        : wrapped(sink), dropWhenFull(drop), ring(std::max<std::size_t>(capacity, 1)) {}

    // The callable sink() gives out: queues the line, or delivers it at once.
    bool put(const char* line);
    // The background thread's body: delivers lines until a stop, then turns to direct delivery.
    void run();
    bool flush(unsigned int waitMilliseconds);
    // Delivers what is queued and ends the thread (see Detail::stopAsyncSinks).
    void stop();

    const Sink wrapped;
    const bool dropWhenFull;

    std::mutex mutex;
    std::condition_variable work;       // the delivering thread waits for lines or a stop
    std::condition_variable room;       // callers wait for room in a full queue
    std::condition_variable delivered;  // flushes and stops wait for deliveries
    // `count` lines from `head`, circularly. Delivered slots keep their buffers for reuse.
    std::vector<std::string> ring;
    std::size_t head = 0;
    std::size_t count = 0;
    std::uint64_t queued = 0;          // lines ever queued
    std::uint64_t deliveredCount = 0;  // lines whose delivery has returned
    std::uint64_t droppedCount = 0;
    int roomWaiters = 0;
    int deliveryWaiters = 0;
    bool delivererIdle = false;  // the background thread waits on `work`
    bool stopRequested = false;
    bool direct = false;      // no thread delivers: callers deliver their lines themselves
    bool threadLost = false;  // the system ended the thread (Windows, at process exit)
    bool takenOver = false;   // a thread other than the background one delivers the queue
    AsyncSinkThread* thread = nullptr;

    int pins = 0;  // flushes and stops of the registry under way; guarded by the registry's mutex

private:
    // Delivers queued lines until none is left; called and returns with `lock` held.
    void deliverQueued(std::unique_lock<std::mutex>& lock);
    // This thread delivers what is left, then every caller delivers its own lines.
    void takeOver(std::unique_lock<std::mutex>& lock);
    // Waits until the background thread has delivered the queue, or takes over from it when the
    // system has ended it.
    void waitForStop(std::unique_lock<std::mutex>& lock);
};

// The background thread, "AsyncSink" in the thread reports.
class AsyncSinkThread : public CThread {
public:
    explicit AsyncSinkThread(AsyncSinkInternal& owner) : CThread("AsyncSink"), m_owner(owner) {}
    // The body uses m_owner: it has ended (the adaptor stopped first); wait for its last steps.
    ~AsyncSinkThread() override { Detail::waitForBody(Detail::ThreadAccess::record(*this), this); }

    // True when the thread no longer runs, however it ended.
    bool ended() {
        ThreadInternal* record = Detail::ThreadAccess::record(*this);
        CMutexGuard guard(record->mutex);
        return record->handle == nullptr || Platform::threadEnded(record->handle);
    }

    // Lets the ended (or ending) thread be reclaimed with no one joining it: a stopped adaptor
    // may never be destroyed (a leaked one at exit).
    void release() { Detail::detachThread(Detail::ThreadAccess::record(*this)); }

private:
    void threadProc() override { m_owner.run(); }

    AsyncSinkInternal& m_owner;
};

bool AsyncSinkInternal::put(const char* line) {
    if (line == nullptr) {
        return false;
    }
    if (t_delivering == this) {
        return wrapped(line);  // logged by the wrapped sink: waiting for room would never end
    }
    std::unique_lock<std::mutex> lock(mutex);
    while (!direct && count == ring.size()) {
        if (dropWhenFull) {
            ++droppedCount;
            return false;
        }
        ++roomWaiters;
        room.wait(lock);
        --roomWaiters;
    }
    if (direct) {
        lock.unlock();
        return wrapped(line);
    }
    ring[(head + count) % ring.size()].assign(line);
    ++count;
    ++queued;
    const bool wake = delivererIdle;
    delivererIdle = false;
    lock.unlock();
    if (wake) {
        work.notify_one();
    }
    return true;
}

void AsyncSinkInternal::deliverQueued(std::unique_lock<std::mutex>& lock) {
    const AsyncSinkInternal* const outer = t_delivering;
    t_delivering = this;
    std::string line;
    while (count > 0) {
        line.swap(ring[head]);
        head = (head + 1) % ring.size();
        --count;
        const bool wakeRoom = roomWaiters > 0;
        lock.unlock();
        if (wakeRoom) {
            room.notify_all();  // one waiter will find the slot; notify_one could wake a woken one
        }
        wrapped(line.c_str());
        lock.lock();
        ++deliveredCount;
        if (deliveryWaiters > 0) {
            delivered.notify_all();
        }
    }
    t_delivering = outer;
}

void AsyncSinkInternal::takeOver(std::unique_lock<std::mutex>& lock) {
    takenOver = true;  // a second stop waits for this one
    deliverQueued(lock);
    direct = true;
    room.notify_all();
    delivered.notify_all();
}

void AsyncSinkInternal::run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        deliverQueued(lock);
        if (stopRequested) {
            break;
        }
        delivererIdle = true;
        work.wait(lock);  // woken by a line or a stop; a spurious wake-up only loops
        delivererIdle = false;
    }
    // Still under the lock that found the queue empty: no line can slip in behind the last one.
    direct = true;
    room.notify_all();
    delivered.notify_all();
}

bool AsyncSinkInternal::flush(unsigned int waitMilliseconds) {
    std::unique_lock<std::mutex> lock(mutex);
    const std::uint64_t target = queued;
    if (deliveredCount >= target) {
        return true;
    }
    if (t_delivering == this) {
        return false;  // the deliveries wait for this very call to return
    }
    ++deliveryWaiters;
    const bool done = delivered.wait_for(lock, std::chrono::milliseconds(waitMilliseconds),
                                         [&] { return deliveredCount >= target; });
    --deliveryWaiters;
    return done;
}

void AsyncSinkInternal::stop() {
    std::unique_lock<std::mutex> lock(mutex);
    if (direct) {
        return;
    }
    stopRequested = true;
    work.notify_one();
    if (t_delivering == this) {
        // Stopped from within the wrapped sink (the process exits from it): the thread will not
        // get back to its queue, so this one delivers it.
        takeOver(lock);
    } else {
        waitForStop(lock);
    }
    lock.unlock();
    thread->release();
}

void AsyncSinkInternal::waitForStop(std::unique_lock<std::mutex>& lock) {
    ++deliveryWaiters;
    while (!delivered.wait_for(lock, kStopSlice, [this] { return direct; })) {
        // At exit on Windows the system has ended every other thread before the exit hooks of
        // a library run: the queue is then delivered here. A line the thread was delivering
        // when it was ended is lost with it.
        if (!takenOver && thread->ended()) {
            threadLost = true;
            takeOver(lock);
            break;
        }
    }
    --deliveryWaiters;
}

namespace {

void stopAtExit() {
    Detail::stopAsyncSinks();
}

// The live adaptors. Never destroyed: exit hooks and late threads still find it.
struct AsyncSinkRegistry {
    std::mutex mutex;
    std::condition_variable unpinned;
    std::vector<AsyncSinkInternal*> live;
};

AsyncSinkRegistry& registry() {
    // Registered with the first adaptor, so the hook runs after the destructor of every static
    // adaptor (each one is made after the hook) and before the destruction of what was made
    // before it.
    static AsyncSinkRegistry* const made = [] {
        AsyncSinkRegistry* r = new AsyncSinkRegistry;
        if (std::atexit(&stopAtExit) != 0) {
            INFRA_DIAG_PLAIN(Detail::kLevelInfo, "%s:%s atexit failed, line : %d\n", __FILE__,
                             INFRA_FUNCTION, __LINE__);
        }
        return r;
    }();
    return *made;
}

// Calls f on every live adaptor without the registry's mutex; an adaptor being destroyed
// meanwhile waits in unregisterSink until f is done with it.
template <class F>
void forEachLive(F f) {
    AsyncSinkRegistry& r = registry();
    std::vector<AsyncSinkInternal*> pinned;
    {
        std::lock_guard<std::mutex> guard(r.mutex);
        pinned = r.live;
        for (AsyncSinkInternal* s : pinned) {
            ++s->pins;
        }
    }
    for (AsyncSinkInternal* s : pinned) {
        f(*s);
    }
    {
        std::lock_guard<std::mutex> guard(r.mutex);
        for (AsyncSinkInternal* s : pinned) {
            --s->pins;
        }
    }
    r.unpinned.notify_all();
}

void registerSink(AsyncSinkInternal* s) {
    AsyncSinkRegistry& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    r.live.push_back(s);
}

void unregisterSink(AsyncSinkInternal* s) {
    AsyncSinkRegistry& r = registry();
    std::unique_lock<std::mutex> lock(r.mutex);
    r.live.erase(std::find(r.live.begin(), r.live.end(), s));
    r.unpinned.wait(lock, [s] { return s->pins == 0; });
}

}  // namespace

namespace Detail {

bool flushAsyncSinks(unsigned int waitMilliseconds) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMilliseconds);
    bool all = true;
    forEachLive([&](AsyncSinkInternal& s) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        all = s.flush(left.count() > 0 ? static_cast<unsigned int>(left.count()) : 0) && all;
    });
    return all;
}

void stopAsyncSinks() {
    forEachLive([](AsyncSinkInternal& s) { s.stop(); });
}

}  // namespace Detail

CAsyncSink::CAsyncSink(TFunction1<bool, const char*> sink, std::size_t capacity, WhenFull whenFull)
    : m_internal(new AsyncSinkInternal(sink, capacity, whenFull == WhenFull::drop)) {
    AsyncSinkInternal* const s = m_internal;
    if (!sink.empty()) {
        s->thread = new AsyncSinkThread(*s);
        if (!s->thread->createThread()) {
            delete s->thread;
            s->thread = nullptr;
        }
    }
    s->direct = s->thread == nullptr;
    registerSink(s);
}

CAsyncSink::~CAsyncSink() {
    AsyncSinkInternal* const s = m_internal;
    detachPrint(sink());
    unregisterSink(s);
    s->stop();
    // A thread the system ended cannot be waited for: its object is left behind (at exit).
    if (!s->threadLost) {
        delete s->thread;
    }
    delete s;
    m_internal = nullptr;
}

TFunction1<bool, const char*> CAsyncSink::sink() const {
    return m_internal->wrapped.empty() ? Sink() : Sink(m_internal, &AsyncSinkInternal::put);
}

bool CAsyncSink::attach() {
    return attachPrint(sink());
}

bool CAsyncSink::detach() {
    return detachPrint(sink());
}

bool CAsyncSink::flush(unsigned int waitMilliseconds) {
    return m_internal->flush(waitMilliseconds);
}

std::uint64_t CAsyncSink::dropped() const {
    std::lock_guard<std::mutex> guard(m_internal->mutex);
    return m_internal->droppedCount;
}

}  // namespace Infra
}  // namespace Tovix
