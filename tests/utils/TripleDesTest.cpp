// DES and Triple DES: published known answers, a model built from OpenSSL's single DES where
// found (key parts by length, the 16-byte block, ECB and CBC), the size rule and its messages.
#include "infra/TripleDes.h"

#include "UtilsTestHelpers.h"

#if defined(INFRA_HAVE_OPENSSL)
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>
#endif

using Tovix::Utils::CTripleDes;
using namespace UtilsTest;

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

// From single DES: keys of 1-8 bytes single, 9-16 two-key (K3 = K1), 17-24 three-key, longer cut;
// E(K1) D(K2) E(K3); type 1 runs two halves, exchanging A1 and B0 between passes; CBC from the IV.
Bytes model(bool encrypting, const Bytes& key, const Bytes& data, const Bytes* iv, int type) {
    const std::size_t length = std::min<std::size_t>(key.size(), 24);
    Bytes k(key.begin(), key.begin() + static_cast<long>(length));
    k.resize(24, 0);
    const std::size_t parts[3] = {0, 8, length <= 16 ? 0u : 16u};
    const int passes = length > 8 ? 3 : 1;
    const std::size_t size = passes == 3 && type == 1 ? 16 : 8;
    Bytes out = data;
    Bytes chain =
        iv != nullptr ? Bytes(iv->begin(), iv->begin() + static_cast<long>(size)) : Bytes(size, 0);
    for (std::size_t at = 0; at + size <= out.size(); at += size) {
        unsigned char* b = &out[at];
        const Bytes in(b, b + size);
        for (std::size_t i = 0; i < size && encrypting; ++i) {
            b[i] ^= chain[i];
        }
        for (int pass = 0; pass < passes; ++pass) {
            for (std::size_t half = 0; half < size; half += 8) {
                desBlock(&k[parts[encrypting ? pass : passes - 1 - pass]],
                         encrypting == (pass != 1), b + half);
            }
            if (size == 16 && pass < 2) {
                std::swap_ranges(b + 4, b + 8, b + 8);
            }
        }
        for (std::size_t i = 0; i < size && !encrypting; ++i) {
            b[i] ^= chain[i];
        }
        chain = iv == nullptr ? chain : encrypting ? Bytes(b, b + size) : in;
    }
    return out;
}
#endif

}  // namespace

TEST(TripleDesTest, PublishedKnownAnswers) {
    // Key, IV ("-": ECB), plain, cipher: the FIPS 81 sample, answers with the all-parity key, the
    // three-key example.
    const char* const rows[] = {
        "0123456789abcdef - 4e6f77206973207468652074696d6520666f7220616c6c20 "
        "3fa40e8a984d48156a271787ab8883f9893d51ec4b563b53",
        "0123456789abcdef 1234567890abcdef 4e6f77206973207468652074696d6520666f7220616c6c20 "
        "e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6",
        // Three equal parts are single DES; a key beyond 24 bytes is cut.
        "0123456789abcdef0123456789abcdef0123456789abcdef - 4e6f77206973207468652074696d6520 "
        "3fa40e8a984d48156a271787ab8883f9",
        "0123456789abcdef23456789abcdef01456789abcdef0123ffffffff - "
        "54686520717566636b2062726f776e20 "
        "a826fd8ce53b855fcce21c8112256fe6",
        "133457799bbcdff1 - 0123456789abcdef 85e813540f0ab405",
        "0123456789abcdef23456789abcdef01456789abcdef0123 - "
        "54686520717566636b2062726f776e20666f78206a756d70 "
        "a826fd8ce53b855fcce21c8112256fe668d5c05dd9b6b900"};
    for (const char* row : rows) {
        const auto f = fields(row);
        const Bytes iv = fromHex(f[1]);
        const unsigned char* chain = iv.empty() ? nullptr : iv.data();
        EXPECT_EQ(toHex(run(true, fromHex(f[0]), fromHex(f[2]), chain)), f[3]) << row;
        EXPECT_EQ(toHex(run(false, fromHex(f[0]), fromHex(f[3]), chain)), f[2]) << row;
    }
}

// Every key length, block type (any but 1 is the 8-byte block) and mode against the model, back,
// in place and again: each call's chain starts from the constructor's IV.
TEST(TripleDesTest, EveryKeyLengthBlockTypeAndModeRoundTripsAndMatchesTheModel) {
    std::mt19937 rng(3);
    for (unsigned int keyLen = 1; keyLen <= 30; ++keyLen) {
        for (const int type : {0, 1, 7}) {
            for (const bool cbc : {false, true}) {
                const Bytes key = randomBytes(rng, keyLen);
                const Bytes iv = randomBytes(rng, 16);
                Bytes data = randomBytes(rng, 96);
                data.insert(data.end(), data.begin(), data.begin() + 32);  // repeated blocks
                const unsigned char* chain = cbc ? iv.data() : nullptr;
                const Bytes cipher = run(true, key, data, chain, type);
#if defined(INFRA_HAVE_OPENSSL)
                ASSERT_EQ(cipher, model(true, key, data, cbc ? &iv : nullptr, type))
                    << keyLen << " " << type << " " << cbc;
                ASSERT_EQ(model(false, key, cipher, cbc ? &iv : nullptr, type), data);
#endif
                ASSERT_EQ(cbc, !std::equal(cipher.begin(), cipher.begin() + 32, cipher.end() - 32));
                ASSERT_EQ(run(false, key, cipher, chain, type), data) << keyLen << " " << type;
                CTripleDes des(key.data(), keyLen, blockType(type), chain);
                for (int pass = 0; pass < 2; ++pass) {
                    Bytes buffer = data;
                    ASSERT_TRUE(des.encrypt(buffer.data(), buffer.data(), 128));
                    ASSERT_EQ(buffer, cipher);
                    ASSERT_TRUE(des.decrypt(buffer.data(), buffer.data(), 128));
                    ASSERT_EQ(buffer, data);
                }
            }
        }
    }
}

// Whole blocks only, the rest left alone and the size logged; bad keys and buffers logged.
TEST(TripleDesTest, PartialBlocksAndBadArgumentsAreReported) {
    std::mt19937 rng(7);
    const Bytes key = randomBytes(rng, 24);
    const Bytes data = randomBytes(rng, 32);
    TestSupport::LogCapture log;
    for (const char* row : {"0 20 16 encrypt", "0 20 16 decrypt", "1 24 16 encrypt"}) {
        const auto f = fields(row);
        CTripleDes des(key.data(), 24, blockType(num(f[0])), nullptr);
        const unsigned size = static_cast<unsigned>(num(f[1]));
        const Bytes whole = run(f[3] == "encrypt", key, data, nullptr, num(f[0]));
        Bytes out(size, 0xee);
        EXPECT_FALSE(f[3] == "encrypt" ? des.encrypt(out.data(), data.data(), size)
                                       : des.decrypt(out.data(), data.data(), size));
        Bytes expected(whole.begin(), whole.begin() + num(f[2]));
        expected.resize(size, 0xee);
        EXPECT_EQ(out, expected) << row;
        EXPECT_TRUE(log.contains("CTripleDes::" + f[3] + "(): size is not the multiple of the " +
                                 "'BlockSize'!!! size(" + f[1] + "), real_size(" + f[2] + ")\n"))
            << log.text();
    }
    Bytes buffer(16, 0xee);
    CTripleDes none(nullptr, 8, CTripleDes::blockType8, nullptr);
    CTripleDes empty(key.data(), 0, CTripleDes::blockType8, nullptr);
    CTripleDes des(key.data(), 8, CTripleDes::blockType8, nullptr);
    EXPECT_FALSE(none.encrypt(buffer.data(), data.data(), 16) ||
                 none.decrypt(buffer.data(), data.data(), 16) ||
                 empty.encrypt(buffer.data(), data.data(), 16) ||
                 des.encrypt(nullptr, buffer.data(), 12));
    EXPECT_TRUE(des.encrypt(buffer.data(), nullptr, 16) &&
                des.decrypt(nullptr, buffer.data(), 16) &&
                des.encrypt(buffer.data(), data.data(), 0));
    EXPECT_EQ(buffer, Bytes(16, 0xee));
    for (const char* message : {"key_length is 0,is unvalid!\n",
                                "TripleDes.cpp:", " this:", "en_de_crypt(): src is NULL!!\n",
                                "en_de_crypt(): dst is NULL!!\n"}) {
        EXPECT_TRUE(log.contains(message)) << message << log.text();
    }
}
