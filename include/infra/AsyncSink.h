/// @file
/// CAsyncSink: takes a slow print sink (a socket, a slow disk) off the logging thread.
///
/// A print sink (PrintLog.h) runs on the thread that logs, so a sink that takes a millisecond
/// costs every log call a millisecond. A CAsyncSink wraps such a sink: the callable it gives out
/// (sink()) only copies the line into a bounded queue, and one background thread, named
/// "AsyncSink" and listed by the thread manager, calls the wrapped sink with each queued line,
/// in the order the lines were queued, with no lock of the adaptor held. The thread sleeps while
/// the queue is empty.
///
/// When the queue is full, the adaptor either makes the logging thread wait for room
/// (WhenFull::block: nothing is lost) or drops the new line and counts it (WhenFull::drop: the
/// logging thread never waits; see dropped()).
///
/// A line logged by the wrapped sink itself (on the background thread) is not queued: it is
/// delivered at once, by a nested call of the wrapped sink on that thread, as it would be for a
/// sink attached without the adaptor. So such a line never waits for room (which only that
/// thread could make) and is never dropped.
///
/// Queued lines are delivered before they could be lost: by flush(), by the destructor, by the
/// library's shutdown call, and when the process exits with an adaptor still alive (a static one,
/// or one never destroyed). Once stopped by the shutdown call or at exit, an adaptor has no
/// thread: each line given to it is delivered at once on the caller's thread, so logging keeps
/// working and nothing is lost. On Windows the library's exit work runs when the system has
/// already ended the other threads: an adaptor still alive then loses the one line its thread
/// was delivering at that moment, if any. Call shutdown() (or destroy the adaptor) before the
/// program returns from main to lose nothing there.
///
/// Example:
/// @code
///   static CAsyncSink toSocket(TFunction1<bool, const char*>(&sender, &Sender::send));
///   toSocket.attach();                 // lines now reach sender.send on the "AsyncSink" thread
///   logWarn("disk %s is full\n", name);
///   toSocket.flush(1000);              // wait up to a second until sender.send has had it
/// @endcode
#ifndef INFRA_ASYNCSINK_H
#define INFRA_ASYNCSINK_H

#include <cstddef>
#include <cstdint>

#include "infra/Defs.h"
#include "infra/Function.h"

namespace Tovix {
namespace Infra {

struct AsyncSinkInternal;

/// A print sink that runs a wrapped sink on a background thread of its own. All operations may be
/// called from any thread. Not copyable.
class INFRA_API CAsyncSink {
public:
    /// What a line given to a full queue does.
    enum class WhenFull {
        block,  ///< the logging thread waits until the background thread has made room
        drop,   ///< the line is dropped and counted (dropped()); the logging thread never waits
    };

    /// Wraps `sink`, which will be called on the background thread with each line (its result is
    /// not used). `capacity` is the number of lines the queue holds (0 counts as 1); lines are
    /// copied into it, so the caller's text may go as soon as the call returns. Starts the
    /// background thread. When the system refuses a thread, or `sink` is empty, there is none:
    /// lines are then delivered at once on the caller's thread (an empty `sink` takes no line at
    /// all, and sink() is empty, so attachPrint refuses it).
    explicit CAsyncSink(TFunction1<bool, const char*> sink, std::size_t capacity = 8192,
                        WhenFull whenFull = WhenFull::block);

    /// Detaches sink() from the print sinks, delivers every queued line and ends the thread.
    /// Destroy the adaptor when no other thread can be logging through it any more (see
    /// detachPrint), and never from within the wrapped sink.
    ~CAsyncSink();

    CAsyncSink(const CAsyncSink&) = delete;
    CAsyncSink& operator=(const CAsyncSink&) = delete;

    /// The callable to give attachPrint and detachPrint (or to call with a line directly): it
    /// queues the line, and returns false when the line was dropped (or when it is null), true
    /// otherwise. The same value on every call; empty when the wrapped sink is empty.
    TFunction1<bool, const char*> sink() const;

    /// attachPrint(sink()): false when it was attached already (or the wrapped sink is empty).
    bool attach();
    /// detachPrint(sink()): false when it was not attached.
    bool detach();

    /// Waits until every line queued before the call has been delivered (the wrapped sink has
    /// returned from it): true then, false when `waitMilliseconds` pass first. 0 only looks.
    /// Called from within the wrapped sink it cannot wait for itself: false unless nothing is
    /// queued.
    bool flush(unsigned int waitMilliseconds);

    /// The number of lines dropped because the queue was full (WhenFull::drop only).
    std::uint64_t dropped() const;

private:
    AsyncSinkInternal* m_internal;
};

}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_ASYNCSINK_H
