// Codecs: SHA-1 (FIPS 180-1). Blocks are compressed with the processor's SHA instructions where it
// reports them (chosen at run time, so the library needs no special compiler flags) and with a
// portable routine elsewhere; both produce the same chaining state.
#include "infra/Sha1.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "infra3/core/Diagnostics.h"
#include "infra3/core/Digits.h"
#include "utils/CpuFeatures.h"

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define INFRA_SHA1_HAVE_SHANI 1
#include <immintrin.h>
#else
#define INFRA_SHA1_HAVE_SHANI 0
#endif

namespace Tovix {
namespace Utils {

struct Sha1Internal {
    std::uint32_t state[5];
    std::uint64_t byteCount;
    unsigned char block[64];
    unsigned char digest[20];
    bool finished;
};

namespace {

using Infra::Detail::kLevelError;

constexpr std::uint32_t kInitialState[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u,
                                            0xC3D2E1F0u};

inline std::uint32_t rotl(std::uint32_t x, int s) {
    return (x << s) | (x >> (32 - s));
}

inline std::uint32_t loadBe32(const unsigned char* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

inline void storeBe32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// The message schedule is kept in a ring of sixteen words.
#define INFRA_SHA1_W(t) \
    (w[(t)&15] = rotl(w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^ w[((t) + 2) & 15] ^ w[(t)&15], 1))
#define INFRA_SHA1_STEP(a, b, c, d, e, f, k, wt) \
    e += rotl(a, 5) + (f) + (k) + (wt);          \
    b = rotl(b, 30);
#define INFRA_SHA1_CH(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define INFRA_SHA1_PARITY(b, c, d) ((b) ^ (c) ^ (d))
#define INFRA_SHA1_MAJ(b, c, d) (((b) & (c)) | ((d) & ((b) | (c))))

// Five steps rotate the roles of the five variables back to where they started.
#define INFRA_SHA1_FIVE(F, k, t, W)                           \
    INFRA_SHA1_STEP(a, b, c, d, e, F(b, c, d), k, W(t))       \
    INFRA_SHA1_STEP(e, a, b, c, d, F(a, b, c), k, W((t) + 1)) \
    INFRA_SHA1_STEP(d, e, a, b, c, F(e, a, b), k, W((t) + 2)) \
    INFRA_SHA1_STEP(c, d, e, a, b, F(d, e, a), k, W((t) + 3)) \
    INFRA_SHA1_STEP(b, c, d, e, a, F(c, d, e), k, W((t) + 4))
#define INFRA_SHA1_W0(t) w[t]

void sha1BlocksPortable(std::uint32_t* state, const unsigned char* p, std::size_t blocks) {
    constexpr std::uint32_t k0 = 0x5A827999u;
    constexpr std::uint32_t k1 = 0x6ED9EBA1u;
    constexpr std::uint32_t k2 = 0x8F1BBCDCu;
    constexpr std::uint32_t k3 = 0xCA62C1D6u;
    for (; blocks > 0; --blocks, p += 64) {
        std::uint32_t w[16];
        for (int i = 0; i < 16; ++i) {
            w[i] = loadBe32(p + 4 * i);
        }
        std::uint32_t a = state[0];
        std::uint32_t b = state[1];
        std::uint32_t c = state[2];
        std::uint32_t d = state[3];
        std::uint32_t e = state[4];

        INFRA_SHA1_FIVE(INFRA_SHA1_CH, k0, 0, INFRA_SHA1_W0)
        INFRA_SHA1_FIVE(INFRA_SHA1_CH, k0, 5, INFRA_SHA1_W0)
        INFRA_SHA1_FIVE(INFRA_SHA1_CH, k0, 10, INFRA_SHA1_W0)
        INFRA_SHA1_STEP(a, b, c, d, e, INFRA_SHA1_CH(b, c, d), k0, w[15])
        INFRA_SHA1_STEP(e, a, b, c, d, INFRA_SHA1_CH(a, b, c), k0, INFRA_SHA1_W(16))
        INFRA_SHA1_STEP(d, e, a, b, c, INFRA_SHA1_CH(e, a, b), k0, INFRA_SHA1_W(17))
        INFRA_SHA1_STEP(c, d, e, a, b, INFRA_SHA1_CH(d, e, a), k0, INFRA_SHA1_W(18))
        INFRA_SHA1_STEP(b, c, d, e, a, INFRA_SHA1_CH(c, d, e), k0, INFRA_SHA1_W(19))

        INFRA_SHA1_FIVE(INFRA_SHA1_PARITY, k1, 20, INFRA_SHA1_W)
        INFRA_SHA1_FIVE(INFRA_SHA1_PARITY, k1, 25, INFRA_SHA1_W)
        INFRA_SHA1_FIVE(INFRA_SHA1_PARITY, k1, 30, INFRA_SHA1_W)
        INFRA_SHA1_FIVE(INFRA_SHA1_PARITY, k1, 35, INFRA_SHA1_W)

        INFRA_SHA1_FIVE(INFRA_SHA1_MAJ, k2, 40, INFRA_SHA1_W)
        INFRA_SHA1_FIVE(INFRA_SHA1_MAJ, k2, 45, INFRA_SHA1_W)
        INFRA_SHA1_FIVE(INFRA_SHA1_MAJ, k2, 50, INFRA_SHA1_W)
        INFRA_SHA1_FIVE(INFRA_SHA1_MAJ, k2, 55, INFRA_SHA1_W)

        INFRA_SHA1_FIVE(INFRA_SHA1_PARITY, k3, 60, INFRA_SHA1_W)
        INFRA_SHA1_FIVE(INFRA_SHA1_PARITY, k3, 65, INFRA_SHA1_W)
        INFRA_SHA1_FIVE(INFRA_SHA1_PARITY, k3, 70, INFRA_SHA1_W)
        INFRA_SHA1_FIVE(INFRA_SHA1_PARITY, k3, 75, INFRA_SHA1_W)

        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
    }
}

#undef INFRA_SHA1_W
#undef INFRA_SHA1_W0
#undef INFRA_SHA1_STEP
#undef INFRA_SHA1_CH
#undef INFRA_SHA1_PARITY
#undef INFRA_SHA1_MAJ
#undef INFRA_SHA1_FIVE

std::atomic<bool> g_sha1AccelerationAllowed{true};

#if INFRA_SHA1_HAVE_SHANI

bool processorHasShaNi() {
    return Detail::cpuHas(Detail::CpuFeature::kSsse3) &&
           Detail::cpuHas(Detail::CpuFeature::kSse41) && Detail::cpuHas(Detail::CpuFeature::kSha);
}

#define INFRA_SHA1_TARGET __attribute__((target("sha,sse4.1")))

// Four message words, first word in the top lane.
INFRA_SHA1_TARGET inline __m128i loadBigEndianWords(const unsigned char* p, __m128i byteSwap) {
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), byteSwap);
}

// One 128-bit register holds A..D (A in the top lane), another E in its top lane; each
// sha1rnds4 runs four rounds, and message words for rounds 16..79 come from sha1msg1/sha1msg2:
// W[g] = msg2(msg1(W[g-4], W[g-3]) ^ W[g-2], W[g-1]) for groups of four words.
INFRA_SHA1_TARGET void sha1BlocksShaNi(std::uint32_t* state, const unsigned char* p,
                                       std::size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607ll, 0x08090A0B0C0D0E0Fll);
    __m128i abcd =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
    __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);

    for (; blocks > 0; --blocks, p += 64) {
        const __m128i abcdSaved = abcd;
        const __m128i eSaved = e0;
        __m128i m0 = loadBigEndianWords(p + 0, byteSwap);
        __m128i m1 = loadBigEndianWords(p + 16, byteSwap);
        __m128i m2 = loadBigEndianWords(p + 32, byteSwap);
        __m128i m3 = loadBigEndianWords(p + 48, byteSwap);
        __m128i prev = abcd;
        __m128i ew = _mm_add_epi32(e0, m0);

#define INFRA_SHA1_GROUP(func, msg)      \
    ew = _mm_sha1nexte_epu32(prev, msg); \
    prev = abcd;                         \
    abcd = _mm_sha1rnds4_epu32(abcd, ew, func);
#define INFRA_SHA1_NEXT(m0, m1, m2, m3) \
    m0 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(m0, m1), m2), m3);

        abcd = _mm_sha1rnds4_epu32(abcd, ew, 0);
        INFRA_SHA1_GROUP(0, m1)
        INFRA_SHA1_GROUP(0, m2)
        INFRA_SHA1_GROUP(0, m3)
        INFRA_SHA1_NEXT(m0, m1, m2, m3)
        INFRA_SHA1_GROUP(0, m0)
        INFRA_SHA1_NEXT(m1, m2, m3, m0)
        INFRA_SHA1_GROUP(1, m1)
        INFRA_SHA1_NEXT(m2, m3, m0, m1)
        INFRA_SHA1_GROUP(1, m2)
        INFRA_SHA1_NEXT(m3, m0, m1, m2)
        INFRA_SHA1_GROUP(1, m3)
        INFRA_SHA1_NEXT(m0, m1, m2, m3)
        INFRA_SHA1_GROUP(1, m0)
        INFRA_SHA1_NEXT(m1, m2, m3, m0)
        INFRA_SHA1_GROUP(1, m1)
        INFRA_SHA1_NEXT(m2, m3, m0, m1)
        INFRA_SHA1_GROUP(2, m2)
        INFRA_SHA1_NEXT(m3, m0, m1, m2)
        INFRA_SHA1_GROUP(2, m3)
        INFRA_SHA1_NEXT(m0, m1, m2, m3)
        INFRA_SHA1_GROUP(2, m0)
        INFRA_SHA1_NEXT(m1, m2, m3, m0)
        INFRA_SHA1_GROUP(2, m1)
        INFRA_SHA1_NEXT(m2, m3, m0, m1)
        INFRA_SHA1_GROUP(2, m2)
        INFRA_SHA1_NEXT(m3, m0, m1, m2)
        INFRA_SHA1_GROUP(3, m3)
        INFRA_SHA1_NEXT(m0, m1, m2, m3)
        INFRA_SHA1_GROUP(3, m0)
        INFRA_SHA1_NEXT(m1, m2, m3, m0)
        INFRA_SHA1_GROUP(3, m1)
        INFRA_SHA1_NEXT(m2, m3, m0, m1)
        INFRA_SHA1_GROUP(3, m2)
        INFRA_SHA1_NEXT(m3, m0, m1, m2)
        INFRA_SHA1_GROUP(3, m3)

#undef INFRA_SHA1_GROUP
#undef INFRA_SHA1_NEXT

        // E after the last four rounds, plus its value before the block.
        e0 = _mm_sha1nexte_epu32(prev, eSaved);
        abcd = _mm_add_epi32(abcd, abcdSaved);
    }

    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e0, 3));
}

#undef INFRA_SHA1_TARGET

#endif  // INFRA_SHA1_HAVE_SHANI

void sha1Blocks(std::uint32_t* state, const unsigned char* p, std::size_t blocks) {
    if (blocks == 0) {
        return;
    }
#if INFRA_SHA1_HAVE_SHANI
    if (processorHasShaNi() && g_sha1AccelerationAllowed.load(std::memory_order_relaxed)) {
        sha1BlocksShaNi(state, p, blocks);
        return;
    }
#endif
    sha1BlocksPortable(state, p, blocks);
}

void startHash(Sha1Internal* s) {
    std::memset(s, 0, sizeof *s);
    std::memcpy(s->state, kInitialState, sizeof s->state);
}

void addBytes(Sha1Internal* s, const unsigned char* data, std::size_t len) {
    std::size_t used = static_cast<std::size_t>(s->byteCount & 63);
    s->byteCount += len;
    if (used != 0) {
        const std::size_t take = len < 64 - used ? len : 64 - used;
        std::memcpy(s->block + used, data, take);
        data += take;
        len -= take;
        used += take;
        if (used < 64) {
            return;
        }
        sha1Blocks(s->state, s->block, 1);
    }
    sha1Blocks(s->state, data, len / 64);
    std::memcpy(s->block, data + (len & ~std::size_t{63}), len & 63);
}

void finish(Sha1Internal* s) {
    const std::uint64_t bits = s->byteCount * 8;
    std::size_t used = static_cast<std::size_t>(s->byteCount & 63);
    s->block[used++] = 0x80;
    if (used > 56) {
        std::memset(s->block + used, 0, 64 - used);
        sha1Blocks(s->state, s->block, 1);
        used = 0;
    }
    std::memset(s->block + used, 0, 56 - used);
    storeBe32(s->block + 56, static_cast<std::uint32_t>(bits >> 32));
    storeBe32(s->block + 60, static_cast<std::uint32_t>(bits));
    sha1Blocks(s->state, s->block, 1);
    for (int i = 0; i < 5; ++i) {
        storeBe32(s->digest + 4 * i, s->state[i]);
    }
    // A finished hash keeps only its digest.
    std::memset(s->state, 0, sizeof s->state);
    std::memset(s->block, 0, sizeof s->block);
    s->byteCount = 0;
    s->finished = true;
}

}  // namespace

CSha1::CSha1() : m_internal(new Sha1Internal()) {
    startHash(m_internal);
}

CSha1::~CSha1() {
    delete m_internal;
}

void CSha1::update(const unsigned char* data, unsigned int len) {
    if (data == nullptr || len == 0) {
        return;
    }
    if (m_internal->finished) {
        startHash(m_internal);
    }
    addBytes(m_internal, data, len);
}

void CSha1::final(unsigned char* hash, unsigned int len) {
    if (hash == nullptr) {
        INFRA_DIAG_PLAIN(kLevelError, "hash is NULL!\n");
        return;
    }
    if (len < sizeof m_internal->digest) {
        INFRA_DIAG_PLAIN(kLevelError, "len(%u) is invalid!\n", len);
        return;
    }
    if (!m_internal->finished) {
        finish(m_internal);
    }
    std::memcpy(hash, m_internal->digest, sizeof m_internal->digest);
}

void CSha1::hex(char* str, unsigned int len) {
    if (str == nullptr) {
        INFRA_DIAG_PLAIN(kLevelError, "str is NULL!\n");
        return;
    }
    if (len < 2 * sizeof m_internal->digest) {
        INFRA_DIAG_PLAIN(kLevelError, "len(%u) is invalid!\n", len);
        return;
    }
    if (!m_internal->finished) {
        finish(m_internal);
    }
    Infra::Detail::writeHexLower(m_internal->digest, sizeof m_internal->digest, str);
    if (len > 2 * sizeof m_internal->digest) {
        str[2 * sizeof m_internal->digest] = '\0';
    }
}

namespace Detail {

bool sha1Accelerated() {
#if INFRA_SHA1_HAVE_SHANI
    return processorHasShaNi() && g_sha1AccelerationAllowed.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

void setSha1Acceleration(bool enable) {
    g_sha1AccelerationAllowed.store(enable, std::memory_order_relaxed);
}

}  // namespace Detail

}  // namespace Utils
}  // namespace Tovix
