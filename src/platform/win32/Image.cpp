// Platform, Windows program images: the section tables of the program's and this library's modules.
#include "platform/Image.h"
#include "WindowsHeader.h"

namespace Tovix {
namespace Platform {

namespace {

int addReadOnlySections(HMODULE module, AddressRange* ranges, int capacity, int count) {
    if (module == nullptr) {
        return count;
    }
    const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(module);
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) {
        return count;
    }
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE) {
        return count;
    }
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections && count < capacity; ++i) {
        if ((section[i].Characteristics & IMAGE_SCN_MEM_WRITE) != 0) {
            continue;
        }
        const std::uintptr_t begin = base + section[i].VirtualAddress;
        ranges[count++] = AddressRange{begin, begin + section[i].Misc.VirtualSize};
    }
    return count;
}

}  // namespace

int readOnlyImageRanges(AddressRange* ranges, int capacity) {
    if (ranges == nullptr || capacity <= 0) {
        return 0;
    }
    HMODULE own = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(&readOnlyImageRanges), &own)) {
        own = nullptr;
    }
    HMODULE program = GetModuleHandleA(nullptr);
    int count = addReadOnlySections(program, ranges, capacity, 0);
    if (own != program) {
        count = addReadOnlySections(own, ranges, capacity, count);
    }
    return count;
}

}  // namespace Platform
}  // namespace Tovix
