// Platform: the native re-entrant lock, inline: the library's mutexes embed it and call it
// directly, so a lock operation costs no call beyond the one into the C library. Portable code
// includes this header as "NativeLock.h"; the build puts the chosen platform's folder on the
// include path.
#ifndef INFRA_PLATFORM_POSIX_NATIVELOCK_H
#define INFRA_PLATFORM_POSIX_NATIVELOCK_H

#include <pthread.h>

namespace Tovix {
namespace Platform {

struct NativeLock {
    pthread_mutex_t mutex;
};

// False when the OS refused to create the lock.
inline bool nativeLockInit(NativeLock* lock) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0) {
        return false;
    }
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    const int rc = pthread_mutex_init(&lock->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc == 0;
}

inline void nativeLockDestroy(NativeLock* lock) {
    pthread_mutex_destroy(&lock->mutex);
}

inline void nativeLockEnter(NativeLock* lock) {
    pthread_mutex_lock(&lock->mutex);
}

// True when taken without waiting (also when the caller already owns it).
inline bool nativeLockTryEnter(NativeLock* lock) {
    return pthread_mutex_trylock(&lock->mutex) == 0;
}

// False when the caller does not own the lock.
inline bool nativeLockLeave(NativeLock* lock) {
    return pthread_mutex_unlock(&lock->mutex) == 0;
}

}  // namespace Platform
}  // namespace Tovix

#endif  // INFRA_PLATFORM_POSIX_NATIVELOCK_H
