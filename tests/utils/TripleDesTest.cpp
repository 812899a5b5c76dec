// DES and Triple DES: published known answers, a model built from OpenSSL's single DES where
// found (key parts by length, the 16-byte block, ECB and CBC), the size rule and its messages.
#include "infra/TripleDes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>

#include "UtilsTestHelpers.h"
#include "support/LogCapture.h"

#if defined(INFRA_HAVE_OPENSSL)
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>
#endif

using Tovix::Utils::CTripleDes;
using namespace UtilsTest;
using TestSupport::LogCapture;

// How "%p" text begins: "0x" with the GNU C library, bare hex digits with the Windows runtimes.
#if defined(_WIN32)
#define TEST_POINTER_PREFIX ""
#else
#define TEST_POINTER_PREFIX "0x"
#endif

namespace {

CTripleDes::BlockType blockType(int type) {
    return static_cast<CTripleDes::BlockType>(type);
}

Bytes run(bool encrypting, const Bytes& key, const Bytes& data, const unsigned char* iv = nullptr,
          int type = CTripleDes::blockType8) {
    CTripleDes des(key.data(), static_cast<unsigned int>(key.size()), blockType(type), iv);
    Bytes out(data.size());
    const unsigned int size = static_cast<unsigned int>(data.size());
    EXPECT_TRUE(encrypting ? des.encrypt(out.data(), data.data(), size)
                           : des.decrypt(out.data(), data.data(), size));
    return out;
}

Bytes encrypt(const Bytes& key, const Bytes& data, const unsigned char* iv = nullptr,
              int type = CTripleDes::blockType8) {
    return run(true, key, data, iv, type);
}

#if defined(INFRA_HAVE_OPENSSL)
void desBlock(const unsigned char* key8, bool encrypting, unsigned char* block) {
    DES_cblock k;
    DES_cblock in;
    DES_cblock out;
    std::memcpy(k, key8, 8);
    std::memcpy(in, block, 8);
    DES_key_schedule schedule;
    DES_set_key_unchecked(&k, &schedule);
    DES_ecb_encrypt(&in, &out, &schedule, encrypting ? DES_ENCRYPT : DES_DECRYPT);
    std::memcpy(block, out, 8);
}

// The cipher as documented, from single DES: up to 8 key bytes single DES, up to 16 two-key
// (K3 = K1), up to 24 three-key, longer keys cut; passes E(K1) D(K2) E(K3) (decryption the
// reverse); block type 1 runs two halves side by side and exchanges A's second word with B's
// first between the passes; CBC chains from the IV.
Bytes model(bool encrypting, const Bytes& key, const Bytes& data, const Bytes* iv, int type) {
    Bytes k(key.begin(), key.begin() + static_cast<long>(std::min<std::size_t>(key.size(), 24)));
    const bool triple = k.size() > 8;
    k.resize(k.size() <= 16 ? 16 : 24, 0);
    if (k.size() == 16) {
        const Bytes k1(k.begin(), k.begin() + 8);
        k.insert(k.end(), k1.begin(), k1.end());
    }
    const std::size_t size = triple && type == 1 ? 16 : 8;
    Bytes out = data;
    Bytes chain =
        iv != nullptr ? Bytes(iv->begin(), iv->begin() + static_cast<long>(size)) : Bytes();
    for (std::size_t at = 0; at + size <= out.size(); at += size) {
        unsigned char* b = &out[at];
        const Bytes in(b, b + size);
        for (std::size_t i = 0; i < chain.size() && encrypting; ++i) {
            b[i] ^= chain[i];
        }
        for (int pass = 0; pass < (triple ? 3 : 1); ++pass) {
            const int part = !triple ? 0 : encrypting ? pass : 2 - pass;
            for (std::size_t half = 0; half < size; half += 8) {
                desBlock(&k[8 * static_cast<std::size_t>(part)], encrypting == (pass != 1),
                         b + half);
            }
            if (size == 16 && pass < 2) {
                std::swap_ranges(b + 4, b + 8, b + 8);
            }
        }
        for (std::size_t i = 0; i < chain.size() && !encrypting; ++i) {
            b[i] ^= chain[i];
        }
        if (!chain.empty()) {
            chain = encrypting ? Bytes(b, b + size) : in;
        }
    }
    return out;
}
#endif

}  // namespace

TEST(TripleDesTest, PublishedKnownAnswers) {
    const struct {
        const char* key;
        const char* iv;
        const char* plain;
        const char* cipher;
    } cases[] = {
        // "Now is the time for all " in ECB and CBC.
        {"0123456789abcdef", "", "4e6f77206973207468652074696d6520666f7220616c6c20",
         "3fa40e8a984d48156a271787ab8883f9893d51ec4b563b53"},
        {"0123456789abcdef", "1234567890abcdef", "4e6f77206973207468652074696d6520666f7220616c6c20",
         "e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6"},
        // Variable-plaintext answers with the all-parity key, and the textbook example.
        {"0101010101010101", "", "8000000000000000", "95f8a5e5dd31d900"},
        {"0101010101010101", "", "4000000000000000", "dd7f121ca5015619"},
        {"0101010101010101", "", "2000000000000000", "2e8653104f3834ea"},
        {"133457799bbcdff1", "", "0123456789abcdef", "85e813540f0ab405"},
        // Three-key Triple DES: "The qufck brown fox jump".
        {"0123456789abcdef23456789abcdef01456789abcdef0123", "",
         "54686520717566636b2062726f776e20666f78206a756d70",
         "a826fd8ce53b855fcce21c8112256fe668d5c05dd9b6b900"},
    };
    for (const auto& c : cases) {
        const Bytes key = fromHex(c.key);
        const Bytes iv = fromHex(c.iv);
        const unsigned char* chain = iv.empty() ? nullptr : iv.data();
        EXPECT_EQ(encrypt(key, fromHex(c.plain), chain), fromHex(c.cipher)) << c.plain;
        EXPECT_EQ(run(false, key, fromHex(c.cipher), chain), fromHex(c.plain)) << c.cipher;
    }
}

TEST(TripleDesTest, KeyLengthChoosesTheKeyParts) {
    std::mt19937 rng(1);
    const Bytes data = randomBytes(rng, 64);
    const Bytes k = randomBytes(rng, 8);
    Bytes k16 = k;
    k16.insert(k16.end(), k.begin(), k.end());
    Bytes k24 = k16;
    k24.insert(k24.end(), k.begin(), k.end());
    EXPECT_EQ(encrypt(k24, data), encrypt(k, data));  // equal parts are single DES
    EXPECT_EQ(encrypt(k16, data, k.data()), encrypt(k, data, k.data()));
    const Bytes k5 = randomBytes(rng, 5);  // short keys are padded with zeros
    EXPECT_EQ(encrypt(k5, data), encrypt(Bytes{k5[0], k5[1], k5[2], k5[3], k5[4], 0, 0, 0}, data));
    const Bytes k30 = randomBytes(rng, 30);  // long keys are cut
    EXPECT_EQ(encrypt(k30, data), encrypt(Bytes(k30.begin(), k30.begin() + 24), data));
}

// Every key length, block type (any value but 1 is the 8-byte block) and mode: the model's
// output where OpenSSL is found, the way back, and the same in place.
TEST(TripleDesTest, EveryKeyLengthBlockTypeAndModeRoundTripsAndMatchesTheModel) {
    std::mt19937 rng(3);
    for (unsigned int keyLen = 1; keyLen <= 30; ++keyLen) {
        for (const int type : {0, 1, 7}) {
            for (const bool cbc : {false, true}) {
                const Bytes key = randomBytes(rng, keyLen);
                const Bytes iv = randomBytes(rng, 16);
                const Bytes data = randomBytes(rng, 96);
                const unsigned char* chain = cbc ? iv.data() : nullptr;
                const Bytes cipher = encrypt(key, data, chain, type);
                EXPECT_NE(cipher, data);
#if defined(INFRA_HAVE_OPENSSL)
                ASSERT_EQ(cipher, model(true, key, data, cbc ? &iv : nullptr, type))
                    << keyLen << " " << type << " " << cbc;
                ASSERT_EQ(model(false, key, cipher, cbc ? &iv : nullptr, type), data);
#endif
                ASSERT_EQ(run(false, key, cipher, chain, type), data) << keyLen << " " << type;
                CTripleDes des(key.data(), keyLen, blockType(type), chain);
                Bytes buffer = data;
                ASSERT_TRUE(des.encrypt(buffer.data(), buffer.data(), 96));
                ASSERT_EQ(buffer, cipher);
                ASSERT_TRUE(des.decrypt(buffer.data(), buffer.data(), 96));
                ASSERT_EQ(buffer, data);
            }
        }
    }
}

TEST(TripleDesTest, CbcRestartsFromTheStoredIvOnEveryCall) {
    std::mt19937 rng(4);
    const Bytes key = randomBytes(rng, 24);
    const Bytes iv = randomBytes(rng, 8);
    const Bytes data(40, 0x5a);
    CTripleDes des(key.data(), 24, CTripleDes::blockType8, iv.data());
    Bytes a(40);
    Bytes b(40);
    ASSERT_TRUE(des.encrypt(a.data(), data.data(), 40));
    ASSERT_TRUE(des.encrypt(b.data(), data.data(), 40));
    EXPECT_EQ(a, b);
    EXPECT_NE(Bytes(a.begin(), a.begin() + 8), Bytes(a.begin() + 8, a.begin() + 16));
}

TEST(TripleDesTest, PartialBlockIsLeftUntouchedAndReported) {
    std::mt19937 rng(7);
    const Bytes key = randomBytes(rng, 24);
    const Bytes data = randomBytes(rng, 32);
    const Bytes whole = encrypt(key, data);
    const Bytes wide = encrypt(key, data, nullptr, CTripleDes::blockType16);
    LogCapture log;
    CTripleDes des(key.data(), 24, CTripleDes::blockType8, nullptr);
    Bytes out(20, 0xee);
    EXPECT_FALSE(des.encrypt(out.data(), data.data(), 20));
    Bytes expected(whole.begin(), whole.begin() + 16);
    expected.resize(20, 0xee);
    EXPECT_EQ(out, expected);
    EXPECT_TRUE(
        log.contains("CTripleDes::encrypt(): size is not the multiple of the 'BlockSize'!!! "
                     "size(20), real_size(16)\n"))
        << log.text();
    Bytes back(20, 0xee);
    EXPECT_FALSE(des.decrypt(back.data(), whole.data(), 20));
    expected.assign(data.begin(), data.begin() + 16);
    expected.resize(20, 0xee);
    EXPECT_EQ(back, expected);
    EXPECT_TRUE(
        log.contains("CTripleDes::decrypt(): size is not the multiple of the 'BlockSize'!!! "
                     "size(20), real_size(16)\n"))
        << log.text();
    // The 16-byte block: 24 bytes are one block and a half.
    CTripleDes des16(key.data(), 24, CTripleDes::blockType16, nullptr);
    Bytes partial(24, 0xee);
    EXPECT_FALSE(des16.encrypt(partial.data(), data.data(), 24));
    expected.assign(wide.begin(), wide.begin() + 16);
    expected.resize(24, 0xee);
    EXPECT_EQ(partial, expected);
    EXPECT_TRUE(log.contains("size(24), real_size(16)\n"));
}

TEST(TripleDesTest, EmptyKeyFailsWithoutWriting) {
    LogCapture log;
    const Bytes data(16, 1);
    Bytes out(16, 0xee);
    CTripleDes none(nullptr, 8, CTripleDes::blockType8, nullptr);
    EXPECT_FALSE(none.encrypt(out.data(), data.data(), 16));
    EXPECT_FALSE(none.decrypt(out.data(), data.data(), 16));
    CTripleDes empty(data.data(), 0, CTripleDes::blockType8, nullptr);
    EXPECT_FALSE(empty.encrypt(out.data(), data.data(), 16));
    EXPECT_EQ(out, Bytes(16, 0xee));
    // The message carries the source position, the object and the thread.
    EXPECT_TRUE(log.contains("key_length is 0,is unvalid!\n")) << log.text();
    EXPECT_TRUE(log.contains("TripleDes.cpp:")) << log.text();
    EXPECT_TRUE(log.contains(" this:" TEST_POINTER_PREFIX)) << log.text();
}

TEST(TripleDesTest, NullBuffersAreReportedAndResultFollowsTheSizeRule) {
    LogCapture log;
    const unsigned char key[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    CTripleDes des(key, 8, CTripleDes::blockType8, nullptr);
    Bytes buffer(16, 0xee);
    EXPECT_TRUE(des.encrypt(buffer.data(), nullptr, 16));
    EXPECT_TRUE(des.decrypt(nullptr, buffer.data(), 16));
    EXPECT_FALSE(des.encrypt(nullptr, buffer.data(), 12));
    EXPECT_TRUE(des.encrypt(buffer.data(), key, 0));
    EXPECT_EQ(buffer, Bytes(16, 0xee));
    EXPECT_TRUE(log.contains("en_de_crypt(): src is NULL!!\n")) << log.text();
    EXPECT_TRUE(log.contains("en_de_crypt(): dst is NULL!!\n")) << log.text();
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
    for (std::size_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            CTripleDes own(key.data(), 24, CTripleDes::blockType8, iv.data());
            for (int i = 0; i < 200; ++i) {
                Bytes out(256);
                (i % 2 == 0 ? shared : own).encrypt(out.data(), data.data(), 256);
                failures[t] += out != expected;
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}
