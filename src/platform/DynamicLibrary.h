// Platform, the dynamic-library seam: loading a library by file name and finding an exported entry
// point. Implemented by src/platform/posix/DynamicLibrary.cpp (dlopen/dlsym) and, on Windows, by
// LoadLibraryA/GetProcAddress. Nothing here throws.
#ifndef INFRA_PLATFORM_DYNAMICLIBRARY_H
#define INFRA_PLATFORM_DYNAMICLIBRARY_H

namespace Tovix {
namespace Platform {

// A loaded library; it stays loaded for the life of the process.
struct DynamicLibrary;

// An exported entry point, to be cast to its real function type by the caller.
typedef void (*LibraryProc)();

// Loads the library `fileName` (a bare name is searched for on the loader's path), resolving all
// its symbols now. Loading one library again returns the same handle. Null when it cannot be
// loaded.
DynamicLibrary* libraryOpen(const char* fileName);

// The entry point `name` of `library`; null when it is not exported.
LibraryProc librarySymbol(DynamicLibrary* library, const char* name);

}  // namespace Platform
}  // namespace Tovix

#endif  // INFRA_PLATFORM_DYNAMICLIBRARY_H
