// CMd5 and CSha1 (on each processor path): published vectors, every padding case and split
// against OpenSSL where found, the finished state, the logged refusals of bad outputs.

#include <type_traits>

#include "UtilsTestHelpers.h"
#include "infra/Md5.h"
#include "infra/Sha1.h"

#if defined(INFRA_HAVE_OPENSSL)
#include <openssl/evp.h>
#endif

using namespace Tovix::Utils;
using namespace UtilsTest;

namespace {

const unsigned char* u8(const char* s) {
    return reinterpret_cast<const unsigned char*>(s);
}

// The hex digest of `s` fed whole, or in pieces of 1 to `piece` bytes.
template <class Hash>
std::string hexOf(const std::string& s, std::mt19937* rng = nullptr, unsigned piece = 0) {
    Hash hash;
    for (std::size_t at = 0, n = 0; at < s.size(); at += n) {
        n = rng == nullptr ? s.size() : std::min<std::size_t>(1 + (*rng)() % piece, s.size() - at);
        hash.update(u8(s.data()) + at, static_cast<unsigned>(n));
    }
    char hex[41] = {};
    unsigned char digest[20];
    if constexpr (std::is_same<Hash, CMd5>::value) {
        hash.hex(hex);
        hash.final(digest);
        EXPECT_EQ(toHex(digest, 16), hex);
    } else {
        hash.hex(hex, sizeof hex);
        hash.final(digest, sizeof digest);
        EXPECT_EQ(toHex(digest, 20), hex);
    }
    return hex;
}

// Every length over several blocks and one megabyte, whole and in pieces, against the oracle.
template <class Hash>
void sweep(const char* oracle) {
    std::mt19937 rng(37);
    for (std::size_t n = 0; n <= 300; ++n) {
        const Bytes b = randomBytes(rng, n < 300 ? n : 1 << 20);
        const std::string s(b.begin(), b.end());
        const std::string whole = hexOf<Hash>(s);
        ASSERT_EQ(hexOf<Hash>(s, &rng, n < 300 ? 1 + n % 130 : 5000), whole) << n;
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
    EXPECT_EQ(hexOf<CMd5>(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(hexOf<CMd5>("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(hexOf<CMd5>("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
}

TEST(Md5, MatchesOpenSslAtEveryLengthAndSplit) {
    sweep<CMd5>("MD5");
}

// A digest is kept until new data (or init) starts a new hash; hex text unterminated; nulls logged.
TEST(Md5, FinishedStateInitAndNullOutputs) {
    TestSupport::LogCapture log;
    CMd5 md5;
    unsigned char digest[16];
    char text[33];
    md5.update(u8("ab"), 2);
    md5.final(nullptr);
    md5.hex(nullptr);
    md5.update(u8("c"), 1);
    md5.final(digest);
    md5.update(nullptr, 5);
    md5.update(u8("x"), 0);
    std::memset(text, '#', sizeof text);
    md5.hex(text);
    EXPECT_EQ(std::string(text, 33), "900150983cd24fb0d6963f7d28e17f72#");
    md5.update(u8("message digest"), 14);
    md5.final(digest);
    EXPECT_EQ(toHex(digest, 16), "f96b697d7cb7938d525a2f31aaf161d0");
    md5.update(u8("something"), 9);
    md5.init();
    md5.update(u8("a"), 1);
    md5.final(digest);
    EXPECT_EQ(toHex(digest, 16), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_TRUE(log.contains("digest is NULL\n") && log.contains("hash is NULL\n")) << log.text();
}

TEST_P(Sha1Paths, Fips180Vectors) {
    EXPECT_EQ(hexOf<CSha1>(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(hexOf<CSha1>("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hexOf<CSha1>("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
}

TEST_P(Sha1Paths, MatchesOpenSslAtEveryLengthAndSplit) {
    sweep<CSha1>("SHA1");
}

INSTANTIATE_TEST_SUITE_P(Sha1, Sha1Paths, testing::Bool(), pathName);

// Short outputs are refused and finish nothing; hex text is terminated only when there is room.
TEST(Sha1, ShortOrNullOutputsAndTheFinishedState) {
    TestSupport::LogCapture log;
    CSha1 sha1;
    unsigned char hash[20] = {};
    char text[42];
    std::memset(text, '#', sizeof text);
    sha1.update(u8("ab"), 2);
    sha1.final(hash, 19);
    sha1.hex(text, 39);
    sha1.final(nullptr, 20);
    sha1.hex(nullptr, 41);
    EXPECT_EQ(toHex(hash, 20) + std::string(text, 42), std::string(40, '0') + std::string(42, '#'));
    sha1.update(u8("c"), 1);
    sha1.hex(text, 40);
    EXPECT_EQ(std::string(text, 41), "a9993e364706816aba3e25717850c26c9cd0d89d#");
    sha1.update(u8("abc"), 3);
    sha1.hex(text, 41);
    EXPECT_EQ(std::string(text, 42),
              std::string("a9993e364706816aba3e25717850c26c9cd0d89d\0#", 42));
    Detail::setSha1Acceleration(false);
    EXPECT_FALSE(Detail::sha1Accelerated());
    Detail::setSha1Acceleration(true);
    EXPECT_TRUE(log.contains("len(19) is invalid!\n") && log.contains("len(39) is invalid!\n") &&
                log.contains("hash is NULL!\n") && log.contains("str is NULL!\n"))
        << log.text();
}
