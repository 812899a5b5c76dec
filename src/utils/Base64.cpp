// Codecs: Base64 encoding and decoding with the standard alphabet.
//
// Encoding turns 12 input bits into two characters with one look-up in a 4096-entry pair
// table. Decoding first finds the end of the text (the first byte outside the alphabet) and then
// decodes the known range without per-character checks. With AVX2 where the processor has it
// (chosen at run time, so the library needs no special compiler flags) both steps take 32
// characters at a time; otherwise the end is found byte by byte, so that nothing after the
// terminator is touched, and eight characters are decoded per step.
#include "infra/Base64.h"

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "utils/CpuFeatures.h"

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define INFRA_BASE64_HAVE_AVX2 1
#include <immintrin.h>
#else
#define INFRA_BASE64_HAVE_AVX2 0
#endif

namespace Tovix {
namespace Utils {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The decoding value that ends the text: every byte outside the alphabet.
constexpr unsigned char kEnd = 64;

struct DecodeTable {
    unsigned char value[256];
};

constexpr DecodeTable makeDecodeTable() {
    DecodeTable t{};
    for (int i = 0; i < 256; ++i) {
        t.value[i] = kEnd;
    }
    for (int i = 0; i < 64; ++i) {
        t.value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<unsigned char>(i);
    }
    return t;
}

constexpr DecodeTable kDecode = makeDecodeTable();

// The two characters of every 12-bit value, first character first.
struct PairTable {
    char pair[4096][2];
};

constexpr PairTable makePairTable() {
    PairTable t{};
    for (int v = 0; v < 4096; ++v) {
        t.pair[v][0] = kAlphabet[v >> 6];
        t.pair[v][1] = kAlphabet[v & 63];
    }
    return t;
}

constexpr PairTable kPairs = makePairTable();

// Inputs above this encode to more characters than an int counts.
constexpr int kMaxEncodeInput = (INT_MAX - 1) / 4 * 3;
static_assert(kMaxEncodeInput == 1610612733, "the limit documented in Base64.h");

// Text lengths above this decode to a size (with its NUL) that an int cannot hold.
constexpr std::size_t kMaxDecodeText = static_cast<std::size_t>(INT_MAX - 1) / 3 * 4;

inline std::uint64_t loadBe64(const unsigned char* p) {
    return (static_cast<std::uint64_t>(p[0]) << 56) | (static_cast<std::uint64_t>(p[1]) << 48) |
           (static_cast<std::uint64_t>(p[2]) << 40) | (static_cast<std::uint64_t>(p[3]) << 32) |
           (static_cast<std::uint64_t>(p[4]) << 24) | (static_cast<std::uint64_t>(p[5]) << 16) |
           (static_cast<std::uint64_t>(p[6]) << 8) | static_cast<std::uint64_t>(p[7]);
}

inline void putPair(char* d, unsigned v) {
    std::memcpy(d, kPairs.pair[v], 2);
}

// The number of leading alphabet characters; reads up to and including the terminator only.
std::size_t alphabetRun(const unsigned char* s) {
    const unsigned char* p = s;
    for (;;) {
        if (kDecode.value[p[0]] == kEnd) {
            return static_cast<std::size_t>(p - s);
        }
        if (kDecode.value[p[1]] == kEnd) {
            return static_cast<std::size_t>(p - s) + 1;
        }
        if (kDecode.value[p[2]] == kEnd) {
            return static_cast<std::size_t>(p - s) + 2;
        }
        if (kDecode.value[p[3]] == kEnd) {
            return static_cast<std::size_t>(p - s) + 3;
        }
        p += 4;
    }
}

inline std::uint32_t group24(const unsigned char* s) {
    return (static_cast<std::uint32_t>(kDecode.value[s[0]]) << 18) |
           (static_cast<std::uint32_t>(kDecode.value[s[1]]) << 12) |
           (static_cast<std::uint32_t>(kDecode.value[s[2]]) << 6) |
           static_cast<std::uint32_t>(kDecode.value[s[3]]);
}

// Decodes whole groups of a validated run; returns the characters consumed (a multiple of 4).
std::size_t decodeGroupsPortable(unsigned char* d, const unsigned char* s, std::size_t m) {
    const std::size_t groups = m / 4;
    std::size_t g = 0;
    for (; g + 2 <= groups; g += 2, s += 8, d += 6) {
        const std::uint32_t a = group24(s);
        const std::uint32_t b = group24(s + 4);
        d[0] = static_cast<unsigned char>(a >> 16);
        d[1] = static_cast<unsigned char>(a >> 8);
        d[2] = static_cast<unsigned char>(a);
        d[3] = static_cast<unsigned char>(b >> 16);
        d[4] = static_cast<unsigned char>(b >> 8);
        d[5] = static_cast<unsigned char>(b);
    }
    if (g < groups) {
        const std::uint32_t a = group24(s);
        d[0] = static_cast<unsigned char>(a >> 16);
        d[1] = static_cast<unsigned char>(a >> 8);
        d[2] = static_cast<unsigned char>(a);
    }
    return groups * 4;
}

std::atomic<bool> g_base64AccelerationAllowed{true};

#if INFRA_BASE64_HAVE_AVX2

bool processorHasAvx2() {
    return Detail::cpuHas(Detail::CpuFeature::kAvx2);
}

// Whole aligned 32-byte blocks are read, up to the end of the block that holds the terminator:
// such a block never spans two pages, so the reads past the terminator cannot fault, and what
// they find is masked off. The address and thread sanitizers would still count those bytes as
// outside the text, so they are told not to instrument this one function.
#if defined(__clang__) || (defined(__GNUC__) && __GNUC__ >= 8)
#define INFRA_BASE64_WHOLE_BLOCKS __attribute__((no_sanitize("address", "thread")))
#else
#define INFRA_BASE64_WHOLE_BLOCKS
#endif

// The number of leading alphabet characters. A byte belongs to the alphabet when the classes
// of its high nibble and of its low nibble share a bit: 1 "+" and "/" (high 2, low B or F),
// 2 digits (high 3, low 0..9), 4 "A".."O" and "a".."o" (high 4 or 6, low 1..F), 8 "P".."Z" and
// "p".."z" (high 5 or 7, low 0..A).
__attribute__((target("avx2"))) INFRA_BASE64_WHOLE_BLOCKS std::size_t alphabetRunAvx2(
    const unsigned char* s) {
    const __m256i highClasses = _mm256_setr_epi8(0, 0, 1, 2, 4, 8, 4, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                 0, 1, 2, 4, 8, 4, 8, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i lowClasses =
        _mm256_setr_epi8(0x0A, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0C, 0x05,
                         0x04, 0x04, 0x04, 0x05, 0x0A, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E, 0x0E,
                         0x0E, 0x0E, 0x0C, 0x05, 0x04, 0x04, 0x04, 0x05);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i zero = _mm256_setzero_si256();
    const std::uintptr_t misalignment = reinterpret_cast<std::uintptr_t>(s) & 31;
    const unsigned char* block = s - misalignment;
    // Bytes of the first block before the text do not count.
    std::uint32_t counted = ~0u << misalignment;
    for (;; block += 32, counted = ~0u) {
        const __m256i c = _mm256_load_si256(reinterpret_cast<const __m256i*>(block));
        const __m256i high = _mm256_and_si256(_mm256_srli_epi16(c, 4), nibble);
        const __m256i low = _mm256_and_si256(c, nibble);
        const __m256i classes = _mm256_and_si256(_mm256_shuffle_epi8(highClasses, high),
                                                 _mm256_shuffle_epi8(lowClasses, low));
        const std::uint32_t outside =
            static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(classes, zero))) &
            counted;
        if (outside != 0) {
            return static_cast<std::size_t>(block + __builtin_ctz(outside) - s);
        }
    }
}

// 32 validated characters become 24 bytes. Every alphabet character maps to its value by an
// offset chosen by its high nibble ("+" and "/" share one, so "/" is corrected separately); then
// multiply-adds merge pairs of 6-bit values into 12 bits and pairs of those into 24, and byte
// shuffles put the three bytes of every group in order.
__attribute__((target("avx2"))) std::size_t decodeGroupsAvx2(unsigned char* d,
                                                             const unsigned char* s,
                                                             std::size_t m) {
    // Offsets by high nibble: 2 -> "+" (62 - 43), 3 -> digits (52 - 48), 4 and 5 -> "A".."Z"
    // (-65), 6 and 7 -> "a".."z" (26 - 97).
    const __m256i offsets =
        _mm256_setr_epi8(0, 0, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 19, 4, -65,
                         -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i slash = _mm256_set1_epi8('/');
    const __m256i slashFix = _mm256_set1_epi8(-3);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i pairWeights = _mm256_set1_epi32(0x01400140);
    const __m256i quadWeights = _mm256_set1_epi32(0x00011000);
    const __m256i order = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,
                                           2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i pack = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);

    std::size_t done = 0;
    for (; m - done >= 32; done += 32, s += 32, d += 24) {
        const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
        const __m256i high = _mm256_and_si256(_mm256_srli_epi32(c, 4), nibble);
        __m256i offset = _mm256_shuffle_epi8(offsets, high);
        offset = _mm256_add_epi8(offset, _mm256_and_si256(_mm256_cmpeq_epi8(c, slash), slashFix));
        const __m256i values = _mm256_add_epi8(c, offset);
        const __m256i pairs = _mm256_maddubs_epi16(values, pairWeights);
        const __m256i quads = _mm256_madd_epi16(pairs, quadWeights);
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(quads, order), pack);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm256_castsi256_si128(bytes));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(d + 16), _mm256_extracti128_si256(bytes, 1));
    }
    return done;
}

#endif  // INFRA_BASE64_HAVE_AVX2

bool useAvx2() {
#if INFRA_BASE64_HAVE_AVX2
    return processorHasAvx2() && g_base64AccelerationAllowed.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

// The vector steps, reached only after useAvx2().
std::size_t alphabetRunVector(const unsigned char* s) {
#if INFRA_BASE64_HAVE_AVX2
    return alphabetRunAvx2(s);
#else
    return alphabetRun(s);
#endif
}

std::size_t decodeGroupsVector(unsigned char* d, const unsigned char* s, std::size_t m) {
#if INFRA_BASE64_HAVE_AVX2
    return decodeGroupsAvx2(d, s, m);
#else
    (void)d;
    (void)s;
    (void)m;
    return 0;
#endif
}

std::size_t textLength(const unsigned char* s) {
    return useAvx2() ? alphabetRunVector(s) : alphabetRun(s);
}

}  // namespace

int base64EncodeLen(int n) {
    if (n < 0) {
        n = 0;
    }
    if (n > kMaxEncodeInput) {
        return -1;
    }
    return (n + 2) / 3 * 4 + 1;
}

int base64Encode(char* dst, const char* src, int n) {
    if (n > kMaxEncodeInput) {
        *dst = '\0';
        return -1;
    }
    const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
    std::size_t left = n > 0 ? static_cast<std::size_t>(n) : 0;
    char* d = dst;

    // Six bytes per step from an eight-byte load, so the loop needs two bytes of slack.
    for (; left >= 8; s += 6, left -= 6, d += 8) {
        const std::uint64_t x = loadBe64(s);
        putPair(d, static_cast<unsigned>(x >> 52));
        putPair(d + 2, static_cast<unsigned>(x >> 40) & 0xFFF);
        putPair(d + 4, static_cast<unsigned>(x >> 28) & 0xFFF);
        putPair(d + 6, static_cast<unsigned>(x >> 16) & 0xFFF);
    }
    for (; left >= 3; s += 3, left -= 3, d += 4) {
        const unsigned v = (static_cast<unsigned>(s[0]) << 16) |
                           (static_cast<unsigned>(s[1]) << 8) | static_cast<unsigned>(s[2]);
        putPair(d, v >> 12);
        putPair(d + 2, v & 0xFFF);
    }
    if (left == 1) {
        const unsigned v = static_cast<unsigned>(s[0]) << 4;
        putPair(d, v);
        d[2] = '=';
        d[3] = '=';
        d += 4;
    } else if (left == 2) {
        const unsigned v = (static_cast<unsigned>(s[0]) << 8) | static_cast<unsigned>(s[1]);
        putPair(d, v >> 4);
        d[2] = kAlphabet[(v << 2) & 63];
        d[3] = '=';
        d += 4;
    }
    *d = '\0';
    return static_cast<int>(d - dst) + 1;
}

int base64DecodeLen(const char* src) {
    const std::size_t m = textLength(reinterpret_cast<const unsigned char*>(src));
    if (m > kMaxDecodeText) {
        return -1;
    }
    return static_cast<int>((m + 3) / 4 * 3 + 1);
}

int base64Decode(char* dst, const char* src) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(src);
    const bool vector = useAvx2();
    const std::size_t m = vector ? alphabetRunVector(s) : alphabetRun(s);
    if (m > kMaxDecodeText) {
        *dst = '\0';
        return -1;
    }
    unsigned char* d = reinterpret_cast<unsigned char*>(dst);
    std::size_t done = 0;
    if (vector && m >= 32) {
        done = decodeGroupsVector(d, s, m);
    }
    done += decodeGroupsPortable(d + done / 4 * 3, s + done, m - done);
    d += done / 4 * 3;
    s += done;
    const std::size_t left = m - done;
    // A last group of two or three characters carries one or two bytes; one character alone
    // carries fewer than eight bits and gives nothing.
    if (left >= 2) {
        const std::uint32_t a =
            (static_cast<std::uint32_t>(kDecode.value[s[0]]) << 18) |
            (static_cast<std::uint32_t>(kDecode.value[s[1]]) << 12) |
            (left == 3 ? static_cast<std::uint32_t>(kDecode.value[s[2]]) << 6 : 0u);
        *d++ = static_cast<unsigned char>(a >> 16);
        if (left == 3) {
            *d++ = static_cast<unsigned char>(a >> 8);
        }
    }
    *d = '\0';
    return static_cast<int>(d - reinterpret_cast<unsigned char*>(dst));
}

namespace Detail {

bool base64Accelerated() {
    return useAvx2();
}

void setBase64Acceleration(bool enable) {
    g_base64AccelerationAllowed.store(enable, std::memory_order_relaxed);
}

}  // namespace Detail

}  // namespace Utils
}  // namespace Tovix
