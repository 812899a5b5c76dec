// Platform, dynamic libraries on Windows: LoadLibraryA and GetProcAddress.
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

}  // namespace

DynamicLibrary* libraryOpen(const char* fileName) {
    if (fileName == nullptr || fileName[0] == '\0') {
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
    if (modeSet) {
        const DWORD error = GetLastError();
        setMode(previous, nullptr);
        SetLastError(error);
    }
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
