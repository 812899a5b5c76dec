// Per-thread records kept on the heap for platforms whose runtime tears a thread's thread-local
// variables down before the procedures run at the thread's exit: a thread-local pointer reaches
// the record, and the exit procedure is handed its address.
#ifndef INFRA_SRC_MEMORY_HELDRECORD_H
#define INFRA_SRC_MEMORY_HELDRECORD_H

#include <new>

#include "platform/Platform.h"

namespace Tovix {
namespace Memory {
namespace Detail {

template <class Record, void (*Release)(Record&)>
void releaseHeldRecord(void* record) {
    Release(*static_cast<Record*>(record));
    delete static_cast<Record*>(record);
}

// The calling thread's record, whose pointer lives in `current`: made and armed (its release at
// thread exit registered) on first use; null once the thread is ending. `Record` is plain data
// with `armed` and `retired` flags; `Release` empties it and sets `retired`.
template <class Record, void (*Release)(Record&)>
Record* heldRecord(Record*& current) {
    if (current != nullptr) {
        return current->retired ? nullptr : current;
    }
    Record* record = new (std::nothrow) Record{};
    if (record == nullptr || !Platform::atThreadExit(&releaseHeldRecord<Record, Release>, record)) {
        delete record;
        return nullptr;
    }
    record->armed = true;
    current = record;
    return record;
}

}  // namespace Detail
}  // namespace Memory
}  // namespace Tovix

#endif  // INFRA_SRC_MEMORY_HELDRECORD_H
