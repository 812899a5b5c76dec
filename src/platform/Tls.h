// Platform, the thread-local seam: slots of the system's own, procedures run as a thread ends, and
// per-thread records on the heap built on both (ThreadRecord). The slots and the exit procedures
// are implemented by src/platform/posix/Tls.cpp and src/platform/win32/Tls.cpp; ThreadRecord is
// inline. Nothing here throws.
#ifndef INFRA_PLATFORM_TLS_H
#define INFRA_PLATFORM_TLS_H

#include <cstdint>
#include <new>

namespace Tovix {
namespace Platform {

// ---- Thread-local slots ---------------------------------------------------------------------

using TlsKey = std::uintptr_t;
constexpr TlsKey kInvalidTlsKey = ~static_cast<TlsKey>(0);

// kInvalidTlsKey when no slot could be allocated.
TlsKey tlsAlloc();
void tlsFree(TlsKey key);
bool tlsSet(TlsKey key, const void* value);
// Null when never set on this thread.
void* tlsGet(TlsKey key);

// ---- Thread exit ----------------------------------------------------------------------------

// Runs proc(value) once when the calling thread ends, for threads of any origin. On Windows the
// thread's C++ thread-local variables may be gone (they come back zeroed: threads of the threads
// library) or still alive, to be torn down after `proc` (threads of the system's own call), so
// `proc` reaches its state through `value` and the slots above alone. On POSIX `proc` runs after
// the thread's C++ thread-local objects are destroyed, while its thread-local storage is still
// there. False, with nothing registered, when the thread is already running its exit procedures
// or no memory is left: the caller keeps nothing for the thread.
bool atThreadExit(void (*proc)(void*), void* value);

// ---- Per-thread records ---------------------------------------------------------------------

// One record of plain data per thread, on the heap (so that the library's static thread-local
// block stays small and a program may load the library late), made zero-filled on the thread's
// first get(). As the thread ends, its record is handed to `Release` (when given) and freed;
// from then on the thread has none, and get() makes none: later uses on the thread (another
// module's thread-exit code dropping a packet) keep nothing instead of reaching freed memory.
//
// find() is the hot path. On POSIX it reads one thread-local pointer. On Windows the record is
// reached through a slot of the system's own: there a C++ thread-local pointer may already read
// as empty while the exit procedures run, or outlive them and point at the freed record.
//
// `Record` must be value-initialisable with `new Record{}`; `Release` must not throw.
template <class Record, void (*Release)(Record&) = nullptr>
class ThreadRecord {
public:
    // The calling thread's record; null before its first get() and once the thread is ending.
    static Record* find();

    // The calling thread's record, made (and its release at thread exit registered) on first
    // use; null when no memory is left or the thread is ending (callers then do without).
    static Record* get() {
        Record* const record = find();
        return record != nullptr ? record : make();
    }

private:
#if defined(__GNUC__)
    __attribute__((noinline))
#endif
    static Record*
    make();

    static void release(void* value) {
        Record* const record = static_cast<Record*>(value);
        retire();
        if (Release != nullptr) {
            Release(*record);
        }
        delete record;
    }

    // Whether the thread's record is gone (the thread is ending).
    static bool retired();
    // Marks the thread as ending: no record from now on.
    static void retire();
    // Stores `record` as the thread's; false when it could not be stored.
    static bool store(Record* record);

#if defined(_WIN32)
    static TlsKey key() {
        static const TlsKey slot = tlsAlloc();
        return slot;
    }

    // Stands in the slot of a thread whose record is gone.
    static void* retiredMark() {
        static const char mark = 0;
        return const_cast<char*>(&mark);
    }
#else
    // Trivial, so the thread-local slot starts zeroed with no constructor, guard or destructor.
    struct Slot {
        Record* record;
        bool retired;
    };

    // The initial-exec model makes the read one thread-pointer-relative access instead of a call
    // into the dynamic loader; the slot is small enough for the static reserve even when the
    // library is loaded late.
    static Slot& slot() {
#if defined(__GNUC__)
        __attribute__((tls_model("initial-exec")))
#endif
        static thread_local Slot t_slot;
        return t_slot;
    }
#endif
};

#if defined(_WIN32)

template <class Record, void (*Release)(Record&)>
inline Record* ThreadRecord<Record, Release>::find() {
    void* const value = tlsGet(key());
    return value != retiredMark() ? static_cast<Record*>(value) : nullptr;
}

template <class Record, void (*Release)(Record&)>
inline bool ThreadRecord<Record, Release>::retired() {
    return tlsGet(key()) == retiredMark();
}

template <class Record, void (*Release)(Record&)>
inline void ThreadRecord<Record, Release>::retire() {
    tlsSet(key(), retiredMark());
}

template <class Record, void (*Release)(Record&)>
inline bool ThreadRecord<Record, Release>::store(Record* record) {
    return tlsSet(key(), record);
}

#else

template <class Record, void (*Release)(Record&)>
inline Record* ThreadRecord<Record, Release>::find() {
    return slot().record;
}

template <class Record, void (*Release)(Record&)>
inline bool ThreadRecord<Record, Release>::retired() {
    return slot().retired;
}

template <class Record, void (*Release)(Record&)>
inline void ThreadRecord<Record, Release>::retire() {
    Slot& s = slot();
    s.record = nullptr;
    s.retired = true;
}

template <class Record, void (*Release)(Record&)>
inline bool ThreadRecord<Record, Release>::store(Record* record) {
    slot().record = record;
    return true;
}

#endif

template <class Record, void (*Release)(Record&)>
Record* ThreadRecord<Record, Release>::make() {
    if (retired()) {
        return nullptr;
    }
    Record* const record = new (std::nothrow) Record{};
    if (record == nullptr) {
        return nullptr;
    }
    if (!store(record)) {
        delete record;
        return nullptr;
    }
    if (!atThreadExit(&release, record)) {
        // The thread is already running its exit procedures: nothing would free the record.
        retire();
        delete record;
        return nullptr;
    }
    return record;
}

}  // namespace Platform
}  // namespace Tovix

#endif  // INFRA_PLATFORM_TLS_H
