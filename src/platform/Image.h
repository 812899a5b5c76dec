// Platform, the program-image seam: where the loaded program and this library keep their read-only
// bytes. Implemented by src/platform/posix/Image.cpp (the loaded objects' program headers) and
// src/platform/win32/Image.cpp (the modules' section tables). Nothing here throws.
#ifndef INFRA_PLATFORM_IMAGE_H
#define INFRA_PLATFORM_IMAGE_H

#include <cstdint>

namespace Tovix {
namespace Platform {

struct AddressRange {
    std::uintptr_t begin;
    std::uintptr_t end;  // one past the last byte
};

// The read-only parts of the main program's image and of this library's own image: bytes there
// (string literals among them) never change while the process, or this library, is loaded.
// Writes up to `capacity` ranges and returns how many; 0 when they cannot be found.
int readOnlyImageRanges(AddressRange* ranges, int capacity);

}  // namespace Platform
}  // namespace Tovix

#endif  // INFRA_PLATFORM_IMAGE_H
