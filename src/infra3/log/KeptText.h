// Log, texts remembered by address and contents: a cache keyed on caller texts checks cheaply that
// an address still holds the text it held, without trusting the address alone (a caller may
// reuse a buffer, or a library loaded later may put other strings at the same address).
#ifndef INFRA_SRC_INFRA3_LOG_KEPTTEXT_H
#define INFRA_SRC_INFRA3_LOG_KEPTTEXT_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Tovix {
namespace Infra {
namespace Detail {

// Where a text is kept: its address, and its copy in a store of 16-byte blocks laid out like
// the aligned blocks the text occupies (the copy sits at the same offset in its first block).
struct KeptText {
    const char* text;
    bool fixed;            // null, or in memory that never changes: the address says it all
    unsigned short at;     // offset of the copy's first block in the store
    unsigned short first;  // bytes of the first block that belong to the text and its NUL
    unsigned short last;   // the same for the last block
    unsigned char blocks;  // blocks spanned by the text and its NUL
};

constexpr std::size_t kKeptTextBlock = 16;

// Describes `text` (`length` characters) in `kept`, copying it into `store` (16-byte aligned,
// `storeSize` bytes) from `*used` on unless it is `fixed` (it lies in memory whose contents
// never change); false when the store has no room left.
inline bool keepText(KeptText& kept, const char* text, std::size_t length, bool fixed, char* store,
                     std::size_t storeSize, std::size_t* used) {
    kept.text = text;
    kept.fixed = text == nullptr || fixed;
    if (kept.fixed) {
        kept.blocks = 0;
        return true;
    }
    const std::size_t shift = reinterpret_cast<std::uintptr_t>(text) % kKeptTextBlock;
    const std::size_t total = shift + length + 1;
    const std::size_t blocks = (total + kKeptTextBlock - 1) / kKeptTextBlock;
    if (blocks * kKeptTextBlock > storeSize - *used || blocks > 255) {
        return false;
    }
    char* const copy = store + *used;
    std::memset(copy, 0, blocks * kKeptTextBlock);
    std::memcpy(copy + shift, text, length);
    const std::size_t lastBytes = total - (blocks - 1) * kKeptTextBlock;
    const unsigned int lastMask = lastBytes == kKeptTextBlock ? 0xFFFFu : (1u << lastBytes) - 1;
    unsigned int firstMask = (0xFFFFu << shift) & 0xFFFFu;
    if (blocks == 1) {
        firstMask &= lastMask;
    }
    kept.at = static_cast<unsigned short>(*used);
    kept.first = static_cast<unsigned short>(firstMask);
    kept.last = static_cast<unsigned short>(blocks == 1 ? firstMask : lastMask);
    kept.blocks = static_cast<unsigned char>(blocks);
    *used += blocks * kKeptTextBlock;
    return true;
}

#if defined(__SSE2__)
#if defined(__SANITIZE_ADDRESS__)
// The aligned reads below may take in bytes next to the caller's text, which the sanitizers
// would report (as an overflow, or as a race with a neighbour's writes) although those bytes are
// never used and never lie outside the text's page.
#define INFRA_KEPT_TEXT_COMPARE inline __attribute__((noinline, no_sanitize_address))
#elif defined(__SANITIZE_THREAD__)
#define INFRA_KEPT_TEXT_COMPARE inline __attribute__((noinline, no_sanitize_thread))
#else
#define INFRA_KEPT_TEXT_COMPARE inline __attribute__((always_inline))
#endif

// Compares the text's aligned blocks with the copy's. Aligned blocks never cross a page
// boundary, and a block is read only when every byte of the text before it matched the copy,
// which has no NUL before its end: each block read holds at least one byte of the text, so a
// shorter or changed text is never read beyond its page.
INFRA_KEPT_TEXT_COMPARE bool sameBlocks(const char* text, const char* copy, const KeptText& kept) {
    const __m128i* const source = reinterpret_cast<const __m128i*>(
        reinterpret_cast<std::uintptr_t>(text) & ~std::uintptr_t{kKeptTextBlock - 1});
    const __m128i* const own = reinterpret_cast<const __m128i*>(copy);
    const unsigned int count = kept.blocks;
    unsigned int wanted = kept.first;
    for (unsigned int i = 0;;) {
        const unsigned int equal = static_cast<unsigned int>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_load_si128(source + i), _mm_load_si128(own + i))));
        if ((equal & wanted) != wanted) {
            return false;
        }
        if (++i == count) {
            return true;
        }
        wanted = i + 1 == count ? kept.last : 0xFFFFu;
    }
}
#else
inline bool sameBlocks(const char* text, const char* copy, const KeptText& /*kept*/) {
    return text != nullptr &&
           std::strcmp(text, copy + reinterpret_cast<std::uintptr_t>(text) % kKeptTextBlock) == 0;
}
#endif

// Whether `text` is the kept address and still holds the kept text.
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline bool
stillKept(const KeptText& kept, const char* text, const char* store) {
    return text == kept.text && (kept.fixed || sameBlocks(text, store + kept.at, kept));
}

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SRC_INFRA3_LOG_KEPTTEXT_H
