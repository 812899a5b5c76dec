// Memory: per-thread records on the heap, reached through a thread slot of the platform's own kind
// and given back by a procedure run at the thread's exit.
//
// Used where the C++ runtime's thread-local variables cannot be trusted at a thread's exit: a
// thread-local pointer there may already be gone when the exit procedures run (threads started by
// the threads library), or still be alive after them (threads started by the system's own call),
// and then point at a record the exit procedure has freed. The platform's slot outlives both; the
// exit procedure leaves a retired record in it, so that the thread's later uses (another module's
// thread-detach code dropping a packet) keep nothing instead of reaching freed memory.
#ifndef INFRA_SRC_MEMORY_HELDRECORD_H
#define INFRA_SRC_MEMORY_HELDRECORD_H

#include <new>

#include "platform/Platform.h"

namespace Tovix {
namespace Memory {
namespace Detail {

// `Record` is plain data with `armed` and `retired` flags; `Release` empties it and sets
// `retired`. A retired record is shared by every ended thread and only ever read.
template <class Record, void (*Release)(Record&)>
class HeldRecord {
public:
    // The calling thread's record: null until armed, a retired one once the thread is ending.
    static Record* current() { return static_cast<Record*>(Platform::tlsGet(key())); }

    // The calling thread's record, made and armed (its release at thread exit registered) on
    // first use; null once the thread is ending or when no memory or slot is left.
    static Record* armed() {
        Record* record = current();
        if (record != nullptr) {
            return record->retired ? nullptr : record;
        }
        record = new (std::nothrow) Record{};
        if (record == nullptr) {
            return nullptr;
        }
        record->armed = true;
        if (!Platform::tlsSet(key(), record)) {
            delete record;
            return nullptr;
        }
        if (!Platform::atThreadExit(&release, record)) {
            // The thread is already running its exit procedures: nothing would free it.
            Platform::tlsSet(key(), retiredRecord());
            delete record;
            return nullptr;
        }
        return record;
    }

private:
    static Platform::TlsKey key() {
        static const Platform::TlsKey slot = Platform::tlsAlloc();
        return slot;
    }

    static Record* retiredRecord() {
        static Record retired = [] {
            Record r{};
            r.armed = true;
            r.retired = true;
            return r;
        }();
        return &retired;
    }

    static void release(void* value) {
        Record* const record = static_cast<Record*>(value);
        Platform::tlsSet(key(), retiredRecord());
        Release(*record);
        delete record;
    }
};

}  // namespace Detail
}  // namespace Memory
}  // namespace Tovix

#endif  // INFRA_SRC_MEMORY_HELDRECORD_H
