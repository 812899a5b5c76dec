/// @file
/// The thread registry: every CThread body that runs is listed (the most recently started first)
/// from just before its threadProc starts until just after it returns. The registry reports;
/// it never acts on a thread. A watchdog asks it for the threads whose supervision deadline has
/// passed (CThread::setTimeout, setCurrentTimeout; timer callbacks get their timer's time-out).
#ifndef INFRA_THREADMANAGER_H
#define INFRA_THREADMANAGER_H

#include "infra/Defs.h"
#include "infra/FlexString.h"

namespace Tovix {
namespace Infra {

class ThreadManagerInternal;
namespace Detail {
enum class SingletonLifetime;
template <class T, SingletonLifetime Lifetime>
class TSingleton;
}  // namespace Detail

/// The public face of the registry. All operations may be called from any thread, also while
/// threads start and end, and from exit handlers: the registry is never destroyed.
class INFRA_API CThreadManager {
public:
    /// The one instance; never null.
    static CThreadManager* instance();

    /// Records the caller's thread id as the main thread's (shown in dumpThreads).
    void registerMainThread();

    /// Logs the thread table at information level (4), e.g.
    ///   Threads:
    ///                  Name            TID  Prior State
    ///   _______________________________________________________
    ///                       Main       4711   64  Normal
    ///               TimerManager       4713    1  Normal
    /// then an empty line. "Main" carries the registered main thread id (-1 if none); the other
    /// lines list the running CThread bodies, newest first, with "Timeout" for a passed deadline.
    void dumpThreads();

    /// Assigns the name of the running CThread body with that id to `name`; false (and `name`
    /// unchanged) when no body has that id.
    bool getThreadNameByID(int id, flex_string& name);

    /// Replaces `names` with "name(id)" for every running body whose deadline has passed, with no
    /// separators, newest first (e.g. "Net(1200)Disk(1304)"). True when at least one is listed.
    bool getTimeOutThreads(flex_string& names);

    /// True when a running CThread body has that thread id.
    bool hasThread(int id);

private:
    template <class T, Detail::SingletonLifetime Lifetime>
    friend class Detail::TSingleton;
    CThreadManager();
    ~CThreadManager() = default;
    CThreadManager(const CThreadManager&) = delete;
    CThreadManager& operator=(const CThreadManager&) = delete;

    ThreadManagerInternal* m_internal;
};

}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_THREADMANAGER_H
