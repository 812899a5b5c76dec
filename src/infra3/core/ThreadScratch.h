// Per-thread records too large for the library's static thread-local block, which stays small so
// that a program may also load the library late (dlopen): each lives on the heap behind a small
// thread-local slot and is freed when its thread ends.
#ifndef INFRA_SRC_INFRA3_CORE_THREADSCRATCH_H
#define INFRA_SRC_INFRA3_CORE_THREADSCRATCH_H

#include <new>

#include "infra/Defs.h"
#include "platform/Platform.h"

namespace Tovix {
namespace Infra {
namespace Detail {

// Trivial: a thread-local slot starts zeroed, with no constructor, guard or destructor.
template <class Record>
struct ScratchSlot {
    Record* record;
    bool retired;  // freed at the thread's end: later lines of the thread keep nothing
};

template <class Record>
struct ScratchBlock {
    Record record;
    ScratchSlot<Record>* owner;
};

template <class Record>
void releaseScratch(void* block) {
    ScratchBlock<Record>* const held = static_cast<ScratchBlock<Record>*>(block);
    // Where thread-local variables are already gone, the slot reads as empty by itself.
    if (Platform::kThreadLocalsOutliveExitProcs) {
        held->owner->record = nullptr;
        held->owner->retired = true;
    }
    delete held;
}

template <class Record>
#if defined(__GNUC__)
__attribute__((noinline))
#endif
Record*
makeScratch(ScratchSlot<Record>& slot) {
    if (slot.retired) {
        return nullptr;
    }
    ScratchBlock<Record>* const held = new (std::nothrow) ScratchBlock<Record>{};
    if (held == nullptr) {
        return nullptr;
    }
    held->owner = &slot;
    if (!Platform::atThreadExit(&releaseScratch<Record>, held)) {
        delete held;  // the thread is ending: nothing would free it
        return nullptr;
    }
    slot.record = &held->record;
    return slot.record;
}

// The calling thread's record of `slot`, zero-filled when first made; null when no memory is
// left or the thread is ending (callers then do without).
template <class Record>
inline Record* scratchRecord(ScratchSlot<Record>& slot) {
    Record* const record = slot.record;
    return INFRA_LIKELY(record != nullptr) ? record : makeScratch(slot);
}

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SRC_INFRA3_CORE_THREADSCRATCH_H
