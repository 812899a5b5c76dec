// Codecs: CRC-16 and CRC-32. Both run eight bytes per step with sliced tables; CRC-32 folds 64-byte
// blocks with carry-less multiplication where the processor has it (chosen at run time, so
// the library needs no special compiler flags) and leaves the short tail to the tables.
#include "infra/Crc.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "utils/CpuFeatures.h"
#include "utils/tables/CrcTables.h"

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define INFRA_CRC_HAVE_CLMUL 1
#include <immintrin.h>
#else
#define INFRA_CRC_HAVE_CLMUL 0
#endif

namespace Tovix {
namespace Utils {

namespace {

using Detail::kCrc16Table;
using Detail::kCrc32Table;

// Assembled from bytes, so the result is the same on any host; compilers emit one load.
inline std::uint64_t loadLe64(const unsigned char* p) {
    return static_cast<std::uint64_t>(p[0]) | (static_cast<std::uint64_t>(p[1]) << 8) |
           (static_cast<std::uint64_t>(p[2]) << 16) | (static_cast<std::uint64_t>(p[3]) << 24) |
           (static_cast<std::uint64_t>(p[4]) << 32) | (static_cast<std::uint64_t>(p[5]) << 40) |
           (static_cast<std::uint64_t>(p[6]) << 48) | (static_cast<std::uint64_t>(p[7]) << 56);
}

// The raw register update: `c` is the running register, not the inverted result.
std::uint32_t crc32Tables(std::uint32_t c, const unsigned char* p, std::size_t n) {
    const auto& t = kCrc32Table.slice;
    for (; n >= 8; p += 8, n -= 8) {
        const std::uint64_t x = loadLe64(p) ^ c;
        c = t[7][x & 0xFF] ^ t[6][(x >> 8) & 0xFF] ^ t[5][(x >> 16) & 0xFF] ^
            t[4][(x >> 24) & 0xFF] ^ t[3][(x >> 32) & 0xFF] ^ t[2][(x >> 40) & 0xFF] ^
            t[1][(x >> 48) & 0xFF] ^ t[0][x >> 56];
    }
    for (; n > 0; ++p, --n) {
        c = (c >> 8) ^ t[0][(c ^ *p) & 0xFF];
    }
    return c;
}

std::uint16_t crc16Tables(std::uint16_t c, const unsigned char* p, std::size_t n) {
    const auto& t = kCrc16Table.slice;
    for (; n >= 8; p += 8, n -= 8) {
        const std::uint64_t x = loadLe64(p) ^ c;
        c = static_cast<std::uint16_t>(t[7][x & 0xFF] ^ t[6][(x >> 8) & 0xFF] ^
                                       t[5][(x >> 16) & 0xFF] ^ t[4][(x >> 24) & 0xFF] ^
                                       t[3][(x >> 32) & 0xFF] ^ t[2][(x >> 40) & 0xFF] ^
                                       t[1][(x >> 48) & 0xFF] ^ t[0][x >> 56]);
    }
    for (; n > 0; ++p, --n) {
        c = static_cast<std::uint16_t>((c >> 8) ^ t[0][(c ^ *p) & 0xFF]);
    }
    return c;
}

std::atomic<bool> g_crc32AccelerationAllowed{true};

#if INFRA_CRC_HAVE_CLMUL

// Below this size the set-up of the folding path costs more than the tables.
constexpr std::size_t kClmulMinBytes = 128;

// Multipliers that move 64-bit halves across 512 bits (four lanes) and 128 bits (one lane).
constexpr std::uint64_t kFold512Lo = Detail::crc32FoldConstant(512 + 32);
constexpr std::uint64_t kFold512Hi = Detail::crc32FoldConstant(512 - 32);
constexpr std::uint64_t kFold128Lo = Detail::crc32FoldConstant(128 + 32);
constexpr std::uint64_t kFold128Hi = Detail::crc32FoldConstant(128 - 32);

bool processorHasClmul() {
    return Detail::cpuHas(Detail::CpuFeature::kPclmul) &&
           Detail::cpuHas(Detail::CpuFeature::kSse41);
}

#define INFRA_CRC_TARGET __attribute__((target("pclmul,sse4.1")))

INFRA_CRC_TARGET inline __m128i load128(const unsigned char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// x * k + next: the low half of x moves by k's low constant, the high half by its high one.
INFRA_CRC_TARGET inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    const __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    const __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

// Folds whole 16-byte blocks of `p` (n >= 64) into 128 bits, four lanes at a time, then hands
// those 128 bits and the tail to the tables. The register is XORed into the first four bytes,
// which is what starting the division from that register means for a reflected CRC.
INFRA_CRC_TARGET std::uint32_t crc32Clmul(std::uint32_t c, const unsigned char* p, std::size_t n) {
    const __m128i k1k2 =
        _mm_set_epi64x(static_cast<long long>(kFold512Hi), static_cast<long long>(kFold512Lo));
    const __m128i k3k4 =
        _mm_set_epi64x(static_cast<long long>(kFold128Hi), static_cast<long long>(kFold128Lo));

    __m128i x0 = _mm_xor_si128(load128(p), _mm_cvtsi32_si128(static_cast<int>(c)));
    __m128i x1 = load128(p + 16);
    __m128i x2 = load128(p + 32);
    __m128i x3 = load128(p + 48);
    p += 64;
    n -= 64;
    for (; n >= 64; p += 64, n -= 64) {
        x0 = fold(x0, k1k2, load128(p));
        x1 = fold(x1, k1k2, load128(p + 16));
        x2 = fold(x2, k1k2, load128(p + 32));
        x3 = fold(x3, k1k2, load128(p + 48));
    }
    x0 = fold(x0, k3k4, x1);
    x0 = fold(x0, k3k4, x2);
    x0 = fold(x0, k3k4, x3);
    for (; n >= 16; p += 16, n -= 16) {
        x0 = fold(x0, k3k4, load128(p));
    }

    alignas(16) unsigned char rest[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(rest), x0);
    c = crc32Tables(0, rest, sizeof rest);
    return crc32Tables(c, p, n);
}

#undef INFRA_CRC_TARGET

#endif  // INFRA_CRC_HAVE_CLMUL

std::uint32_t crc32Update(std::uint32_t c, const unsigned char* p, std::size_t n) {
#if INFRA_CRC_HAVE_CLMUL
    if (n >= kClmulMinBytes && processorHasClmul() &&
        g_crc32AccelerationAllowed.load(std::memory_order_relaxed)) {
        return crc32Clmul(c, p, n);
    }
#endif
    return crc32Tables(c, p, n);
}

}  // namespace

unsigned short crc16(unsigned short seed, const unsigned char* data, unsigned int len) {
    if (len == 0) {
        return seed;
    }
    return crc16Tables(seed, data, len);
}

unsigned int crc32(const unsigned char* data, unsigned int len) {
    return crc32(0u, data, len);
}

unsigned int crc32(unsigned int crc, const unsigned char* data, unsigned int len) {
    if (len == 0) {
        return crc;
    }
    return ~crc32Update(~static_cast<std::uint32_t>(crc), data, len);
}

namespace Detail {

bool crc32Accelerated() {
#if INFRA_CRC_HAVE_CLMUL
    return processorHasClmul() && g_crc32AccelerationAllowed.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

void setCrc32Acceleration(bool enable) {
    g_crc32AccelerationAllowed.store(enable, std::memory_order_relaxed);
}

}  // namespace Detail

}  // namespace Utils
}  // namespace Tovix
