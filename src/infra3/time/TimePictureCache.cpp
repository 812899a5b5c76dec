// Time: the per-thread cache of short pictures, each read once and kept with its facts.
//
// Keyed by the picture's text; per thread, so it needs no lock, and it changes no result.
#include <cstring>

#include "infra3/time/TimePicture.h"
#include "platform/Tls.h"

namespace Tovix {
namespace Infra {
namespace Detail {

namespace {

constexpr std::size_t kCachedPictures = 8;
constexpr std::size_t kMissesKept = 4;
// Lookups without a use after which a kept picture may be replaced.
constexpr std::uint32_t kIdleBeforeReplaced = 64;

// Plain data, zero-filled when a thread first needs it; on the heap behind a small thread-local
// slot (see Platform::ThreadRecord), so it never weighs on the library's static thread-local
// block.
struct PictureCache {
    CompiledPicture entries[kCachedPictures];
    unsigned int last;    // the entry found last, tried first
    std::uint32_t clock;  // lookups so far (wraps)
    // Hashes of the last pictures missed. A picture is kept on its second miss among them, so
    // one used once is written step by step rather than prepared and soon thrown away.
    std::uint32_t missed[kMissesKept];
    unsigned int nextMissed;
};

std::uint8_t capped(std::size_t count) {
    return static_cast<std::uint8_t>(count < 3 ? count : 3);
}

void compile(const char* picture, const PictureFacts& facts, CompiledPicture& out) {
    out.used = false;
    std::memcpy(out.text, picture, facts.length + 1);
    PictureReader reader(picture);
    PictureOp op{};
    bool fixedFields = true;
    bool dates = false;
    bool halves = false;
    while (reader.next(op)) {
        dates = dates || op.kind == OpKind::kDate;
        halves = halves || op.kind == OpKind::kHalf;
        fixedFields =
            fixedFields && (op.kind == OpKind::kLiteral || op.kind == OpKind::kSeparator ||
                            op.kind == OpKind::kDate || op.kind == OpKind::kHalf || op.arg != 0);
    }
    // A one-letter month or day is one or two digits, wherever the date order puts it.
    out.fixedWidth = fixedFields && !(dates && (facts.months == 1 || facts.days == 1));
    out.hasHalf = halves;
    out.length = static_cast<std::uint8_t>(facts.length);
    out.layoutKey = kNoLayout;
    out.years = capped(facts.years);
    out.months = capped(facts.months);
    out.days = capped(facts.days);
    out.twelveHour = facts.twelveHour;
    out.order = static_cast<std::int8_t>(facts.order);
    out.used = true;
}

// The facts of a kept picture.
PictureFacts factsOf(const CompiledPicture& c) {
    PictureFacts facts;
    facts.length = c.length;
    facts.years = c.years;
    facts.months = c.months;
    facts.days = c.days;
    facts.twelveHour = c.twelveHour;
    facts.order = c.order;
    return facts;
}

}  // namespace

CompiledPicture* lookupPicture(const char* picture, PictureFacts& facts) {
    PictureCache* const kept = Platform::ThreadRecord<PictureCache>::get();
    if (kept == nullptr) {
        facts = factsOf(picture);
        return nullptr;
    }
    PictureCache& cache = *kept;
    ++cache.clock;
    const unsigned int first = cache.last;
    for (unsigned int i = 0; i < kCachedPictures; ++i) {
        const unsigned int at = (first + i) % kCachedPictures;
        CompiledPicture& entry = cache.entries[at];
        // Always the text: the same address may hold another picture by now.
        if (entry.used && entry.text[0] == picture[0] && std::strcmp(entry.text, picture) == 0) {
            cache.last = at;
            entry.lastUse = cache.clock;
            facts = factsOf(entry);
            return &entry;
        }
    }
    facts = factsOf(picture);
    if (facts.length > kShortPicture) {
        return nullptr;
    }
    bool seen = false;
    for (std::uint32_t& hash : cache.missed) {
        if (hash == facts.hash) {
            hash = 0;
            seen = true;
        }
    }
    if (!seen) {
        cache.missed[cache.nextMissed++ % kMissesKept] = facts.hash;
        return nullptr;
    }
    // A free entry, else the one unused longest if it has gone unused a while. Entries in
    // steady use are never replaced: a thread cycling through more pictures than it keeps
    // writes the rest step by step instead of preparing a picture on every call.
    CompiledPicture* victim = nullptr;
    std::uint32_t idle = kIdleBeforeReplaced - 1;
    for (CompiledPicture& entry : cache.entries) {
        if (!entry.used) {
            victim = &entry;
            break;
        }
        if (cache.clock - entry.lastUse > idle) {
            idle = cache.clock - entry.lastUse;
            victim = &entry;
        }
    }
    if (victim == nullptr) {
        return nullptr;
    }
    compile(picture, facts, *victim);
    victim->lastUse = cache.clock;
    cache.last = static_cast<unsigned int>(victim - cache.entries);
    return victim;
}

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix
