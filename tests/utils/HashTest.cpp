// CMd5 and CSha1: published vectors, every padding boundary against OpenSSL, chunked against
// one-shot, the finished state, and the logged refusals of bad output arguments. CSha1 runs on
// both the processor's path and the portable one.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "infra/Md5.h"
#include "infra/PrintLog.h"
#include "infra/Sha1.h"

#if defined(INFRA_HAVE_OPENSSL)
#include <openssl/evp.h>
#endif

using namespace Tovix::Utils;
using Tovix::Infra::TFunction1;

namespace {

const unsigned char* bytes(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

std::string md5Hex(const std::string& s) {
    CMd5 md5;
    md5.update(bytes(s), static_cast<unsigned>(s.size()));
    char hex[33] = {};
    md5.hex(hex);
    return hex;
}

std::string sha1Hex(const std::string& s) {
    CSha1 sha1;
    sha1.update(bytes(s), static_cast<unsigned>(s.size()));
    char hex[41];
    sha1.hex(hex, sizeof hex);
    return hex;
}

std::string toHex(const unsigned char* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string randomString(std::mt19937& gen, std::size_t n) {
    std::string s(n, '\0');
    for (auto& c : s) {
        c = static_cast<char>(gen());
    }
    return s;
}

#if defined(INFRA_HAVE_OPENSSL)
std::string opensslHex(const EVP_MD* md, const std::string& s) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(s.data(), s.size(), digest, &n, md, nullptr);
    return toHex(digest, n);
}
#endif

// Collects the lines the library logs while a test runs.
class LogCapture {
public:
    LogCapture() : m_sink(this, &LogCapture::sink) {
        Tovix::Infra::setLogPrinter(TFunction1<void, const char*>(&LogCapture::silent));
        Tovix::Infra::attachPrint(m_sink);
    }
    ~LogCapture() {
        Tovix::Infra::detachPrint(m_sink);
        Tovix::Infra::setLogPrinter(TFunction1<void, const char*>());
    }
    std::string text() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_text;
    }

private:
    static void silent(const char*) {}
    bool sink(const char* line) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_text += line;
        return true;
    }
    std::mutex m_mutex;
    std::string m_text;
    TFunction1<bool, const char*> m_sink;
};

class Sha1Paths : public testing::TestWithParam<bool> {
protected:
    void SetUp() override { Detail::setSha1Acceleration(GetParam()); }
    void TearDown() override { Detail::setSha1Acceleration(true); }
};

}  // namespace

// ---- MD5 ------------------------------------------------------------------------------------

TEST(Md5, Rfc1321TestSuite) {
    EXPECT_EQ(md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5Hex("1234567890123456789012345678901234567890123456789012345678901234567890123456"
                     "7890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, EmptyHashWithoutUpdateAndFinalBytes) {
    CMd5 md5;
    unsigned char digest[16];
    md5.final(digest);
    EXPECT_EQ(toHex(digest, 16), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(Md5, HexWritesNoTerminator) {
    CMd5 md5;
    md5.update(bytes("abc"), 3);
    char text[34];
    std::memset(text, '#', sizeof text);
    md5.hex(text);
    EXPECT_EQ(std::string(text, 32), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(text[32], '#');
}

TEST(Md5, PiecesGiveOneShotDigest) {
    CMd5 md5;
    md5.update(bytes("a"), 1);
    md5.update(bytes("b"), 1);
    md5.update(bytes("c"), 1);
    char text[32];
    md5.hex(text);
    EXPECT_EQ(std::string(text, 32), "900150983cd24fb0d6963f7d28e17f72");

    std::mt19937 gen(31);
    const std::string data = randomString(gen, 3000);
    const std::string whole = md5Hex(data);
    for (int round = 0; round < 200; ++round) {
        CMd5 pieces;
        std::size_t at = 0;
        while (at < data.size()) {
            const std::size_t n = std::min<std::size_t>(gen() % 150, data.size() - at);
            pieces.update(bytes(data) + at, static_cast<unsigned>(n));
            at += n;
        }
        pieces.hex(text);
        ASSERT_EQ(std::string(text, 32), whole);
    }
}

TEST(Md5, FinishedDigestIsKeptUntilNewData) {
    CMd5 md5;
    md5.update(bytes("message digest"), 14);
    unsigned char first[16];
    unsigned char second[16];
    md5.final(first);
    md5.final(second);
    EXPECT_EQ(toHex(first, 16), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(toHex(second, 16), toHex(first, 16));
    // Empty updates do not reopen the hash.
    md5.update(nullptr, 5);
    md5.update(bytes("x"), 0);
    md5.final(second);
    EXPECT_EQ(toHex(second, 16), toHex(first, 16));
    // New data starts a new hash.
    md5.update(bytes("abc"), 3);
    md5.final(second);
    EXPECT_EQ(toHex(second, 16), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5, InitDropsCollectedData) {
    CMd5 md5;
    md5.update(bytes("something"), 9);
    md5.init();
    md5.update(bytes("abc"), 3);
    char text[32];
    md5.hex(text);
    EXPECT_EQ(std::string(text, 32), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5, NullOutputIsLoggedAndLeavesHashOpen) {
    LogCapture log;
    CMd5 md5;
    md5.update(bytes("ab"), 2);
    md5.final(nullptr);
    md5.hex(nullptr);
    md5.update(bytes("c"), 1);
    char text[32];
    md5.hex(text);
    EXPECT_EQ(std::string(text, 32), "900150983cd24fb0d6963f7d28e17f72");
    const std::string logged = log.text();
    EXPECT_NE(logged.find("digest is NULL\n"), std::string::npos) << logged;
    EXPECT_NE(logged.find("hash is NULL\n"), std::string::npos) << logged;
}

#if defined(INFRA_HAVE_OPENSSL)
TEST(Md5, MatchesOpenSslAtEveryPaddingBoundary) {
    std::mt19937 gen(37);
    for (std::size_t n = 0; n < 300; ++n) {
        const std::string s = randomString(gen, n);
        ASSERT_EQ(md5Hex(s), opensslHex(EVP_md5(), s)) << n;
    }
    const std::string big = randomString(gen, 1 << 20);
    EXPECT_EQ(md5Hex(big), opensslHex(EVP_md5(), big));
}
#endif

// ---- SHA-1 ----------------------------------------------------------------------------------

TEST_P(Sha1Paths, Fips180Vectors) {
    EXPECT_EQ(sha1Hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
}

TEST_P(Sha1Paths, MillionA) {
    const std::string chunk(1000, 'a');
    CSha1 sha1;
    for (int i = 0; i < 1000; ++i) {
        sha1.update(bytes(chunk), static_cast<unsigned>(chunk.size()));
    }
    char text[41];
    sha1.hex(text, sizeof text);
    EXPECT_STREQ(text, "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    EXPECT_EQ(sha1Hex(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST_P(Sha1Paths, PiecesGiveOneShotDigest) {
    CSha1 sha1;
    sha1.update(bytes("a"), 1);
    sha1.update(bytes("b"), 1);
    sha1.update(bytes("c"), 1);
    char text[41];
    sha1.hex(text, sizeof text);
    EXPECT_STREQ(text, "a9993e364706816aba3e25717850c26c9cd0d89d");

    std::mt19937 gen(41);
    const std::string data = randomString(gen, 3000);
    const std::string whole = sha1Hex(data);
    for (int round = 0; round < 200; ++round) {
        CSha1 pieces;
        std::size_t at = 0;
        while (at < data.size()) {
            const std::size_t n = std::min<std::size_t>(gen() % 150, data.size() - at);
            pieces.update(bytes(data) + at, static_cast<unsigned>(n));
            at += n;
        }
        pieces.hex(text, sizeof text);
        ASSERT_EQ(std::string(text), whole);
    }
}

TEST_P(Sha1Paths, BothPathsAgree) {
    std::mt19937 gen(43);
    for (std::size_t n = 0; n < 400; n += 7) {
        const std::string s = randomString(gen, n * 13);
        Detail::setSha1Acceleration(true);
        const std::string accelerated = sha1Hex(s);
        Detail::setSha1Acceleration(false);
        ASSERT_EQ(sha1Hex(s), accelerated) << n;
    }
}

#if defined(INFRA_HAVE_OPENSSL)
TEST_P(Sha1Paths, MatchesOpenSslAtEveryPaddingBoundary) {
    std::mt19937 gen(47);
    for (std::size_t n = 0; n < 300; ++n) {
        const std::string s = randomString(gen, n);
        ASSERT_EQ(sha1Hex(s), opensslHex(EVP_sha1(), s)) << n;
    }
    const std::string big = randomString(gen, 1 << 20);
    EXPECT_EQ(sha1Hex(big), opensslHex(EVP_sha1(), big));
}
#endif

INSTANTIATE_TEST_SUITE_P(Sha1, Sha1Paths, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "ProcessorChoice" : "Portable";
                         });

TEST(Sha1, FinishedDigestIsKeptUntilNewData) {
    CSha1 sha1;
    sha1.update(bytes("abc"), 3);
    unsigned char first[20];
    unsigned char second[20];
    sha1.final(first, sizeof first);
    sha1.final(second, sizeof second);
    EXPECT_EQ(toHex(first, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(toHex(second, 20), toHex(first, 20));
    sha1.update(nullptr, 3);
    sha1.update(bytes("x"), 0);
    char text[41];
    sha1.hex(text, sizeof text);
    EXPECT_STREQ(text, "a9993e364706816aba3e25717850c26c9cd0d89d");
    sha1.update(bytes("abc"), 3);
    sha1.final(second, sizeof second);
    EXPECT_EQ(toHex(second, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
    sha1.update(bytes("ab"), 2);
    sha1.hex(text, sizeof text);
    EXPECT_EQ(std::string(text), sha1Hex("ab"));
}

TEST(Sha1, HexTerminatesOnlyWhenThereIsRoom) {
    CSha1 sha1;
    sha1.update(bytes("abc"), 3);
    char text[42];
    std::memset(text, '#', sizeof text);
    sha1.hex(text, 40);
    EXPECT_EQ(std::string(text, 40), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(text[40], '#');
    sha1.hex(text, 41);
    EXPECT_EQ(text[40], '\0');
    EXPECT_EQ(text[41], '#');
}

TEST(Sha1, ShortOrNullOutputIsLoggedAndWritesNothing) {
    LogCapture log;
    CSha1 sha1;
    sha1.update(bytes("ab"), 2);
    unsigned char hash[20];
    std::memset(hash, 0x5A, sizeof hash);
    sha1.final(hash, 19);
    for (unsigned char b : hash) {
        ASSERT_EQ(b, 0x5A);
    }
    char text[40];
    std::memset(text, '#', sizeof text);
    sha1.hex(text, 39);
    EXPECT_EQ(std::string(text, 40), std::string(40, '#'));
    sha1.final(nullptr, 20);
    sha1.hex(nullptr, 41);
    // None of the refusals finished the hash.
    sha1.update(bytes("c"), 1);
    sha1.final(hash, 20);
    EXPECT_EQ(toHex(hash, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");

    const std::string logged = log.text();
    EXPECT_NE(logged.find("len(19) is invalid!\n"), std::string::npos) << logged;
    EXPECT_NE(logged.find("len(39) is invalid!\n"), std::string::npos) << logged;
    EXPECT_NE(logged.find("hash is NULL!\n"), std::string::npos) << logged;
    EXPECT_NE(logged.find("str is NULL!\n"), std::string::npos) << logged;
}

TEST(Sha1, SwitchSelectsPortablePath) {
    Detail::setSha1Acceleration(false);
    EXPECT_FALSE(Detail::sha1Accelerated());
    Detail::setSha1Acceleration(true);
    testing::Test::RecordProperty("sha1_accelerated", Detail::sha1Accelerated() ? 1 : 0);
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    // The library's own processor query agrees with the compiler's.
    __builtin_cpu_init();
    EXPECT_EQ(Detail::sha1Accelerated(), __builtin_cpu_supports("sha") &&
                                             __builtin_cpu_supports("ssse3") &&
                                             __builtin_cpu_supports("sse4.1"));
#endif
}

TEST(Hashes, SeparateObjectsHashConcurrentlyWhilePathsSwitch) {
    std::mt19937 gen(59);
    const std::string data = randomString(gen, 10000);
    const std::string md5Expected = md5Hex(data);
    const std::string sha1Expected = sha1Hex(data);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                if (md5Hex(data) != md5Expected || sha1Hex(data) != sha1Expected) {
                    wrong.fetch_add(1);
                }
            }
        });
    }
    std::thread switcher([&] {
        for (bool on = false; !stop.load(); on = !on) {
            Detail::setSha1Acceleration(on);
            std::this_thread::yield();
        }
        Detail::setSha1Acceleration(true);
    });
    for (auto& w : workers) {
        w.join();
    }
    stop.store(true);
    switcher.join();
    EXPECT_EQ(wrong.load(), 0);
}
