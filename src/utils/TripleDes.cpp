// Codecs: DES and Triple DES over a table-driven core.
//
// The core keeps each block half rotated left by one bit after the initial permutation, so the
// eight 6-bit expansion groups of a half are read from two words at byte boundaries (see
// kDesSp), and the subkeys are stored in the same grouping. Triple DES runs the initial and
// final permutations once per block: between the passes they cancel.
//
// The key schedules are built once, by the constructor, and belong to the object, so encrypt
// and decrypt need no lock and never rebuild them.
#include "infra/TripleDes.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "infra/Assert.h"
#include "infra3/core/Diagnostics.h"
#include "utils/tables/DesTables.h"

namespace Tovix {
namespace Utils {

namespace {

using Infra::Detail::kLevelError;

constexpr unsigned int kMaxKeyLength = 24;
constexpr int kScheduleWords = 32;  // 16 rounds, two words each

enum class Cipher { kSingle, kTriple, kTriple16 };

inline std::uint32_t rotateLeft(std::uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}
inline std::uint32_t rotateRight(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

inline std::uint32_t loadBig(const unsigned char* p) {
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}
inline void storeBig(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// The initial permutation as a short series of masked bit exchanges between the halves; it
// leaves both halves rotated left by one bit.
inline void initialPermutation(std::uint32_t& l, std::uint32_t& r) {
    std::uint32_t t;
    t = ((l >> 4) ^ r) & 0x0f0f0f0fu;
    r ^= t;
    l ^= t << 4;
    t = ((l >> 16) ^ r) & 0x0000ffffu;
    r ^= t;
    l ^= t << 16;
    t = ((r >> 2) ^ l) & 0x33333333u;
    l ^= t;
    r ^= t << 2;
    t = ((r >> 8) ^ l) & 0x00ff00ffu;
    l ^= t;
    r ^= t << 8;
    r = rotateLeft(r, 1);
    t = (l ^ r) & 0xaaaaaaaau;
    l ^= t;
    r ^= t;
    l = rotateLeft(l, 1);
}

// The exact inverse of initialPermutation.
inline void finalPermutation(std::uint32_t& l, std::uint32_t& r) {
    std::uint32_t t;
    l = rotateRight(l, 1);
    t = (l ^ r) & 0xaaaaaaaau;
    l ^= t;
    r ^= t;
    r = rotateRight(r, 1);
    t = ((r >> 8) ^ l) & 0x00ff00ffu;
    l ^= t;
    r ^= t << 8;
    t = ((r >> 2) ^ l) & 0x33333333u;
    l ^= t;
    r ^= t << 2;
    t = ((l >> 16) ^ r) & 0x0000ffffu;
    r ^= t;
    l ^= t << 16;
    t = ((l >> 4) ^ r) & 0x0f0f0f0fu;
    r ^= t;
    l ^= t << 4;
}

// The round function of one (rotated) half with one round's two subkey words.
inline std::uint32_t roundFunction(std::uint32_t r, const std::uint32_t* k) {
    const auto& sp = Detail::kDesSp.sp;
    std::uint32_t w = rotateRight(r, 4) ^ k[0];
    std::uint32_t f =
        sp[0][(w >> 24) & 63] | sp[2][(w >> 16) & 63] | sp[4][(w >> 8) & 63] | sp[6][w & 63];
    w = r ^ k[1];
    f |= sp[1][(w >> 24) & 63] | sp[3][(w >> 16) & 63] | sp[5][(w >> 8) & 63] | sp[7][w & 63];
    return f;
}

// Sixteen rounds without the final exchange of the halves: afterwards `a` holds L16 and `b`
// holds R16, so the output block, and the input of a following pass, is (b, a).
inline void sixteenRounds(std::uint32_t& a, std::uint32_t& b, const std::uint32_t* k) {
    for (int i = 0; i < 8; ++i, k += 4) {
        a ^= roundFunction(b, k);
        b ^= roundFunction(a, k + 2);
    }
}

// One full DES operation on a block held as two big-endian words.
inline void desBlock(std::uint32_t& w0, std::uint32_t& w1, const std::uint32_t* k) {
    std::uint32_t a = w0;
    std::uint32_t b = w1;
    initialPermutation(a, b);
    sixteenRounds(a, b, k);
    finalPermutation(b, a);
    w0 = b;
    w1 = a;
}

// The block operations; each transforms its block words in place.
struct SingleBlock {
    static constexpr int kWords = 2;
    const std::uint32_t* k;
    void operator()(std::uint32_t* w) const { desBlock(w[0], w[1], k); }
};

struct TripleBlock {
    static constexpr int kWords = 2;
    const std::uint32_t* k1;
    const std::uint32_t* k2;
    const std::uint32_t* k3;
    void operator()(std::uint32_t* w) const {
        std::uint32_t a = w[0];
        std::uint32_t b = w[1];
        initialPermutation(a, b);
        sixteenRounds(a, b, k1);
        sixteenRounds(b, a, k2);
        sixteenRounds(a, b, k3);
        finalPermutation(b, a);
        w[0] = b;
        w[1] = a;
    }
};

// The 16-byte block: halves A = (w0, w1) and B = (w2, w3) run each pass side by side, with A's
// second word and B's first word exchanged between the passes.
struct TripleBlock16 {
    static constexpr int kWords = 4;
    const std::uint32_t* k1;
    const std::uint32_t* k2;
    const std::uint32_t* k3;
    void operator()(std::uint32_t* w) const {
        desBlock(w[0], w[1], k1);
        desBlock(w[2], w[3], k1);
        std::swap(w[1], w[2]);
        desBlock(w[0], w[1], k2);
        desBlock(w[2], w[3], k2);
        std::swap(w[1], w[2]);
        desBlock(w[0], w[1], k3);
        desBlock(w[2], w[3], k3);
    }
};

template <class Block>
void runEcb(const Block& block, unsigned char* dst, const unsigned char* src, std::size_t count) {
    constexpr int kWords = Block::kWords;
    for (std::size_t n = 0; n < count; ++n, src += 4 * kWords, dst += 4 * kWords) {
        std::uint32_t w[kWords];
        for (int i = 0; i < kWords; ++i) {
            w[i] = loadBig(src + 4 * i);
        }
        block(w);
        for (int i = 0; i < kWords; ++i) {
            storeBig(dst + 4 * i, w[i]);
        }
    }
}

template <class Block>
void runCbcEncrypt(const Block& block, const unsigned char* iv, unsigned char* dst,
                   const unsigned char* src, std::size_t count) {
    constexpr int kWords = Block::kWords;
    std::uint32_t chain[kWords];
    for (int i = 0; i < kWords; ++i) {
        chain[i] = loadBig(iv + 4 * i);
    }
    for (std::size_t n = 0; n < count; ++n, src += 4 * kWords, dst += 4 * kWords) {
        for (int i = 0; i < kWords; ++i) {
            chain[i] ^= loadBig(src + 4 * i);
        }
        block(chain);
        for (int i = 0; i < kWords; ++i) {
            storeBig(dst + 4 * i, chain[i]);
        }
    }
}

// The ciphertext block is read before its plaintext is written, so decrypting in place works.
template <class Block>
void runCbcDecrypt(const Block& block, const unsigned char* iv, unsigned char* dst,
                   const unsigned char* src, std::size_t count) {
    constexpr int kWords = Block::kWords;
    std::uint32_t chain[kWords];
    for (int i = 0; i < kWords; ++i) {
        chain[i] = loadBig(iv + 4 * i);
    }
    for (std::size_t n = 0; n < count; ++n, src += 4 * kWords, dst += 4 * kWords) {
        std::uint32_t cipher[kWords];
        std::uint32_t w[kWords];
        for (int i = 0; i < kWords; ++i) {
            cipher[i] = loadBig(src + 4 * i);
            w[i] = cipher[i];
        }
        block(w);
        for (int i = 0; i < kWords; ++i) {
            storeBig(dst + 4 * i, w[i] ^ chain[i]);
            chain[i] = cipher[i];
        }
    }
}

template <class Block>
void runMode(const Block& block, bool encrypting, const unsigned char* iv, unsigned char* dst,
             const unsigned char* src, std::size_t count) {
    if (iv == nullptr) {
        runEcb(block, dst, src, count);
    } else if (encrypting) {
        runCbcEncrypt(block, iv, dst, src, count);
    } else {
        runCbcDecrypt(block, iv, dst, src, count);
    }
}

// The encryption schedule of one 8-byte key: for each round, the eight 6-bit subkey groups
// packed as groups 0, 2, 4, 6 and 1, 3, 5, 7, one byte each, as roundFunction reads them.
void buildSchedule(const unsigned char* key, std::uint32_t* out) {
    std::uint64_t k = 0;
    for (int i = 0; i < 8; ++i) {
        k = (k << 8) | key[i];
    }
    std::uint32_t c = 0;
    std::uint32_t d = 0;
    for (int i = 0; i < 28; ++i) {
        c = (c << 1) | static_cast<std::uint32_t>((k >> (64 - Detail::kDesPc1[i])) & 1u);
        d = (d << 1) | static_cast<std::uint32_t>((k >> (64 - Detail::kDesPc1[28 + i])) & 1u);
    }
    for (int round = 0; round < 16; ++round) {
        for (int s = 0; s < Detail::kDesKeyShifts[round]; ++s) {
            c = ((c << 1) | (c >> 27)) & 0x0fffffffu;
            d = ((d << 1) | (d >> 27)) & 0x0fffffffu;
        }
        const std::uint64_t cd = (static_cast<std::uint64_t>(c) << 28) | d;
        std::uint64_t sub = 0;
        for (int i = 0; i < 48; ++i) {
            sub = (sub << 1) | ((cd >> (56 - Detail::kDesPc2[i])) & 1u);
        }
        std::uint32_t g[8];
        for (int j = 0; j < 8; ++j) {
            g[j] = static_cast<std::uint32_t>((sub >> (42 - 6 * j)) & 63u);
        }
        out[2 * round] = (g[0] << 24) | (g[2] << 16) | (g[4] << 8) | g[6];
        out[2 * round + 1] = (g[1] << 24) | (g[3] << 16) | (g[5] << 8) | g[7];
    }
}

// Decryption uses the rounds' subkeys in reverse order.
void reverseSchedule(const std::uint32_t* in, std::uint32_t* out) {
    for (int round = 0; round < 16; ++round) {
        out[2 * round] = in[2 * (15 - round)];
        out[2 * round + 1] = in[2 * (15 - round) + 1];
    }
}

}  // namespace

struct TripleDesInternal {
    unsigned char key[kMaxKeyLength];
    unsigned int keyLength;
    unsigned char iv[16];
    bool hasIv;
    Cipher cipher;
    unsigned int blockSize;
    // The three passes' schedules in the order each direction runs them: encryption E(K1)
    // D(K2) E(K3), decryption D(K3) E(K2) D(K1). Single DES uses the first only.
    std::uint32_t encryptPasses[3][kScheduleWords];
    std::uint32_t decryptPasses[3][kScheduleWords];
};

namespace {

void runCipher(const TripleDesInternal& s, bool encrypting, unsigned char* dst,
               const unsigned char* src, std::size_t count) {
    const auto& passes = encrypting ? s.encryptPasses : s.decryptPasses;
    const unsigned char* iv = s.hasIv ? s.iv : nullptr;
    switch (s.cipher) {
        case Cipher::kSingle:
            runMode(SingleBlock{passes[0]}, encrypting, iv, dst, src, count);
            break;
        case Cipher::kTriple:
            runMode(TripleBlock{passes[0], passes[1], passes[2]}, encrypting, iv, dst, src, count);
            break;
        case Cipher::kTriple16:
            runMode(TripleBlock16{passes[0], passes[1], passes[2]}, encrypting, iv, dst, src,
                    count);
            break;
    }
}

}  // namespace

CTripleDes::CTripleDes(unsigned char const* key, unsigned int keyLen, BlockType type,
                       unsigned char const* iv)
    : m_internal(new (std::nothrow) TripleDesInternal()) {
    INFRA_ASSERT_TEXT(m_internal != nullptr, "m_internal");
    TripleDesInternal& s = *m_internal;
    s.keyLength = key != nullptr ? (keyLen < kMaxKeyLength ? keyLen : kMaxKeyLength) : 0;
    if (s.keyLength > 0) {
        std::memcpy(s.key, key, s.keyLength);
    }
    if (s.keyLength <= 8) {
        s.cipher = Cipher::kSingle;
        s.blockSize = 8;
    } else if (type == blockType16) {
        s.cipher = Cipher::kTriple16;
        s.blockSize = 16;
    } else {
        s.cipher = Cipher::kTriple;
        s.blockSize = 8;
    }
    s.hasIv = iv != nullptr;
    if (s.hasIv) {
        std::memcpy(s.iv, iv, s.blockSize);
    }

    if (s.keyLength == 0) {
        return;
    }
    std::uint32_t e1[kScheduleWords];
    std::uint32_t d1[kScheduleWords];
    buildSchedule(s.key, e1);
    reverseSchedule(e1, d1);
    if (s.cipher == Cipher::kSingle) {
        std::memcpy(s.encryptPasses[0], e1, sizeof e1);
        std::memcpy(s.decryptPasses[0], d1, sizeof d1);
        return;
    }
    // Two-key Triple DES reuses K1 as K3.
    const unsigned char* k3 = s.keyLength <= 16 ? s.key : s.key + 16;
    std::uint32_t e2[kScheduleWords];
    std::uint32_t d2[kScheduleWords];
    std::uint32_t e3[kScheduleWords];
    std::uint32_t d3[kScheduleWords];
    buildSchedule(s.key + 8, e2);
    reverseSchedule(e2, d2);
    buildSchedule(k3, e3);
    reverseSchedule(e3, d3);
    std::memcpy(s.encryptPasses[0], e1, sizeof e1);
    std::memcpy(s.encryptPasses[1], d2, sizeof d2);
    std::memcpy(s.encryptPasses[2], e3, sizeof e3);
    std::memcpy(s.decryptPasses[0], d3, sizeof d3);
    std::memcpy(s.decryptPasses[1], e2, sizeof e2);
    std::memcpy(s.decryptPasses[2], d1, sizeof d1);
}

CTripleDes::~CTripleDes() {
    // The key material does not outlive the object.
    volatile unsigned char* p = reinterpret_cast<volatile unsigned char*>(m_internal);
    for (std::size_t i = 0; i < sizeof(TripleDesInternal); ++i) {
        p[i] = 0;
    }
    delete m_internal;
    m_internal = nullptr;
}

bool CTripleDes::encrypt(unsigned char* dst, unsigned char const* src, unsigned int size) {
    const TripleDesInternal& s = *m_internal;
    if (s.keyLength == 0) {
        INFRA_DIAG_THIS(kLevelError, "key_length is %u,is unvalid!\n", s.keyLength);
        return false;
    }
    const unsigned int realSize = size - size % s.blockSize;
    if (realSize != size) {
        INFRA_DIAG_THIS(kLevelError,
                        "CTripleDes::encrypt(): size is not the multiple of the 'BlockSize'!!! "
                        "size(%zu), real_size(%zu)\n",
                        static_cast<std::size_t>(size), static_cast<std::size_t>(realSize));
    }
    if (src == nullptr) {
        INFRA_DIAG_THIS(kLevelError, "en_de_crypt(): src is NULL!!\n");
    } else if (dst == nullptr) {
        INFRA_DIAG_THIS(kLevelError, "en_de_crypt(): dst is NULL!!\n");
    } else {
        runCipher(s, true, dst, src, realSize / s.blockSize);
    }
    return realSize == size;
}

bool CTripleDes::decrypt(unsigned char* dst, unsigned char const* src, unsigned int size) {
    const TripleDesInternal& s = *m_internal;
    if (s.keyLength == 0) {
        INFRA_DIAG_THIS(kLevelError, "key_length is %u,is unvalid!\n", s.keyLength);
        return false;
    }
    const unsigned int realSize = size - size % s.blockSize;
    if (realSize != size) {
        INFRA_DIAG_THIS(kLevelError,
                        "CTripleDes::decrypt(): size is not the multiple of the 'BlockSize'!!! "
                        "size(%zu), real_size(%zu)\n",
                        static_cast<std::size_t>(size), static_cast<std::size_t>(realSize));
    }
    if (src == nullptr) {
        INFRA_DIAG_THIS(kLevelError, "en_de_crypt(): src is NULL!!\n");
    } else if (dst == nullptr) {
        INFRA_DIAG_THIS(kLevelError, "en_de_crypt(): dst is NULL!!\n");
    } else {
        runCipher(s, false, dst, src, realSize / s.blockSize);
    }
    return realSize == size;
}

}  // namespace Utils
}  // namespace Tovix
