// Base64 and CRC: published vectors, a decoder and CRC written here, OpenSSL and zlib where
// found, on the processor's path and on the portable one.

#include <climits>
#include <memory>

#include "UtilsTestHelpers.h"
#include "infra/Base64.h"
#include "infra/Crc.h"

#if defined(INFRA_HAVE_ZLIB)
#include <zlib.h>
#endif
#if defined(INFRA_HAVE_OPENSSL)
#include <openssl/evp.h>
#endif

using namespace Tovix::Utils;
using namespace UtilsTest;

namespace {

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int alphabetValue(char c) {
    const std::size_t at = c == 0 ? std::string::npos : kAlphabet.find(c);
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

std::string encode(const std::string& raw) {
    std::string out(static_cast<std::size_t>(base64EncodeLen(static_cast<int>(raw.size()))), 'x');
    EXPECT_EQ(base64Encode(&out[0], raw.data(), static_cast<int>(raw.size())),
              static_cast<int>(out.size()));
    return out.substr(0, out.find('\0'));
}

// Decodes from a block ending at the NUL (ASan sees reads past it) into base64DecodeLen bytes.
std::string decode(const std::string& text, std::size_t offset = 0) {
    std::unique_ptr<char[]> block(new char[offset + text.size() + 1]);
    char* in = block.get() + offset;
    std::memcpy(in, text.c_str(), text.size() + 1);
    const int need = base64DecodeLen(in);
    std::size_t m = 0;
    while (alphabetValue(in[m]) >= 0) {
        ++m;
    }
    EXPECT_EQ(need, static_cast<int>((m + 3) / 4 * 3 + 1)) << text;
    std::string out(static_cast<std::size_t>(need) + 8, '\x5A');
    const int n = base64Decode(&out[0], in);
    EXPECT_TRUE(n >= 0 && n < need && out[static_cast<std::size_t>(n)] == '\0' &&
                out.find_first_not_of('\x5A', static_cast<std::size_t>(n) + 1) == std::string::npos)
        << n << " " << need;
    return out.substr(0, static_cast<std::size_t>(n));
}

// The decoding rule, bit by bit: the leading alphabet characters give their whole bytes.
std::string modelDecode(const std::string& text) {
    std::string out;
    unsigned acc = 0;
    int bits = 0;
    for (std::size_t i = 0; i < text.size() && alphabetValue(text[i]) >= 0; ++i) {
        acc = (acc << 6) | static_cast<unsigned>(alphabetValue(text[i]));
        if ((bits += 6) >= 8) {
            out += static_cast<char>(acc >> (bits -= 8));
        }
    }
    return out;
}

// Bit by bit: CRC-16 (0xA001), and CRC-32 (0xEDB88320, inverted) unless zlib gives it.
std::uint32_t bitwiseCrc(std::uint32_t c, std::uint32_t poly, const unsigned char* p,
                         std::size_t n) {
    for (std::size_t i = 0; i < n * 8; ++i) {
        c = ((c ^ (p[i / 8] >> (i % 8))) & 1) ? (c >> 1) ^ poly : c >> 1;
    }
    return c;
}

std::uint32_t crc32Reference(std::uint32_t crc, const unsigned char* p, std::size_t n) {
#if defined(INFRA_HAVE_ZLIB)
    return static_cast<std::uint32_t>(::crc32(crc, p, static_cast<uInt>(n)));
#else
    return ~bitwiseCrc(~crc, 0xEDB88320u, p, n);
#endif
}

const unsigned char kCheck[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

using Base64Paths = PathTest<Detail::setBase64Acceleration>;
using Crc32Paths = PathTest<Detail::setCrc32Acceleration>;

}  // namespace

TEST(Base64, PublishedVectorsSizesAndOverflowRefusal) {
    const char* const foobar[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (std::size_t n = 0; n <= 6; ++n) {
        EXPECT_EQ(encode(std::string("foobar", n)), foobar[n]);
        EXPECT_EQ(decode(foobar[n]), std::string("foobar", n));
    }
    EXPECT_EQ(encode(std::string("\x00\xFF\xFE\x80", 4)), "AP/+gA==");
    // A last character alone carries no byte; any byte outside the alphabet ends the text.
    EXPECT_EQ(decode("Zm9vY"), "foo");
    EXPECT_EQ(base64DecodeLen("Zm9vY"), 7);
    EXPECT_EQ(decode("Zm 9v"), "f");
    EXPECT_EQ(base64EncodeLen(-1), 1);
    EXPECT_EQ(base64EncodeLen(1610612733), 2147483645);
    EXPECT_EQ(base64EncodeLen(1610612734), -1);
    EXPECT_EQ(base64EncodeLen(INT_MAX), -1);
    // Nothing to encode writes the NUL alone; a count too large is refused unread.
    for (const int n : {0, -7, INT_MAX}) {
        char out[4] = {'x', 'x', 'x', 'x'};
        EXPECT_EQ(base64Encode(out, "abc", n), n == INT_MAX ? -1 : 1);
        EXPECT_EQ(std::string(out, 2), std::string("\0x", 2));
    }
}

TEST_P(Base64Paths, RandomDataRoundTripsAndTextDecodesByTheRule) {
    std::mt19937 rng(11);
    for (int round = 0; round < 601; ++round) {
        const Bytes raw = randomBytes(rng, round < 100   ? round
                                           : round < 600 ? rng() % 5000
                                                         : 100000);
        const std::string text = encode(std::string(raw.begin(), raw.end()));
        ASSERT_EQ(text.size(), (raw.size() + 2) / 3 * 4);
        ASSERT_EQ(decode(text), std::string(raw.begin(), raw.end())) << raw.size();
#if defined(INFRA_HAVE_OPENSSL)
        std::string peer(text.size() + 1, '\0');
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&peer[0]), raw.data(),
                        static_cast<int>(raw.size()));
        ASSERT_EQ(text, peer.c_str());
#endif
        // Mostly alphabet characters, so that runs of every length occur, with any byte mixed in.
        std::string mixed(rng() % 300, 'A');
        for (char& c : mixed) {
            c = rng() % (round % 2 ? 8 : 400) ? kAlphabet[rng() % 64] : static_cast<char>(rng());
        }
        ASSERT_EQ(decode(mixed, rng() % 32), modelDecode(mixed.c_str())) << mixed;
    }
    // The vector path finds the end 32 bytes at a time: every byte at every position and alignment.
    for (int b = 0; b < 256; ++b) {
        for (std::size_t at = 0; at < 70; ++at) {
            std::string text(at + 1 + at % 40, kAlphabet[(b + at) % 64]);
            text[at] = static_cast<char>(b);
            ASSERT_EQ(decode(text, (b + at) % 32), modelDecode(text.c_str())) << b << " " << at;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Base64, Base64Paths, testing::Bool(), pathName);

// With CRC-16 (which has one path) alongside.
TEST_P(Crc32Paths, MatchesReferenceAtEveryLengthAlignmentAndSeed) {
    EXPECT_EQ(crc16(0, kCheck, sizeof kCheck), 0xBB3D);       // CRC-16/ARC
    EXPECT_EQ(crc16(0xFFFF, kCheck, sizeof kCheck), 0x4B37);  // CRC-16/MODBUS
    EXPECT_EQ(crc16(0x1234, nullptr, 0), 0x1234);
    EXPECT_EQ(crc32(kCheck, sizeof kCheck), 0xCBF43926u);
    EXPECT_EQ(crc32(0u, kCheck, sizeof kCheck), 0xCBF43926u);
    EXPECT_EQ(crc32(nullptr, 0), 0u);
    EXPECT_EQ(crc32(0xDEADBEEFu, nullptr, 0), 0xDEADBEEFu);
    std::mt19937 rng(19);
    const Bytes data = randomBytes(rng, 70000);
    const std::size_t large[] = {4095, 4096, 4097, 65535, 65536, 65537, 69990};
    for (std::size_t n = 0; n < 607; ++n) {
        // Every length up to 600, then lengths around the folding path's block sizes.
        const std::size_t length = n < 600 ? n : large[n - 600];
        for (std::size_t offset = 0; offset < 10; offset += 3) {
            const std::uint32_t seed = n % 2 ? static_cast<std::uint32_t>(rng()) : 0;
            ASSERT_EQ(crc16(static_cast<std::uint16_t>(seed), data.data() + offset,
                            static_cast<unsigned>(length)),
                      bitwiseCrc(seed & 0xFFFF, 0xA001, data.data() + offset, length));
            ASSERT_EQ(n % 2 ? crc32(seed, data.data() + offset, static_cast<unsigned>(length))
                            : crc32(data.data() + offset, static_cast<unsigned>(length)),
                      crc32Reference(seed, data.data() + offset, length))
                << length << " at " << offset;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Crc32, Crc32Paths, testing::Bool(), pathName);

TEST(Codecs, SwitchesSelectThePortablePaths) {
    Detail::setCrc32Acceleration(false);
    Detail::setBase64Acceleration(false);
    EXPECT_FALSE(Detail::crc32Accelerated() || Detail::base64Accelerated());
    Detail::setCrc32Acceleration(true);
    Detail::setBase64Acceleration(true);
}
