// Platform, dynamic libraries on POSIX: dlopen with immediate binding and dlsym.
#include <dlfcn.h>

#include <cstring>

#include "platform/DynamicLibrary.h"

namespace Tovix {
namespace Platform {

DynamicLibrary* libraryOpen(const char* fileName) {
    if (fileName == nullptr) {
        return nullptr;
    }
    return static_cast<DynamicLibrary*>(dlopen(fileName, RTLD_NOW));
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
