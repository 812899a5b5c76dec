// Memory: tells AddressSanitizer which parts of the pools' memory are free, so that a use after
// free or an overrun inside a pool is reported like one on the heap. Without the sanitizer the
// calls compile to nothing.
#ifndef INFRA_SRC_MEMORY_POISON_H
#define INFRA_SRC_MEMORY_POISON_H

#include <cstddef>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define INFRA_MEMORY_ASAN 1
#endif
#endif
#if !defined(INFRA_MEMORY_ASAN) && defined(__SANITIZE_ADDRESS__)
#define INFRA_MEMORY_ASAN 1
#endif

#if defined(INFRA_MEMORY_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace Tovix {
namespace Memory {
namespace Detail {

// Marks [p, p + n) as not to be touched by the program.
inline void poisonRegion(const volatile void* p, std::size_t n) {
#if defined(INFRA_MEMORY_ASAN)
    ASAN_POISON_MEMORY_REGION(p, n);
#else
    (void)p;
    (void)n;
#endif
}

// Marks [p, p + n) as usable again.
inline void unpoisonRegion(const volatile void* p, std::size_t n) {
#if defined(INFRA_MEMORY_ASAN)
    ASAN_UNPOISON_MEMORY_REGION(p, n);
#else
    (void)p;
    (void)n;
#endif
}

}  // namespace Detail
}  // namespace Memory
}  // namespace Tovix

#endif  // INFRA_SRC_MEMORY_POISON_H
