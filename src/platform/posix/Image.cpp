// Platform, POSIX program images: the loaded objects' program headers (dl_iterate_phdr).
#include <link.h>

#include "platform/Image.h"

namespace Tovix {
namespace Platform {

namespace {

struct ImageSearch {
    std::uintptr_t ownAddress;  // an address inside this library's code
    AddressRange* ranges;
    int capacity;
    int count;
    bool mainSeen;
};

bool containsAddress(const dl_phdr_info* info, std::uintptr_t address) {
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        const std::uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
        if (segment.p_type == PT_LOAD && address - begin < segment.p_memsz) {
            return true;
        }
    }
    return false;
}

int collect(dl_phdr_info* info, std::size_t /*size*/, void* data) {
    ImageSearch& search = *static_cast<ImageSearch*>(data);
    // The first object reported is the main program.
    const bool main = !search.mainSeen;
    search.mainSeen = true;
    if (!main && !containsAddress(info, search.ownAddress)) {
        return 0;
    }
    for (int i = 0; i < info->dlpi_phnum && search.count < search.capacity; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || (segment.p_flags & PF_W) != 0) {
            continue;
        }
        const std::uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
        search.ranges[search.count++] = AddressRange{begin, begin + segment.p_memsz};
    }
    return 0;
}

}  // namespace

int readOnlyImageRanges(AddressRange* ranges, int capacity) {
    if (ranges == nullptr || capacity <= 0) {
        return 0;
    }
    ImageSearch search{reinterpret_cast<std::uintptr_t>(&readOnlyImageRanges), ranges, capacity, 0,
                       false};
    dl_iterate_phdr(&collect, &search);
    return search.count;
}

}  // namespace Platform
}  // namespace Tovix
