// Platform, the dynamic-library seam: loading a library by file name and finding an exported entry
// point. Implemented by src/platform/posix/DynamicLibrary.cpp (dlopen/dlsym) and, on Windows, by
// LoadLibraryA/GetProcAddress. Nothing here throws.
#ifndef INFRA_PLATFORM_DYNAMICLIBRARY_H
#define INFRA_PLATFORM_DYNAMICLIBRARY_H

#include <cstddef>

namespace Tovix {
namespace Platform {

// A loaded library; it stays loaded for the life of the process.
struct DynamicLibrary;

// An exported entry point, to be cast to its real function type by the caller.
typedef void (*LibraryProc)();

// Loads the library `fileName` (a bare name is searched for on the loader's path, one holding a
// separator is taken as a path), resolving all its symbols now. Loading one library again returns
// the same handle. Null when it cannot be loaded; then, when `reason` is given, the loader's own
// text for the failure (taken right after the failing call, one line, no trailing line break) is
// written there, cut to `reasonSize` - 1 characters and terminated.
DynamicLibrary* libraryOpen(const char* fileName, char* reason, std::size_t reasonSize);

// The entry point `name` of `library`; null when it is not exported.
LibraryProc librarySymbol(DynamicLibrary* library, const char* name);

}  // namespace Platform
}  // namespace Tovix

#endif  // INFRA_PLATFORM_DYNAMICLIBRARY_H
