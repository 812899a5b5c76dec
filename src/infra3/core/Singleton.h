// Core: the singleton recipe every instance() of the library uses.
//
// The object is created on first use: a lock-free read of the published pointer, then, on a
// miss, a second test under the type's creation mutex, construction with new (the
// constructor may start threads or create other singletons), publication, and registration of
// its destruction with atexit, so singletons die at exit in the reverse order of their creation.
// State that must stay reachable from threads still running at exit uses kImmortal instead.
#ifndef INFRA_SRC_INFRA3_CORE_SINGLETON_H
#define INFRA_SRC_INFRA3_CORE_SINGLETON_H

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "infra3/core/Diagnostics.h"

namespace Tovix {
namespace Infra {
namespace Detail {

enum class SingletonLifetime { kDestroyAtExit, kImmortal };

template <class T, SingletonLifetime Lifetime = SingletonLifetime::kDestroyAtExit>
class TSingleton {
public:
    // The one object; created by the first call. Never null.
    static T* instance() {
        T* object = s_object.load(std::memory_order_acquire);
        return object != nullptr ? object : create();
    }

private:
    static T* create() {
        // One creation mutex per type, so a constructor may create other singletons, even from
        // threads it starts and waits for. It is never destroyed: an exit handler or a late
        // thread asking for the object still finds it.
        // The standard lock: this template is instantiated wherever a singleton is used.
        static std::recursive_mutex* const creationMutex = new std::recursive_mutex;
        const std::lock_guard<std::recursive_mutex> guard(*creationMutex);
        T* object = s_object.load(std::memory_order_relaxed);
        if (object == nullptr) {
            object = new T;
            s_object.store(object, std::memory_order_release);
            if (Lifetime == SingletonLifetime::kDestroyAtExit && std::atexit(&destroy) != 0) {
                INFRA_DIAG_PLAIN(kLevelInfo, "%s:%s atexit failed, line : %d\n", __FILE__,
                                 INFRA_FUNCTION, __LINE__);
            }
        }
        return object;
    }

    static void destroy() { delete s_object.exchange(nullptr, std::memory_order_acq_rel); }

    static std::atomic<T*> s_object;
};

template <class T, SingletonLifetime Lifetime>
std::atomic<T*> TSingleton<T, Lifetime>::s_object{nullptr};

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SRC_INFRA3_CORE_SINGLETON_H
