// Platform, dynamic libraries on Windows: LoadLibraryA and GetProcAddress.
#include <cstdio>
#include <string>

#include "WindowsHeader.h"
#include "platform/DynamicLibrary.h"

namespace Tovix {
namespace Platform {

namespace {

using SetThreadErrorModeFunction = BOOL(WINAPI*)(DWORD, LPDWORD);

// SetThreadErrorMode exists from Windows 7 on; where it is missing, the loader's error boxes are
// left as the process has them rather than changing the process-wide mode.
SetThreadErrorModeFunction setThreadErrorModeFunction() {
    static const SetThreadErrorModeFunction function = [] {
        const HMODULE kernel = GetModuleHandleA("kernel32.dll");
        FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "SetThreadErrorMode") : nullptr;
        // Casting through a generic function pointer type keeps the compiler's function-type
        // check quiet; the signature is the documented one.
        return found != nullptr ? reinterpret_cast<SetThreadErrorModeFunction>(
                                      reinterpret_cast<void (*)()>(found))
                                : nullptr;
    }();
    return function;
}

// The system's text for `error`, without its trailing line break, or the number when it has none.
void copyReason(DWORD error, char* reason, std::size_t reasonSize) {
    if (reason == nullptr || reasonSize == 0) {
        return;
    }
    const DWORD capacity = reasonSize > 0xFFFFu ? 0xFFFFu : static_cast<DWORD>(reasonSize);
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reason, capacity, nullptr);
    if (length == 0 || length >= capacity) {
        std::snprintf(reason, reasonSize, "error %lu", static_cast<unsigned long>(error));
        return;
    }
    while (length > 0 && (reason[length - 1] == '\r' || reason[length - 1] == '\n')) {
        --length;
    }
    reason[length] = '\0';
}

}  // namespace

DynamicLibrary* libraryOpen(const char* fileName, char* reason, std::size_t reasonSize) {
    if (fileName == nullptr || fileName[0] == '\0') {
        copyReason(ERROR_INVALID_PARAMETER, reason, reasonSize);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // The loader takes only '\' as a separator in a path.
    std::string name(fileName);
    for (char& c : name) {
        if (c == '/') {
            c = '\\';
        }
    }
    // A library that cannot be loaded (or one of its dependencies) must come back as a null
    // result, not as a message box waiting for a user, on this thread only.
    const SetThreadErrorModeFunction setMode = setThreadErrorModeFunction();
    DWORD previous = 0;
    const bool modeSet =
        setMode != nullptr && setMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous);
    const HMODULE module = LoadLibraryA(name.c_str());
    const DWORD error = GetLastError();
    if (modeSet) {
        setMode(previous, nullptr);
    }
    if (module == nullptr) {
        copyReason(error, reason, reasonSize);
    }
    SetLastError(error);
    return reinterpret_cast<DynamicLibrary*>(module);
}

LibraryProc librarySymbol(DynamicLibrary* library, const char* name) {
    if (library == nullptr || name == nullptr) {
        return nullptr;
    }
    const FARPROC proc = GetProcAddress(reinterpret_cast<HMODULE>(library), name);
    // Casting through a generic function pointer type keeps the compiler's function-type check
    // quiet; the caller casts to the real type.
    return reinterpret_cast<LibraryProc>(reinterpret_cast<void (*)()>(proc));
}

}  // namespace Platform
}  // namespace Tovix
