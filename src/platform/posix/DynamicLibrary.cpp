// Platform, dynamic libraries on POSIX: dlopen with immediate binding and dlsym.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "platform/DynamicLibrary.h"

namespace Tovix {
namespace Platform {

namespace {

void copyReason(const char* text, char* reason, std::size_t reasonSize) {
    if (reason != nullptr && reasonSize > 0) {
        std::snprintf(reason, reasonSize, "%s", text);
    }
}

}  // namespace

DynamicLibrary* libraryOpen(const char* fileName, char* reason, std::size_t reasonSize) {
    if (fileName == nullptr) {
        copyReason("no file name", reason, reasonSize);
        return nullptr;
    }
    void* const handle = dlopen(fileName, RTLD_NOW);
    if (handle == nullptr) {
        // The text is the thread's own (glibc) and is read before anything else may replace it.
        const char* const text = dlerror();
        copyReason(text != nullptr ? text : "unknown loader error", reason, reasonSize);
        // Asked again once the text is read, glibc frees the thread's error record, which
        // would otherwise stay allocated until the thread ends (and at exit, for good).
        dlerror();
    }
    return static_cast<DynamicLibrary*>(handle);
}

LibraryProc librarySymbol(DynamicLibrary* library, const char* name) {
    if (library == nullptr || name == nullptr) {
        return nullptr;
    }
    void* address = dlsym(static_cast<void*>(library), name);
    LibraryProc proc = nullptr;
    // Object and function pointers have the same size on every POSIX target; copying the bits
    // avoids the conditionally-supported cast between them.
    static_assert(sizeof(proc) == sizeof(address), "function and object pointers differ in size");
    std::memcpy(&proc, &address, sizeof(proc));
    return proc;
}

}  // namespace Platform
}  // namespace Tovix
