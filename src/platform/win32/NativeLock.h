// Platform: the native re-entrant lock, inline: a critical section, which its owner may enter
// again. Portable code includes this header as "NativeLock.h"; the build puts the chosen platform's
// folder on the include path.
#ifndef INFRA_PLATFORM_WIN32_NATIVELOCK_H
#define INFRA_PLATFORM_WIN32_NATIVELOCK_H

#include "WindowsHeader.h"

namespace Tovix {
namespace Platform {

struct NativeLock {
    CRITICAL_SECTION section;
};

// False when the OS refused to create the lock.
inline bool nativeLockInit(NativeLock* lock) {
    // A short spin before sleeping, as the heap manager uses; the flag keeps the debug-info
    // block (leaked by design on newer systems) out of it.
    return InitializeCriticalSectionEx(&lock->section, 1500, CRITICAL_SECTION_NO_DEBUG_INFO) !=
           FALSE;
}

inline void nativeLockDestroy(NativeLock* lock) {
    DeleteCriticalSection(&lock->section);
}

inline void nativeLockEnter(NativeLock* lock) {
    EnterCriticalSection(&lock->section);
}

// True when taken without waiting (also when the caller already owns it).
inline bool nativeLockTryEnter(NativeLock* lock) {
    return TryEnterCriticalSection(&lock->section) != FALSE;
}

// False when the caller does not own the lock. Leaving a critical section one does not own
// corrupts it, so ownership is checked first: only the owner itself can have stored its own id
// in OwningThread, so the comparison cannot be fooled by a racing owner change.
inline bool nativeLockLeave(NativeLock* lock) {
    const volatile HANDLE* owner = &lock->section.OwningThread;
    if (*owner != reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId()))) {
        return false;
    }
    LeaveCriticalSection(&lock->section);
    return true;
}

}  // namespace Platform
}  // namespace Tovix

#endif  // INFRA_PLATFORM_WIN32_NATIVELOCK_H
