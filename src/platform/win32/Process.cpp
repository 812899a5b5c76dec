// Windows threads and processes: _beginthreadex with a start trampoline, SetThreadPriority,
// cooperative cancellation at the blocking points (CancellableWait), thread descriptions,
// CreateProcessA.
#include <errno.h>
#include <process.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "WindowsHeader.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "platform/Process.h"

namespace Tovix {
namespace Platform {

struct ThreadHandle {
    HANDLE thread;
    DWORD threadId;
    ThreadEntry entry;
    void* argument;
    std::atomic<int> references;
    bool joined;  // set, under `lock`, by the first threadClose or threadDetach
    // Guards `done` against a cancel or rename racing with the thread's end.
    CRITICAL_SECTION lock;
    bool done;
    HANDLE doneEvent;    // manual-reset: set once entry returned or unwound
    HANDLE cancelEvent;  // manual-reset: set by threadCancel, waited on by CancellableWait users
    bool blocking;       // the thread waits in a CancellableWait (under `lock`)
};

namespace {

// Thrown at a blocking point of a cancelled thread; caught only by the trampoline. Not derived
// from std::exception, so that callers' handlers for ordinary errors let it pass.
struct ThreadCancelUnwind {};

// The handle of the calling thread when threadStart started it; null on other threads.
thread_local ThreadHandle* t_currentHandle = nullptr;

void markDone(ThreadHandle* handle) {
    EnterCriticalSection(&handle->lock);
    handle->done = true;
    SetEvent(handle->doneEvent);
    LeaveCriticalSection(&handle->lock);
}

unsigned __stdcall trampoline(void* argument) {
    ThreadHandle* handle = static_cast<ThreadHandle*>(argument);
    t_currentHandle = handle;
    try {
        handle->entry(handle->argument);
    } catch (const ThreadCancelUnwind&) {
        // The stack has unwound, destructors ran: the thread ends as cancelled.
    }
    t_currentHandle = nullptr;
    markDone(handle);
    threadRelease(handle);  // the thread's own reference
    return 0;
}

void freeHandle(ThreadHandle* handle) {
    if (handle->thread != nullptr) {
        CloseHandle(handle->thread);
    }
    if (handle->doneEvent != nullptr) {
        CloseHandle(handle->doneEvent);
    }
    if (handle->cancelEvent != nullptr) {
        CloseHandle(handle->cancelEvent);
    }
    DeleteCriticalSection(&handle->lock);
    delete handle;
}

// The Windows priorities callers use are the system's own; anything else is clamped into the
// range SetThreadPriority accepts.
int clampPriority(int priority) {
    if (priority >= THREAD_PRIORITY_TIME_CRITICAL) {
        return THREAD_PRIORITY_TIME_CRITICAL;
    }
    if (priority <= THREAD_PRIORITY_IDLE) {
        return THREAD_PRIORITY_IDLE;
    }
    if (priority > THREAD_PRIORITY_HIGHEST) {
        return THREAD_PRIORITY_HIGHEST;
    }
    if (priority < THREAD_PRIORITY_LOWEST) {
        return THREAD_PRIORITY_LOWEST;
    }
    return priority;
}

using SetDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PCWSTR);

// SetThreadDescription exists from Windows 10 1607 on; older systems keep unnamed threads.
SetDescriptionFunction setDescriptionFunction() {
    static const SetDescriptionFunction function = [] {
        const HMODULE kernel = GetModuleHandleA("kernel32.dll");
        FARPROC found =
            kernel != nullptr ? GetProcAddress(kernel, "SetThreadDescription") : nullptr;
        return reinterpret_cast<SetDescriptionFunction>(reinterpret_cast<void (*)()>(found));
    }();
    return function;
}

void describeThread(HANDLE thread, const char* name) {
    const SetDescriptionFunction setDescription = setDescriptionFunction();
    if (setDescription == nullptr) {
        return;
    }
    // The same first 15 bytes that other systems keep, widened from the ANSI code page.
    char shortName[16];
    std::strncpy(shortName, name != nullptr ? name : "", sizeof shortName - 1);
    shortName[sizeof shortName - 1] = '\0';
    wchar_t wide[16];
    if (MultiByteToWideChar(CP_ACP, 0, shortName, -1, wide, 16) == 0) {
        return;
    }
    (void)setDescription(thread, wide);
}

}  // namespace

ThreadHandle* threadStart(ThreadEntry entry, void* argument, std::size_t stackSize,
                          int windowsPriority, int* error) {
    ThreadHandle* handle = new (std::nothrow) ThreadHandle;
    if (handle == nullptr) {
        *error = ENOMEM;
        return nullptr;
    }
    handle->thread = nullptr;
    handle->threadId = 0;
    handle->entry = entry;
    handle->argument = argument;
    // One reference for the creator, one for the thread itself, so that a handle closed early
    // (even from its own thread) stays valid until the trampoline's last touch.
    handle->references.store(2, std::memory_order_relaxed);
    handle->joined = false;
    handle->done = false;
    handle->blocking = false;
    InitializeCriticalSection(&handle->lock);
    handle->doneEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    handle->cancelEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (handle->doneEvent == nullptr || handle->cancelEvent == nullptr) {
        freeHandle(handle);
        *error = ENOMEM;
        return nullptr;
    }
    if (stackSize > 0xFFFFFFFFu) {
        freeHandle(handle);
        *error = EINVAL;
        return nullptr;
    }
    // Started suspended so that the id is known and the priority set before the entry runs.
    unsigned threadId = 0;
    errno = 0;
    const std::uintptr_t started = _beginthreadex(nullptr, static_cast<unsigned>(stackSize),
                                                  &trampoline, handle, CREATE_SUSPENDED, &threadId);
    if (started == 0) {
        *error = errno != 0 ? errno : EAGAIN;
        freeHandle(handle);
        return nullptr;
    }
    handle->thread = reinterpret_cast<HANDLE>(started);
    handle->threadId = threadId;
    // A hint only: lacking the right to raise priority is no reason to fail.
    (void)SetThreadPriority(handle->thread, clampPriority(windowsPriority));
    ResumeThread(handle->thread);
    *error = 0;
    return handle;
}

void threadRetain(ThreadHandle* handle) {
    handle->references.fetch_add(1, std::memory_order_relaxed);
}

void threadRelease(ThreadHandle* handle) {
    if (handle->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        freeHandle(handle);
    }
}

// True for the first caller only.
bool claimJoin(ThreadHandle* handle) {
    EnterCriticalSection(&handle->lock);
    const bool first = !handle->joined;
    handle->joined = true;
    LeaveCriticalSection(&handle->lock);
    return first;
}

void threadDetach(ThreadHandle* handle) {
    // A Windows thread needs nothing beyond its handle, closed with the last reference.
    claimJoin(handle);
}

void threadClose(ThreadHandle* handle) {
    if (claimJoin(handle)) {
        // Misuse guard: a thread cannot wait for itself; its handle is closed with the record.
        if (GetCurrentThreadId() != handle->threadId) {
            WaitForSingleObject(handle->thread, INFINITE);
        }
    }
    threadRelease(handle);
}

bool threadWaitDone(ThreadHandle* handle, long long timeoutMs) {
    if (timeoutMs < 0) {
        return WaitForSingleObject(handle->doneEvent, INFINITE) == WAIT_OBJECT_0;
    }
    constexpr long long kLongestWait = 0x7FFFFFFFLL;
    for (;;) {
        const long long slice = timeoutMs < kLongestWait ? timeoutMs : kLongestWait;
        if (WaitForSingleObject(handle->doneEvent, static_cast<DWORD>(slice)) == WAIT_OBJECT_0) {
            return true;
        }
        timeoutMs -= slice;
        if (timeoutMs <= 0) {
            return false;
        }
    }
}

bool threadIsCurrent(const ThreadHandle* handle) {
    return GetCurrentThreadId() == handle->threadId;
}

CancelResult threadCancel(ThreadHandle* handle) {
    // Killing a thread wherever it runs (TerminateThread) would leave the locks it holds taken
    // and its memory leaked; the cancel is delivered at its blocking points instead. Under the
    // lock the thread cannot leave a blocking point unnoticed: CancellableWait::leave takes it,
    // then looks at the event.
    EnterCriticalSection(&handle->lock);
    CancelResult result = CancelResult::kEnded;
    if (!handle->done) {
        if (SetEvent(handle->cancelEvent) == FALSE) {
            result = CancelResult::kFailed;
        } else {
            result = handle->blocking ? CancelResult::kEnding : CancelResult::kPending;
        }
    }
    LeaveCriticalSection(&handle->lock);
    return result;
}

void threadSetName(ThreadHandle* handle, const char* name) {
    EnterCriticalSection(&handle->lock);
    if (!handle->done) {
        describeThread(handle->thread, name);
    }
    LeaveCriticalSection(&handle->lock);
}

void currentThreadSetName(const char* name) {
    describeThread(GetCurrentThread(), name);
}

namespace {

void markBlocking(ThreadHandle* handle, bool blocking) {
    EnterCriticalSection(&handle->lock);
    handle->blocking = blocking;
    LeaveCriticalSection(&handle->lock);
}

bool cancelRequested(const ThreadHandle* handle) {
    return WaitForSingleObject(handle->cancelEvent, 0) == WAIT_OBJECT_0;
}

}  // namespace

CancellableWait::CancellableWait() : m_handle(t_currentHandle), m_previousState(0), m_open(true) {
    if (m_handle != nullptr) {
        markBlocking(m_handle, true);
    }
}

CancellableWait::~CancellableWait() {
    if (m_open && m_handle != nullptr) {
        markBlocking(m_handle, false);
    }
}

void CancellableWait::leave() {
    m_open = false;
    if (m_handle != nullptr) {
        markBlocking(m_handle, false);
        // A cancel sent while the thread was marked as blocking takes effect here at the latest.
        if (cancelRequested(m_handle)) {
            throw ThreadCancelUnwind();
        }
    }
}

void* CancellableWait::cancelEvent() const {
    return m_handle != nullptr ? m_handle->cancelEvent : nullptr;
}

void CancellableWait::cancelNow() {
    m_open = false;
    if (m_handle != nullptr) {
        markBlocking(m_handle, false);
    }
    throw ThreadCancelUnwind();
}

void sleepCancellable(unsigned int milliseconds) {
    CancellableWait wait;
    const HANDLE cancel = static_cast<HANDLE>(wait.cancelEvent());
    if (cancel == nullptr) {
        sleepMilliseconds(milliseconds);
        wait.leave();
        return;
    }
    if (WaitForSingleObject(cancel, 0) == WAIT_OBJECT_0) {
        wait.cancelNow();
    }
    if (milliseconds == 0) {
        Sleep(0);
        wait.leave();
        return;
    }
    // The wait may end a fraction of a scheduler tick early: wait again for what is left.
    const unsigned long long end =
        monotonicMicroseconds() + static_cast<unsigned long long>(milliseconds) * 1000ULL;
    DWORD slice = milliseconds < INFINITE ? milliseconds : INFINITE - 1;
    for (;;) {
        if (WaitForSingleObject(cancel, slice) == WAIT_OBJECT_0) {
            wait.cancelNow();
        }
        const unsigned long long now = monotonicMicroseconds();
        if (now >= end) {
            break;
        }
        slice = static_cast<DWORD>((end - now + 999ULL) / 1000ULL);
    }
    wait.leave();
}

namespace {

// Appends one argument to a command line so that the C runtime's parser gives it back
// unchanged: quoted when it holds blanks or quotes (or is empty), backslashes doubled where
// they precede a quote.
void appendQuoted(std::string* line, const char* word) {
    if (!line->empty()) {
        line->push_back(' ');
    }
    if (word[0] != '\0' && std::strpbrk(word, " \t\n\v\"") == nullptr) {
        line->append(word);
        return;
    }
    line->push_back('"');
    std::size_t backslashes = 0;
    for (const char* p = word; *p != '\0'; ++p) {
        if (*p == '\\') {
            ++backslashes;
            continue;
        }
        if (*p == '"') {
            line->append(backslashes * 2 + 1, '\\');
        } else {
            line->append(backslashes, '\\');
        }
        backslashes = 0;
        line->push_back(*p);
    }
    line->append(backslashes * 2, '\\');
    line->push_back('"');
}

// An inheritable duplicate of one standard handle, or null when the process has none.
HANDLE inheritableCopy(DWORD which) {
    const HANDLE original = GetStdHandle(which);
    if (original == nullptr || original == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    HANDLE copy = nullptr;
    const HANDLE process = GetCurrentProcess();
    if (!DuplicateHandle(process, original, process, &copy, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}

}  // namespace

int spawnAndWait(const char* const* argv) {
    if (argv == nullptr || argv[0] == nullptr || argv[0][0] == '\0') {
        return -1;
    }
    std::string line;
    for (const char* const* word = argv; *word != nullptr; ++word) {
        appendQuoted(&line, *word);
    }
    std::vector<char> commandLine(line.begin(), line.end());
    commandLine.push_back('\0');

    // Only the standard streams are handed on: inheritable copies of them, named in an
    // explicit handle list so that no other inheritable handle of the process leaks into the
    // child.
    HANDLE streams[3] = {inheritableCopy(STD_INPUT_HANDLE), inheritableCopy(STD_OUTPUT_HANDLE),
                         inheritableCopy(STD_ERROR_HANDLE)};
    HANDLE listed[3];
    DWORD listedCount = 0;
    for (HANDLE stream : streams) {
        if (stream != nullptr) {
            listed[listedCount++] = stream;
        }
    }
    STARTUPINFOEXA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = streams[0];
    startup.StartupInfo.hStdOutput = streams[1];
    startup.StartupInfo.hStdError = streams[2];

    std::vector<unsigned char> attributeStorage;
    bool haveList = false;
    if (listedCount > 0) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        attributeStorage.resize(size);
        auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeStorage.data());
        if (size != 0 && InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
            if (UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, listed,
                                          listedCount * sizeof(HANDLE), nullptr, nullptr)) {
                startup.lpAttributeList = attributes;
                haveList = true;
            } else {
                DeleteProcThreadAttributeList(attributes);
            }
        }
    }

    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof process);
    // Without a handle list, inheriting would hand on every inheritable handle: then the child
    // gets no handles at all and opens its own console streams.
    const BOOL inherit = haveList ? TRUE : FALSE;
    const DWORD flags = haveList ? EXTENDED_STARTUPINFO_PRESENT : 0;
    if (!haveList) {
        startup.StartupInfo.cb = sizeof startup.StartupInfo;
        startup.StartupInfo.dwFlags = 0;
    }
    const BOOL created = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, inherit,
                                        flags, nullptr, nullptr, &startup.StartupInfo, &process);
    if (haveList) {
        DeleteProcThreadAttributeList(startup.lpAttributeList);
    }
    for (HANDLE stream : streams) {
        if (stream != nullptr) {
            CloseHandle(stream);
        }
    }
    if (!created) {
        return -1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}

}  // namespace Platform
}  // namespace Tovix
