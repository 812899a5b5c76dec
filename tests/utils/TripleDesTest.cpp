// DES and Triple DES: published known answers, OpenSSL as an independent oracle, the key-length
// rules, the 16-byte block, the size rule and its messages.
#include "infra/TripleDes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "infra/Function.h"
#include "infra/PrintLog.h"
#include "support/LogCapture.h"

#if defined(INFRA_HAVE_OPENSSL)
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>
#endif

using Tovix::Infra::TFunction1;
using Tovix::Utils::CTripleDes;
using Bytes = std::vector<unsigned char>;

// How "%p" text begins: "0x" with the GNU C library, bare hex digits with the Windows runtimes.
#if defined(_WIN32)
#define TEST_POINTER_PREFIX ""
#else
#define TEST_POINTER_PREFIX "0x"
#endif

namespace {

Bytes hex(const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<unsigned char>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Bytes randomBytes(std::mt19937& rng, std::size_t n) {
    Bytes out(n);
    for (unsigned char& c : out) {
        c = static_cast<unsigned char>(rng());
    }
    return out;
}

Bytes encrypt(const Bytes& key, const Bytes& data, const unsigned char* iv = nullptr,
              CTripleDes::BlockType type = CTripleDes::blockType8) {
    CTripleDes des(key.data(), static_cast<unsigned int>(key.size()), type, iv);
    Bytes out(data.size());
    EXPECT_TRUE(des.encrypt(out.data(), data.data(), static_cast<unsigned int>(data.size())));
    return out;
}

Bytes decrypt(const Bytes& key, const Bytes& data, const unsigned char* iv = nullptr,
              CTripleDes::BlockType type = CTripleDes::blockType8) {
    CTripleDes des(key.data(), static_cast<unsigned int>(key.size()), type, iv);
    Bytes out(data.size());
    EXPECT_TRUE(des.decrypt(out.data(), data.data(), static_cast<unsigned int>(data.size())));
    return out;
}

using TestSupport::LogCapture;

TEST(TripleDesTest, SingleDesKnownAnswers) {
    // FIPS 81 sample: "Now is the time for all " in ECB and CBC.
    const Bytes key = hex("0123456789abcdef");
    const Bytes plain = hex("4e6f77206973207468652074696d6520666f7220616c6c20");
    EXPECT_EQ(encrypt(key, plain), hex("3fa40e8a984d48156a271787ab8883f9893d51ec4b563b53"));
    const Bytes iv = hex("1234567890abcdef");
    const Bytes cbc = hex("e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6");
    EXPECT_EQ(encrypt(key, plain, iv.data()), cbc);
    EXPECT_EQ(decrypt(key, cbc, iv.data()), plain);

    // Variable-plaintext known answers with the all-parity key.
    const Bytes weak = hex("0101010101010101");
    EXPECT_EQ(encrypt(weak, hex("8000000000000000")), hex("95f8a5e5dd31d900"));
    EXPECT_EQ(encrypt(weak, hex("4000000000000000")), hex("dd7f121ca5015619"));
    EXPECT_EQ(encrypt(weak, hex("2000000000000000")), hex("2e8653104f3834ea"));

    // The textbook worked example.
    EXPECT_EQ(encrypt(hex("133457799bbcdff1"), hex("0123456789abcdef")), hex("85e813540f0ab405"));
    EXPECT_EQ(decrypt(hex("133457799bbcdff1"), hex("85e813540f0ab405")), hex("0123456789abcdef"));
}

TEST(TripleDesTest, ThreeKeyKnownAnswer) {
    // The three-key TDEA example: "The qufck brown fox jump".
    const Bytes key = hex("0123456789abcdef23456789abcdef01456789abcdef0123");
    const Bytes plain = hex("54686520717566636b2062726f776e20666f78206a756d70");
    const Bytes cipher = hex("a826fd8ce53b855fcce21c8112256fe668d5c05dd9b6b900");
    EXPECT_EQ(encrypt(key, plain), cipher);
    EXPECT_EQ(decrypt(key, cipher), plain);
}

TEST(TripleDesTest, EqualKeyPartsGiveSingleDes) {
    std::mt19937 rng(1);
    const Bytes k = randomBytes(rng, 8);
    const Bytes data = randomBytes(rng, 64);
    const Bytes iv = randomBytes(rng, 8);
    Bytes k3;
    Bytes k2;
    for (int i = 0; i < 3; ++i) {
        k3.insert(k3.end(), k.begin(), k.end());
    }
    k2.insert(k2.end(), k.begin(), k.end());
    k2.insert(k2.end(), k.begin(), k.end());
    EXPECT_EQ(encrypt(k3, data), encrypt(k, data));
    EXPECT_EQ(encrypt(k2, data), encrypt(k, data));
    EXPECT_EQ(encrypt(k3, data, iv.data()), encrypt(k, data, iv.data()));
}

TEST(TripleDesTest, ShortKeysAreZeroPaddedAndLongKeysCut) {
    std::mt19937 rng(2);
    const Bytes data = randomBytes(rng, 32);
    const Bytes k5 = randomBytes(rng, 5);
    Bytes k8 = k5;
    k8.resize(8, 0);
    EXPECT_EQ(encrypt(k5, data), encrypt(k8, data));

    // A 12-byte key is two-key Triple DES with K2 padded by zeros.
    const Bytes k12 = randomBytes(rng, 12);
    Bytes k24 = k12;
    k24.resize(16, 0);
    k24.insert(k24.end(), k12.begin(), k12.begin() + 8);
    EXPECT_EQ(encrypt(k12, data), encrypt(k24, data));

    const Bytes k30 = randomBytes(rng, 30);
    const Bytes first24(k30.begin(), k30.begin() + 24);
    EXPECT_EQ(encrypt(k30, data), encrypt(first24, data));
}

TEST(TripleDesTest, RoundTripsEveryKeyLengthAndMode) {
    std::mt19937 rng(3);
    for (unsigned int keyLen = 1; keyLen <= 30; ++keyLen) {
        for (int type = 0; type < 2; ++type) {
            const auto blockType = static_cast<CTripleDes::BlockType>(type);
            const Bytes key = randomBytes(rng, keyLen);
            const Bytes iv = randomBytes(rng, 16);
            const Bytes data = randomBytes(rng, 96);
            for (const unsigned char* chain :
                 {static_cast<const unsigned char*>(nullptr), iv.data()}) {
                const Bytes cipher = encrypt(key, data, chain, blockType);
                EXPECT_NE(cipher, data);
                EXPECT_EQ(decrypt(key, cipher, chain, blockType), data)
                    << "key length " << keyLen << " type " << type;
            }
        }
    }
}

TEST(TripleDesTest, CbcRestartsFromTheStoredIvOnEveryCall) {
    std::mt19937 rng(4);
    const Bytes key = randomBytes(rng, 24);
    const Bytes iv = randomBytes(rng, 8);
    const Bytes data = randomBytes(rng, 40);
    CTripleDes des(key.data(), 24, CTripleDes::blockType8, iv.data());
    Bytes a(40);
    Bytes b(40);
    ASSERT_TRUE(des.encrypt(a.data(), data.data(), 40));
    ASSERT_TRUE(des.encrypt(b.data(), data.data(), 40));
    EXPECT_EQ(a, b);
    // CBC chains: equal plaintext blocks give different ciphertext blocks.
    const Bytes same(16, 0x5a);
    Bytes out(16);
    ASSERT_TRUE(des.encrypt(out.data(), same.data(), 16));
    EXPECT_NE(Bytes(out.begin(), out.begin() + 8), Bytes(out.begin() + 8, out.end()));
}

TEST(TripleDesTest, InPlaceEncryptionAndDecryption) {
    std::mt19937 rng(5);
    const Bytes key = randomBytes(rng, 16);
    const Bytes iv = randomBytes(rng, 16);
    const Bytes data = randomBytes(rng, 64);
    for (int type = 0; type < 2; ++type) {
        const auto blockType = static_cast<CTripleDes::BlockType>(type);
        CTripleDes des(key.data(), 16, blockType, iv.data());
        Bytes buffer = data;
        ASSERT_TRUE(des.encrypt(buffer.data(), buffer.data(), 64));
        EXPECT_EQ(buffer, encrypt(key, data, iv.data(), blockType));
        ASSERT_TRUE(des.decrypt(buffer.data(), buffer.data(), 64));
        EXPECT_EQ(buffer, data);
    }
}

TEST(TripleDesTest, SixteenByteBlockIsNotTwoIndependentBlocks) {
    std::mt19937 rng(6);
    const Bytes key = randomBytes(rng, 24);
    const Bytes data = randomBytes(rng, 32);
    const Bytes wide = encrypt(key, data, nullptr, CTripleDes::blockType16);
    EXPECT_NE(wide, encrypt(key, data));
    // With a single-DES key the block type has no effect.
    const Bytes k8 = randomBytes(rng, 8);
    EXPECT_EQ(encrypt(k8, data, nullptr, CTripleDes::blockType16), encrypt(k8, data));
    // Any value other than 1 selects the 8-byte block.
    EXPECT_EQ(encrypt(key, data, nullptr, static_cast<CTripleDes::BlockType>(7)),
              encrypt(key, data));
}

TEST(TripleDesTest, PartialBlockIsLeftUntouchedAndReported) {
    std::mt19937 rng(7);
    const Bytes key = randomBytes(rng, 24);
    const Bytes data = randomBytes(rng, 20);
    CTripleDes des(key.data(), 24, CTripleDes::blockType8, nullptr);
    Bytes head(20, 0xee);
    LogCapture log;
    EXPECT_FALSE(des.encrypt(head.data(), data.data(), 20));
    EXPECT_EQ(Bytes(head.begin(), head.begin() + 16),
              encrypt(key, Bytes(data.begin(), data.begin() + 16)));
    EXPECT_EQ(Bytes(head.begin() + 16, head.end()), Bytes(4, 0xee));
    EXPECT_NE(log.text().find("CTripleDes::encrypt(): size is not the multiple of the "
                              "'BlockSize'!!! size(20), real_size(16)\n"),
              std::string::npos)
        << log.text();

    Bytes back(20, 0xee);
    EXPECT_FALSE(des.decrypt(back.data(), head.data(), 20));
    EXPECT_EQ(Bytes(back.begin(), back.begin() + 16), Bytes(data.begin(), data.begin() + 16));
    EXPECT_EQ(Bytes(back.begin() + 16, back.end()), Bytes(4, 0xee));
    EXPECT_NE(log.text().find("CTripleDes::decrypt(): size is not the multiple of the "
                              "'BlockSize'!!! size(20), real_size(16)\n"),
              std::string::npos)
        << log.text();

    // The 16-byte block with a two-key key: 24 bytes are one block and a half.
    CTripleDes wide(key.data(), 16, CTripleDes::blockType16, nullptr);
    const Bytes big = randomBytes(rng, 32);
    Bytes out(32, 0xee);
    EXPECT_TRUE(wide.encrypt(out.data(), big.data(), 32));
    Bytes partial(24, 0xee);
    EXPECT_FALSE(wide.encrypt(partial.data(), big.data(), 24));
    EXPECT_EQ(Bytes(partial.begin(), partial.begin() + 16), Bytes(out.begin(), out.begin() + 16));
    EXPECT_EQ(Bytes(partial.begin() + 16, partial.end()), Bytes(8, 0xee));
    EXPECT_NE(log.text().find("size(24), real_size(16)"), std::string::npos);
}

TEST(TripleDesTest, EmptyKeyFailsWithoutWriting) {
    LogCapture log;
    const Bytes data(16, 1);
    Bytes out(16, 0xee);
    CTripleDes des(nullptr, 8, CTripleDes::blockType8, nullptr);
    EXPECT_FALSE(des.encrypt(out.data(), data.data(), 16));
    EXPECT_FALSE(des.decrypt(out.data(), data.data(), 16));
    const unsigned char key[1] = {1};
    CTripleDes empty(key, 0, CTripleDes::blockType8, nullptr);
    EXPECT_FALSE(empty.encrypt(out.data(), data.data(), 16));
    EXPECT_EQ(out, Bytes(16, 0xee));
    const std::string text = log.text();
    EXPECT_NE(text.find("key_length is 0,is unvalid!\n"), std::string::npos) << text;
    // The message carries the source position, the object and the thread.
    EXPECT_NE(text.find("TripleDes.cpp:"), std::string::npos) << text;
    EXPECT_NE(text.find(" this:" TEST_POINTER_PREFIX), std::string::npos) << text;
}

TEST(TripleDesTest, NullBuffersAreReportedAndResultFollowsTheSizeRule) {
    LogCapture log;
    const unsigned char key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    CTripleDes des(key, 8, CTripleDes::blockType8, nullptr);
    Bytes buffer(16, 0xee);
    EXPECT_TRUE(des.encrypt(buffer.data(), nullptr, 16));
    EXPECT_TRUE(des.decrypt(nullptr, buffer.data(), 16));
    EXPECT_FALSE(des.encrypt(nullptr, buffer.data(), 12));
    EXPECT_EQ(buffer, Bytes(16, 0xee));
    const std::string text = log.text();
    EXPECT_NE(text.find("en_de_crypt(): src is NULL!!\n"), std::string::npos) << text;
    EXPECT_NE(text.find("en_de_crypt(): dst is NULL!!\n"), std::string::npos) << text;
}

TEST(TripleDesTest, ZeroSizeSucceeds) {
    const unsigned char key[24] = {};
    CTripleDes des(key, 24, CTripleDes::blockType16, nullptr);
    unsigned char out[1] = {0xee};
    EXPECT_TRUE(des.encrypt(out, key, 0));
    EXPECT_EQ(out[0], 0xee);
}

TEST(TripleDesTest, ObjectsAreUsableFromManyThreadsAtOnce) {
    std::mt19937 rng(8);
    const Bytes key = randomBytes(rng, 24);
    const Bytes iv = randomBytes(rng, 8);
    const Bytes data = randomBytes(rng, 256);
    const Bytes expected = encrypt(key, data, iv.data());
    CTripleDes shared(key.data(), 24, CTripleDes::blockType8, iv.data());
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            CTripleDes own(key.data(), 24, CTripleDes::blockType8, iv.data());
            for (int i = 0; i < 200; ++i) {
                Bytes out(256);
                CTripleDes& des = (i % 2 == 0) ? shared : own;
                des.encrypt(out.data(), data.data(), 256);
                if (out != expected) {
                    ++failures[t];
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

#if defined(INFRA_HAVE_OPENSSL)

DES_key_schedule schedule(const unsigned char* key8) {
    DES_cblock block;
    std::memcpy(block, key8, 8);
    DES_key_schedule ks;
    DES_set_key_unchecked(&block, &ks);
    return ks;
}

// One Triple DES block (or single DES when `triple` is false) through OpenSSL.
void opensslBlock(const Bytes& key24, bool triple, bool enc, const unsigned char* in,
                  unsigned char* out) {
    DES_key_schedule k1 = schedule(key24.data());
    DES_key_schedule k2 = schedule(key24.data() + 8);
    DES_key_schedule k3 = schedule(key24.data() + 16);
    DES_cblock inBlock;
    DES_cblock outBlock;
    std::memcpy(inBlock, in, 8);
    if (triple) {
        DES_ecb3_encrypt(&inBlock, &outBlock, &k1, &k2, &k3, enc ? DES_ENCRYPT : DES_DECRYPT);
    } else {
        DES_ecb_encrypt(&inBlock, &outBlock, &k1, enc ? DES_ENCRYPT : DES_DECRYPT);
    }
    std::memcpy(out, outBlock, 8);
}

// The key as three 8-byte parts, the way the key length chooses them.
Bytes expandKey(const Bytes& key) {
    Bytes k(key.begin(), key.begin() + std::min<std::size_t>(key.size(), 24));
    const std::size_t length = k.size();
    k.resize(24, 0);
    if (length <= 16) {
        std::copy(k.begin(), k.begin() + 8, k.begin() + 16);
    }
    return k;
}

TEST(TripleDesTest, MatchesOpenSslForEveryKeyLengthInEcbAndCbc) {
    std::mt19937 rng(9);
    for (unsigned int keyLen = 1; keyLen <= 26; ++keyLen) {
        for (int trial = 0; trial < 20; ++trial) {
            const Bytes key = randomBytes(rng, keyLen);
            const Bytes iv = randomBytes(rng, 8);
            const Bytes data = randomBytes(rng, 64);
            const Bytes k24 = expandKey(key);
            const bool triple = keyLen > 8;
            Bytes ecb(64);
            Bytes cbc(64);
            unsigned char chain[8];
            std::memcpy(chain, iv.data(), 8);
            for (int b = 0; b < 8; ++b) {
                opensslBlock(k24, triple, true, data.data() + 8 * b, ecb.data() + 8 * b);
                unsigned char x[8];
                for (int i = 0; i < 8; ++i) {
                    x[i] = data[8 * b + i] ^ chain[i];
                }
                opensslBlock(k24, triple, true, x, cbc.data() + 8 * b);
                std::memcpy(chain, cbc.data() + 8 * b, 8);
            }
            ASSERT_EQ(encrypt(key, data), ecb) << "key length " << keyLen;
            ASSERT_EQ(encrypt(key, data, iv.data()), cbc) << "key length " << keyLen;
            ASSERT_EQ(decrypt(key, ecb), data);
            ASSERT_EQ(decrypt(key, cbc, iv.data()), data);
        }
    }
}

TEST(TripleDesTest, ThreeKeyCbcMatchesOpenSslOnLongBuffers) {
    std::mt19937 rng(10);
    const Bytes key = randomBytes(rng, 24);
    const Bytes iv = randomBytes(rng, 8);
    const Bytes data = randomBytes(rng, 4096);
    DES_key_schedule k1 = schedule(key.data());
    DES_key_schedule k2 = schedule(key.data() + 8);
    DES_key_schedule k3 = schedule(key.data() + 16);
    DES_cblock ivec;
    std::memcpy(ivec, iv.data(), 8);
    Bytes expected(data.size());
    DES_ede3_cbc_encrypt(data.data(), expected.data(), static_cast<long>(data.size()), &k1, &k2,
                         &k3, &ivec, DES_ENCRYPT);
    EXPECT_EQ(encrypt(key, data, iv.data()), expected);
}

// The 16-byte block built from OpenSSL's single-DES passes and the word exchange.
void opensslWideBlock(const Bytes& k24, bool enc, unsigned char* block) {
    DES_key_schedule k[3] = {schedule(k24.data()), schedule(k24.data() + 8),
                             schedule(k24.data() + 16)};
    static const int kEncrypt[3] = {0, 1, 2};
    static const int kDecrypt[3] = {2, 1, 0};
    for (int pass = 0; pass < 3; ++pass) {
        const int which = enc ? kEncrypt[pass] : kDecrypt[pass];
        const bool forward = (pass == 1) ? !enc : enc;
        for (int half = 0; half < 2; ++half) {
            DES_cblock in;
            DES_cblock out;
            std::memcpy(in, block + 8 * half, 8);
            DES_ecb_encrypt(&in, &out, &k[which], forward ? DES_ENCRYPT : DES_DECRYPT);
            std::memcpy(block + 8 * half, out, 8);
        }
        if (pass < 2) {
            unsigned char t[4];
            std::memcpy(t, block + 4, 4);
            std::memcpy(block + 4, block + 8, 4);
            std::memcpy(block + 8, t, 4);
        }
    }
}

TEST(TripleDesTest, SixteenByteBlockMatchesOpenSslPassesWithWordExchange) {
    std::mt19937 rng(11);
    for (unsigned int keyLen : {9u, 16u, 20u, 24u}) {
        const Bytes key = randomBytes(rng, keyLen);
        const Bytes k24 = expandKey(key);
        const Bytes iv = randomBytes(rng, 16);
        const Bytes data = randomBytes(rng, 64);
        Bytes ecb = data;
        Bytes cbc = data;
        Bytes chain = iv;
        for (int b = 0; b < 4; ++b) {
            opensslWideBlock(k24, true, ecb.data() + 16 * b);
            for (int i = 0; i < 16; ++i) {
                cbc[16 * b + i] ^= chain[i];
            }
            opensslWideBlock(k24, true, cbc.data() + 16 * b);
            chain.assign(cbc.begin() + 16 * b, cbc.begin() + 16 * b + 16);
        }
        EXPECT_EQ(encrypt(key, data, nullptr, CTripleDes::blockType16), ecb);
        EXPECT_EQ(encrypt(key, data, iv.data(), CTripleDes::blockType16), cbc);
        Bytes back = ecb;
        for (int b = 0; b < 4; ++b) {
            opensslWideBlock(k24, false, back.data() + 16 * b);
        }
        EXPECT_EQ(back, data);
    }
}

#endif  // INFRA_HAVE_OPENSSL

}  // namespace
