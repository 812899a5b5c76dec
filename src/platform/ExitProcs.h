// Platform: thread exit procedures, the part of the Tls seam that posix/Tls.cpp and win32/Tls.cpp
// share: the procedures a thread runs as it ends, as a list in one thread-local slot of the
// platform's own kind (a key whose destructor, or a fiber-local slot whose callback, runs the
// list).
#ifndef INFRA_PLATFORM_EXITPROCS_H
#define INFRA_PLATFORM_EXITPROCS_H

#include <new>

namespace Tovix {
namespace Platform {

struct ExitProc {
    void (*proc)(void*);
    void* value;
    ExitProc* next;
};

// Stands in a thread's slot while its exit procedures run, so that late registrations are
// refused rather than lost.
inline ExitProc* exitingMark() {
    static ExitProc mark{nullptr, nullptr, nullptr};
    return &mark;
}

// Runs and frees `list`; the caller has put exitingMark() in the slot first.
inline void runExitList(ExitProc* list) {
    while (list != nullptr) {
        ExitProc* const next = list->next;
        list->proc(list->value);
        delete list;
        list = next;
    }
}

// Puts proc(value) in front of `head`, the slot's list, and stores the new head with `store`
// (false when it could not); false once the thread is running its exit procedures.
template <class Store>
bool addExitProc(ExitProc* head, void (*proc)(void*), void* value, Store store) {
    if (head == exitingMark()) {
        return false;
    }
    ExitProc* const entry = new (std::nothrow) ExitProc{proc, value, head};
    if (entry == nullptr || !store(entry)) {
        delete entry;
        return false;
    }
    return true;
}

}  // namespace Platform
}  // namespace Tovix

#endif  // INFRA_PLATFORM_EXITPROCS_H
