// Codecs: MD5 (RFC 1321). MD5 is one long dependency chain, so each step adds the message word and
// the round constant first and computes the parts of the round function that do not depend on the
// newest chaining value early, keeping as little as possible on the critical path.
#include "infra/Md5.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "infra3/core/Diagnostics.h"
#include "infra3/core/Digits.h"

namespace Tovix {
namespace Utils {

struct Md5Internal {
    std::uint32_t state[4];
    std::uint64_t byteCount;
    unsigned char block[64];
    unsigned char digest[16];
    bool finished;
};

namespace {

using Infra::Detail::kLevelError;

constexpr std::uint32_t kInitialState[4] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u};

inline std::uint32_t rotl(std::uint32_t x, int s) {
    return (x << s) | (x >> (32 - s));
}

inline std::uint32_t loadLe32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void storeLe32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

// F = (b & c) | (~b & d); G = (b & d) | (c & ~d), whose two terms never share a bit, so they may
// be added, and the term without b is ready early; H = b ^ c ^ d; I = c ^ (b | ~d).
#define INFRA_MD5_STEP_F(a, b, c, d, w, k, s) \
    a += (w) + (k);                           \
    a += (d) ^ ((b) & ((c) ^ (d)));           \
    a = rotl(a, s) + (b);
#define INFRA_MD5_STEP_G(a, b, c, d, w, k, s) \
    a += (w) + (k);                           \
    a += (c) & ~(d);                          \
    a += (b) & (d);                           \
    a = rotl(a, s) + (b);
#define INFRA_MD5_STEP_H(a, b, c, d, w, k, s) \
    a += (w) + (k);                           \
    a += (b) ^ ((c) ^ (d));                   \
    a = rotl(a, s) + (b);
#define INFRA_MD5_STEP_I(a, b, c, d, w, k, s) \
    a += (w) + (k);                           \
    a += (c) ^ ((b) | ~(d));                  \
    a = rotl(a, s) + (b);

// The first round: sixteen steps of F over the block's words.
inline void roundF(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d,
                   const std::uint32_t* w) {
    INFRA_MD5_STEP_F(a, b, c, d, w[0], 0xD76AA478u, 7)
    INFRA_MD5_STEP_F(d, a, b, c, w[1], 0xE8C7B756u, 12)
    INFRA_MD5_STEP_F(c, d, a, b, w[2], 0x242070DBu, 17)
    INFRA_MD5_STEP_F(b, c, d, a, w[3], 0xC1BDCEEEu, 22)
    INFRA_MD5_STEP_F(a, b, c, d, w[4], 0xF57C0FAFu, 7)
    INFRA_MD5_STEP_F(d, a, b, c, w[5], 0x4787C62Au, 12)
    INFRA_MD5_STEP_F(c, d, a, b, w[6], 0xA8304613u, 17)
    INFRA_MD5_STEP_F(b, c, d, a, w[7], 0xFD469501u, 22)
    INFRA_MD5_STEP_F(a, b, c, d, w[8], 0x698098D8u, 7)
    INFRA_MD5_STEP_F(d, a, b, c, w[9], 0x8B44F7AFu, 12)
    INFRA_MD5_STEP_F(c, d, a, b, w[10], 0xFFFF5BB1u, 17)
    INFRA_MD5_STEP_F(b, c, d, a, w[11], 0x895CD7BEu, 22)
    INFRA_MD5_STEP_F(a, b, c, d, w[12], 0x6B901122u, 7)
    INFRA_MD5_STEP_F(d, a, b, c, w[13], 0xFD987193u, 12)
    INFRA_MD5_STEP_F(c, d, a, b, w[14], 0xA679438Eu, 17)
    INFRA_MD5_STEP_F(b, c, d, a, w[15], 0x49B40821u, 22)
}

// The second round: sixteen steps of G over the block's words.
inline void roundG(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d,
                   const std::uint32_t* w) {
    INFRA_MD5_STEP_G(a, b, c, d, w[1], 0xF61E2562u, 5)
    INFRA_MD5_STEP_G(d, a, b, c, w[6], 0xC040B340u, 9)
    INFRA_MD5_STEP_G(c, d, a, b, w[11], 0x265E5A51u, 14)
    INFRA_MD5_STEP_G(b, c, d, a, w[0], 0xE9B6C7AAu, 20)
    INFRA_MD5_STEP_G(a, b, c, d, w[5], 0xD62F105Du, 5)
    INFRA_MD5_STEP_G(d, a, b, c, w[10], 0x02441453u, 9)
    INFRA_MD5_STEP_G(c, d, a, b, w[15], 0xD8A1E681u, 14)
    INFRA_MD5_STEP_G(b, c, d, a, w[4], 0xE7D3FBC8u, 20)
    INFRA_MD5_STEP_G(a, b, c, d, w[9], 0x21E1CDE6u, 5)
    INFRA_MD5_STEP_G(d, a, b, c, w[14], 0xC33707D6u, 9)
    INFRA_MD5_STEP_G(c, d, a, b, w[3], 0xF4D50D87u, 14)
    INFRA_MD5_STEP_G(b, c, d, a, w[8], 0x455A14EDu, 20)
    INFRA_MD5_STEP_G(a, b, c, d, w[13], 0xA9E3E905u, 5)
    INFRA_MD5_STEP_G(d, a, b, c, w[2], 0xFCEFA3F8u, 9)
    INFRA_MD5_STEP_G(c, d, a, b, w[7], 0x676F02D9u, 14)
    INFRA_MD5_STEP_G(b, c, d, a, w[12], 0x8D2A4C8Au, 20)
}

// The third round: sixteen steps of H over the block's words.
inline void roundH(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d,
                   const std::uint32_t* w) {
    INFRA_MD5_STEP_H(a, b, c, d, w[5], 0xFFFA3942u, 4)
    INFRA_MD5_STEP_H(d, a, b, c, w[8], 0x8771F681u, 11)
    INFRA_MD5_STEP_H(c, d, a, b, w[11], 0x6D9D6122u, 16)
    INFRA_MD5_STEP_H(b, c, d, a, w[14], 0xFDE5380Cu, 23)
    INFRA_MD5_STEP_H(a, b, c, d, w[1], 0xA4BEEA44u, 4)
    INFRA_MD5_STEP_H(d, a, b, c, w[4], 0x4BDECFA9u, 11)
    INFRA_MD5_STEP_H(c, d, a, b, w[7], 0xF6BB4B60u, 16)
    INFRA_MD5_STEP_H(b, c, d, a, w[10], 0xBEBFBC70u, 23)
    INFRA_MD5_STEP_H(a, b, c, d, w[13], 0x289B7EC6u, 4)
    INFRA_MD5_STEP_H(d, a, b, c, w[0], 0xEAA127FAu, 11)
    INFRA_MD5_STEP_H(c, d, a, b, w[3], 0xD4EF3085u, 16)
    INFRA_MD5_STEP_H(b, c, d, a, w[6], 0x04881D05u, 23)
    INFRA_MD5_STEP_H(a, b, c, d, w[9], 0xD9D4D039u, 4)
    INFRA_MD5_STEP_H(d, a, b, c, w[12], 0xE6DB99E5u, 11)
    INFRA_MD5_STEP_H(c, d, a, b, w[15], 0x1FA27CF8u, 16)
    INFRA_MD5_STEP_H(b, c, d, a, w[2], 0xC4AC5665u, 23)
}

// The fourth round: sixteen steps of I over the block's words.
inline void roundI(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d,
                   const std::uint32_t* w) {
    INFRA_MD5_STEP_I(a, b, c, d, w[0], 0xF4292244u, 6)
    INFRA_MD5_STEP_I(d, a, b, c, w[7], 0x432AFF97u, 10)
    INFRA_MD5_STEP_I(c, d, a, b, w[14], 0xAB9423A7u, 15)
    INFRA_MD5_STEP_I(b, c, d, a, w[5], 0xFC93A039u, 21)
    INFRA_MD5_STEP_I(a, b, c, d, w[12], 0x655B59C3u, 6)
    INFRA_MD5_STEP_I(d, a, b, c, w[3], 0x8F0CCC92u, 10)
    INFRA_MD5_STEP_I(c, d, a, b, w[10], 0xFFEFF47Du, 15)
    INFRA_MD5_STEP_I(b, c, d, a, w[1], 0x85845DD1u, 21)
    INFRA_MD5_STEP_I(a, b, c, d, w[8], 0x6FA87E4Fu, 6)
    INFRA_MD5_STEP_I(d, a, b, c, w[15], 0xFE2CE6E0u, 10)
    INFRA_MD5_STEP_I(c, d, a, b, w[6], 0xA3014314u, 15)
    INFRA_MD5_STEP_I(b, c, d, a, w[13], 0x4E0811A1u, 21)
    INFRA_MD5_STEP_I(a, b, c, d, w[4], 0xF7537E82u, 6)
    INFRA_MD5_STEP_I(d, a, b, c, w[11], 0xBD3AF235u, 10)
    INFRA_MD5_STEP_I(c, d, a, b, w[2], 0x2AD7D2BBu, 15)
    INFRA_MD5_STEP_I(b, c, d, a, w[9], 0xEB86D391u, 21)
}

void md5Blocks(std::uint32_t* state, const unsigned char* p, std::size_t blocks) {
    std::uint32_t a = state[0];
    std::uint32_t b = state[1];
    std::uint32_t c = state[2];
    std::uint32_t d = state[3];
    for (; blocks > 0; --blocks, p += 64) {
        std::uint32_t w[16];
        for (int i = 0; i < 16; ++i) {
            w[i] = loadLe32(p + 4 * i);
        }
        const std::uint32_t a0 = a;
        const std::uint32_t b0 = b;
        const std::uint32_t c0 = c;
        const std::uint32_t d0 = d;
        roundF(a, b, c, d, w);
        roundG(a, b, c, d, w);
        roundH(a, b, c, d, w);
        roundI(a, b, c, d, w);
        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

#undef INFRA_MD5_STEP_F
#undef INFRA_MD5_STEP_G
#undef INFRA_MD5_STEP_H
#undef INFRA_MD5_STEP_I

void startHash(Md5Internal* m) {
    std::memcpy(m->state, kInitialState, sizeof m->state);
    m->byteCount = 0;
    m->finished = false;
}

void addBytes(Md5Internal* m, const unsigned char* data, std::size_t len) {
    std::size_t used = static_cast<std::size_t>(m->byteCount & 63);
    m->byteCount += len;
    if (used != 0) {
        const std::size_t take = len < 64 - used ? len : 64 - used;
        std::memcpy(m->block + used, data, take);
        data += take;
        len -= take;
        used += take;
        if (used < 64) {
            return;
        }
        md5Blocks(m->state, m->block, 1);
    }
    md5Blocks(m->state, data, len / 64);
    std::memcpy(m->block, data + (len & ~std::size_t{63}), len & 63);
}

// Pads, stores the digest and wipes the context, as a finished hash keeps only its digest.
void finish(Md5Internal* m) {
    const std::uint64_t bits = m->byteCount * 8;
    std::size_t used = static_cast<std::size_t>(m->byteCount & 63);
    m->block[used++] = 0x80;
    if (used > 56) {
        std::memset(m->block + used, 0, 64 - used);
        md5Blocks(m->state, m->block, 1);
        used = 0;
    }
    std::memset(m->block + used, 0, 56 - used);
    storeLe32(m->block + 56, static_cast<std::uint32_t>(bits));
    storeLe32(m->block + 60, static_cast<std::uint32_t>(bits >> 32));
    md5Blocks(m->state, m->block, 1);
    for (int i = 0; i < 4; ++i) {
        storeLe32(m->digest + 4 * i, m->state[i]);
    }
    std::memset(m->state, 0, sizeof m->state);
    std::memset(m->block, 0, sizeof m->block);
    m->byteCount = 0;
    m->finished = true;
}

}  // namespace

CMd5::CMd5() : m_internal(new Md5Internal()) {
    startHash(m_internal);
}

CMd5::~CMd5() {
    delete m_internal;
}

void CMd5::init() {
    startHash(m_internal);
}

void CMd5::update(const unsigned char* data, unsigned int len) {
    if (data == nullptr || len == 0) {
        return;
    }
    if (m_internal->finished) {
        startHash(m_internal);
    }
    addBytes(m_internal, data, len);
}

void CMd5::final(unsigned char* digest) {
    if (digest == nullptr) {
        INFRA_DIAG_PLAIN(kLevelError, "digest is NULL\n");
        return;
    }
    if (!m_internal->finished) {
        finish(m_internal);
    }
    std::memcpy(digest, m_internal->digest, sizeof m_internal->digest);
}

void CMd5::hex(char* str) {
    if (str == nullptr) {
        INFRA_DIAG_PLAIN(kLevelError, "hash is NULL\n");
        return;
    }
    if (!m_internal->finished) {
        finish(m_internal);
    }
    Infra::Detail::writeHexLower(m_internal->digest, 16, str);
}

}  // namespace Utils
}  // namespace Tovix
