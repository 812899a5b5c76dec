// CMd5 and CSha1: published vectors, every padding case and random splits against OpenSSL where
// found, the finished state and the logged refusals of bad output arguments. CSha1 runs on the
// processor's path and on the portable one.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "UtilsTestHelpers.h"
#include "infra/Md5.h"
#include "infra/Sha1.h"
#include "support/LogCapture.h"

#if defined(INFRA_HAVE_OPENSSL)
#include <openssl/evp.h>
#endif

using namespace Tovix::Utils;
using namespace UtilsTest;
using TestSupport::LogCapture;

namespace {

const unsigned char* u8(const char* s) {
    return reinterpret_cast<const unsigned char*>(s);
}

// Feeds `s` whole, or in pieces of 1 to `piece` bytes.
template <class Hash>
void feed(Hash& hash, const std::string& s, std::mt19937* rng, unsigned piece) {
    for (std::size_t at = 0, n = 0; at < s.size(); at += n) {
        n = rng == nullptr ? s.size() : std::min<std::size_t>(1 + (*rng)() % piece, s.size() - at);
        hash.update(u8(s.data()) + at, static_cast<unsigned>(n));
    }
}

std::string md5Hex(const std::string& s, std::mt19937* rng = nullptr, unsigned piece = 0) {
    CMd5 md5;
    feed(md5, s, rng, piece);
    char hex[32];
    md5.hex(hex);
    return std::string(hex, 32);
}

std::string sha1Hex(const std::string& s, std::mt19937* rng = nullptr, unsigned piece = 0) {
    CSha1 sha1;
    feed(sha1, s, rng, piece);
    char hex[41];
    sha1.hex(hex, sizeof hex);
    return hex;
}

// Every length over several blocks (each padding case) and one megabyte, against the oracle
// where found and fed in random pieces against one call.
void sweep(std::string (*hexOf)(const std::string&, std::mt19937*, unsigned), const char* oracle) {
    std::mt19937 rng(37);
    for (std::size_t n = 0; n <= 300; ++n) {
        const Bytes b = randomBytes(rng, n < 300 ? n : 1 << 20);
        const std::string s(b.begin(), b.end());
        const std::string whole = hexOf(s, nullptr, 0);
        ASSERT_EQ(hexOf(s, &rng, n < 300 ? 1 + n % 130 : 5000), whole) << n;
#if defined(INFRA_HAVE_OPENSSL)
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_Digest(s.data(), s.size(), digest, &length, EVP_get_digestbyname(oracle), nullptr);
        ASSERT_EQ(whole, toHex(digest, length)) << n;
#else
        (void)oracle;
#endif
    }
}

using Sha1Paths = PathTest<Detail::setSha1Acceleration>;

}  // namespace

TEST(Md5, Rfc1321TestSuite) {
    const char* const vectors[][2] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"}};
    std::mt19937 rng(31);
    for (const auto& v : vectors) {
        EXPECT_EQ(md5Hex(v[0]), v[1]);
        EXPECT_EQ(md5Hex(v[0], &rng, 3), v[1]);
    }
}

TEST(Md5, MatchesOpenSslAtEveryLengthAndSplit) {
    sweep(md5Hex, "MD5");
}

TEST(Md5, FinishedDigestIsKeptUntilNewDataAndInitRestarts) {
    CMd5 md5;
    md5.update(u8("message digest"), 14);
    unsigned char first[16];
    unsigned char again[16];
    md5.final(first);
    md5.final(again);
    EXPECT_EQ(toHex(first, 16), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(toHex(again, 16), toHex(first, 16));
    md5.update(nullptr, 5);  // empty updates do not reopen the hash
    md5.update(u8("x"), 0);
    char text[34];
    std::memset(text, '#', sizeof text);
    md5.hex(text);
    EXPECT_EQ(std::string(text, 33), "f96b697d7cb7938d525a2f31aaf161d0#");  // no terminator
    md5.update(u8("abc"), 3);  // new data starts a new hash
    md5.final(again);
    EXPECT_EQ(toHex(again, 16), "900150983cd24fb0d6963f7d28e17f72");
    md5.update(u8("something"), 9);
    md5.init();
    md5.update(u8("abc"), 3);
    md5.final(again);
    EXPECT_EQ(toHex(again, 16), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5, NullOutputIsLoggedAndLeavesHashOpen) {
    LogCapture log;
    CMd5 md5;
    md5.update(u8("ab"), 2);
    md5.final(nullptr);
    md5.hex(nullptr);
    md5.update(u8("c"), 1);
    unsigned char digest[16];
    md5.final(digest);
    EXPECT_EQ(toHex(digest, 16), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_TRUE(log.contains("digest is NULL\n")) << log.text();
    EXPECT_TRUE(log.contains("hash is NULL\n")) << log.text();
}

TEST_P(Sha1Paths, Fips180Vectors) {
    EXPECT_EQ(sha1Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    std::mt19937 rng(41);
    EXPECT_EQ(sha1Hex(std::string(1000000, 'a'), &rng, 2000),
              "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST_P(Sha1Paths, MatchesOpenSslAtEveryLengthAndSplit) {
    sweep(sha1Hex, "SHA1");
}

INSTANTIATE_TEST_SUITE_P(Sha1, Sha1Paths, testing::Bool(), pathName);

TEST(Sha1, FinishedDigestIsKeptUntilNewData) {
    CSha1 sha1;
    sha1.update(u8("abc"), 3);
    unsigned char first[20];
    unsigned char again[20];
    sha1.final(first, sizeof first);
    sha1.final(again, sizeof again);
    EXPECT_EQ(toHex(first, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(toHex(again, 20), toHex(first, 20));
    sha1.update(nullptr, 3);
    sha1.update(u8("x"), 0);
    char text[42];
    std::memset(text, '#', sizeof text);
    sha1.hex(text, 40);  // no room for a terminator: none is written
    EXPECT_EQ(std::string(text, 41), "a9993e364706816aba3e25717850c26c9cd0d89d#");
    sha1.hex(text, 41);
    EXPECT_EQ(std::string(text, 42),
              std::string("a9993e364706816aba3e25717850c26c9cd0d89d\0#", 42));
    sha1.update(u8("ab"), 2);
    sha1.hex(text, sizeof text);
    EXPECT_EQ(std::string(text), sha1Hex("ab"));
}

TEST(Sha1, ShortOrNullOutputIsLoggedAndWritesNothing) {
    LogCapture log;
    CSha1 sha1;
    sha1.update(u8("ab"), 2);
    unsigned char hash[20];
    std::memset(hash, 0x5A, sizeof hash);
    sha1.final(hash, 19);
    EXPECT_EQ(Bytes(hash, hash + 20), Bytes(20, 0x5A));
    char text[40];
    std::memset(text, '#', sizeof text);
    sha1.hex(text, 39);
    EXPECT_EQ(std::string(text, 40), std::string(40, '#'));
    sha1.final(nullptr, 20);
    sha1.hex(nullptr, 41);
    sha1.update(u8("c"), 1);  // none of the refusals finished the hash
    sha1.final(hash, 20);
    EXPECT_EQ(toHex(hash, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
    for (const char* line :
         {"len(19) is invalid!\n", "len(39) is invalid!\n", "hash is NULL!\n", "str is NULL!\n"}) {
        EXPECT_TRUE(log.contains(line)) << line << log.text();
    }
}

TEST(Sha1, SwitchSelectsPortablePath) {
    Detail::setSha1Acceleration(false);
    EXPECT_FALSE(Detail::sha1Accelerated());
    Detail::setSha1Acceleration(true);
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __builtin_cpu_init();
    EXPECT_EQ(Detail::sha1Accelerated(), __builtin_cpu_supports("sha") &&
                                             __builtin_cpu_supports("ssse3") &&
                                             __builtin_cpu_supports("sse4.1"));
#endif
}

TEST(Hashes, SeparateObjectsHashConcurrentlyWhilePathsSwitch) {
    std::mt19937 rng(59);
    const Bytes b = randomBytes(rng, 10000);
    const std::string data(b.begin(), b.end());
    const std::string md5Expected = md5Hex(data);
    const std::string sha1Expected = sha1Hex(data);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::thread switcher([&] {
        for (bool on = false; !stop; on = !on) {
            Detail::setSha1Acceleration(on);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                wrong += md5Hex(data) != md5Expected || sha1Hex(data) != sha1Expected;
            }
        });
    }
    for (auto& w : workers) {
        w.join();
    }
    stop = true;
    switcher.join();
    Detail::setSha1Acceleration(true);
    EXPECT_EQ(wrong.load(), 0);
}
