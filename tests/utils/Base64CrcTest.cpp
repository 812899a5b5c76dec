// Base64 and CRC: published vectors, bounds of the size functions, decoding of arbitrary bytes
// without touching memory past the terminator or the documented output size, and CRC results
// against bit-by-bit references and zlib, split at every kind of boundary.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "infra/Base64.h"
#include "infra/Crc.h"

#if defined(INFRA_HAVE_ZLIB)
#include <zlib.h>
#endif
#if defined(INFRA_HAVE_OPENSSL)
#include <openssl/evp.h>
#endif

using namespace Tovix::Utils;

namespace {

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool inAlphabet(unsigned char c) {
    return kAlphabet.find(static_cast<char>(c)) != std::string::npos && c != 0;
}

std::vector<unsigned char> randomBytes(std::mt19937& gen, std::size_t n) {
    std::vector<unsigned char> v(n);
    for (auto& b : v) {
        b = static_cast<unsigned char>(gen());
    }
    return v;
}

std::string encode(const std::string& raw) {
    std::vector<char> out(static_cast<std::size_t>(base64EncodeLen(static_cast<int>(raw.size()))));
    const int written = base64Encode(out.data(), raw.data(), static_cast<int>(raw.size()));
    EXPECT_EQ(written, static_cast<int>(out.size()));
    EXPECT_EQ(out.back(), '\0');
    return std::string(out.data());
}

// Decodes from an allocation that ends right after the terminator, so a read past it is an
// AddressSanitizer report, into an output exactly base64DecodeLen bytes long.
std::string decode(const std::string& textWithTerminator) {
    std::unique_ptr<char[]> text(new char[textWithTerminator.size()]);
    std::memcpy(text.get(), textWithTerminator.data(), textWithTerminator.size());
    const int need = base64DecodeLen(text.get());
    EXPECT_GE(need, 1);
    std::unique_ptr<char[]> out(new char[static_cast<std::size_t>(need)]);
    const int n = base64Decode(out.get(), text.get());
    EXPECT_GE(n, 0);
    EXPECT_LT(n, need);
    EXPECT_EQ(out[static_cast<std::size_t>(n)], '\0');
    return std::string(out.get(), static_cast<std::size_t>(n));
}

std::string decodeText(const std::string& text) {
    return decode(text + '\0');
}

// Bit-at-a-time references, independent of the library's tables.
std::uint32_t crc32Reference(const unsigned char* p, std::size_t n) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        }
    }
    return ~c;
}

std::uint16_t crc16Reference(std::uint16_t c, const unsigned char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) {
            c = static_cast<std::uint16_t>((c & 1) ? (c >> 1) ^ 0xA001u : c >> 1);
        }
    }
    return c;
}

const unsigned char kCheck[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

// Runs a test body once with the processor's choice of Base64 decoding path and once with the
// portable one.
class Base64Paths : public testing::TestWithParam<bool> {
protected:
    void SetUp() override { Detail::setBase64Acceleration(GetParam()); }
    void TearDown() override { Detail::setBase64Acceleration(true); }
};

// Runs a test body once with the processor's choice of CRC-32 path and once with the portable
// one (the same path twice where there is no acceleration).
class Crc32Paths : public testing::TestWithParam<bool> {
protected:
    void SetUp() override { Detail::setCrc32Acceleration(GetParam()); }
    void TearDown() override { Detail::setCrc32Acceleration(true); }
};

}  // namespace

// ---- Base64 ---------------------------------------------------------------------------------

TEST(Base64, EncodesPublishedVectors) {
    EXPECT_EQ(encode(""), "");
    EXPECT_EQ(encode("f"), "Zg==");
    EXPECT_EQ(encode("fo"), "Zm8=");
    EXPECT_EQ(encode("foo"), "Zm9v");
    EXPECT_EQ(encode("foob"), "Zm9vYg==");
    EXPECT_EQ(encode("fooba"), "Zm9vYmE=");
    EXPECT_EQ(encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(encode(std::string("\x00\xFF\xFE\x80", 4)), "AP/+gA==");
}

TEST(Base64, EncodeReturnsTextLengthPlusNul) {
    char out[16];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(base64Encode(out, "", 0), 1);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], 'x');
    EXPECT_EQ(base64Encode(out, "a", 1), 5);
    EXPECT_EQ(base64Encode(out, "ab", 2), 5);
    EXPECT_EQ(base64Encode(out, "abc", 3), 5);
    EXPECT_EQ(base64Encode(out, "abcd", 4), 9);
    EXPECT_STREQ(out, "YWJjZA==");
}

TEST(Base64, EncodeLenFollowsFormulaAndRefusesOverflow) {
    EXPECT_EQ(base64EncodeLen(0), 1);
    for (int n = 1; n < 100; ++n) {
        EXPECT_EQ(base64EncodeLen(n), (n + 2) / 3 * 4 + 1) << n;
    }
    EXPECT_EQ(base64EncodeLen(-1), 1);
    EXPECT_EQ(base64EncodeLen(INT_MIN), 1);
    EXPECT_EQ(base64EncodeLen(1610612733), 2147483645);
    EXPECT_EQ(base64EncodeLen(1610612734), -1);
    EXPECT_EQ(base64EncodeLen(INT_MAX), -1);
}

TEST(Base64, EncodeOfNegativeOrOversizedCountWritesOnlyNul) {
    char out[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(base64Encode(out, "abc", -7), 1);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], 'x');
    out[0] = 'x';
    // The source is never read for a count the result cannot express.
    EXPECT_EQ(base64Encode(out, "abc", INT_MAX), -1);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], 'x');
}

TEST(Base64, DecodesPublishedVectors) {
    EXPECT_EQ(decodeText(""), "");
    EXPECT_EQ(decodeText("Zg=="), "f");
    EXPECT_EQ(decodeText("Zm8="), "fo");
    EXPECT_EQ(decodeText("Zm9v"), "foo");
    EXPECT_EQ(decodeText("Zm9vYg=="), "foob");
    EXPECT_EQ(decodeText("Zm9vYmE="), "fooba");
    EXPECT_EQ(decodeText("Zm9vYmFy"), "foobar");
    EXPECT_EQ(decodeText("AP/+gA=="), std::string("\x00\xFF\xFE\x80", 4));
}

TEST(Base64, DecodeCountsAndLastGroup) {
    char out[16];
    EXPECT_EQ(base64Decode(out, "Zg=="), 1);
    EXPECT_EQ(base64Decode(out, "Zm9v"), 3);
    // A fifth character alone carries no byte.
    EXPECT_EQ(base64Decode(out, "Zm9vY"), 3);
    EXPECT_EQ(std::string(out), "foo");
    EXPECT_EQ(base64Decode(out, "Z"), 0);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(base64Decode(out, "Zm"), 1);
    EXPECT_EQ(base64Decode(out, "Zm9"), 2);
    // Bits below the last whole byte are dropped, not checked.
    EXPECT_EQ(base64Decode(out, "Zh=="), 1);
    EXPECT_EQ(out[0], 'f');
}

TEST(Base64, DecodeLenFollowsLeadingAlphabetRun) {
    EXPECT_EQ(base64DecodeLen(""), 1);
    EXPECT_EQ(base64DecodeLen("Z"), 4);
    EXPECT_EQ(base64DecodeLen("Zm9v"), 4);
    EXPECT_EQ(base64DecodeLen("Zm9vY"), 7);
    EXPECT_EQ(base64DecodeLen("Zg=="), 4);
    EXPECT_EQ(base64DecodeLen("Zm 9v"), 4);
    for (std::size_t m = 0; m < 70; ++m) {
        const std::string text(m, 'A');
        EXPECT_EQ(base64DecodeLen(text.c_str()), static_cast<int>((m + 3) / 4 * 3 + 1)) << m;
    }
}

TEST(Base64, DecodeStopsAtWhiteSpace) {
    char out[8];
    EXPECT_EQ(base64Decode(out, "Zm 9v"), 1);
    EXPECT_EQ(out[0], 'f');
    EXPECT_EQ(base64Decode(out, "Zm9v\nYmFy"), 3);
    EXPECT_EQ(base64Decode(out, "\tZm9v"), 0);
}

TEST(Base64, EveryByteOutsideTheAlphabetEndsTheText) {
    int terminators = 0;
    for (int b = 0; b < 256; ++b) {
        const unsigned char c = static_cast<unsigned char>(b);
        std::string text = "QUJD";
        text += static_cast<char>(c);
        text += "REVG";
        text += '\0';
        if (inAlphabet(c)) {
            EXPECT_EQ(decode(text).size(), 6u) << b;
        } else {
            ++terminators;
            // The allocation ends right after the terminator: nothing beyond it is read.
            EXPECT_EQ(decode(text.substr(0, 5)), "ABC") << b;
            EXPECT_EQ(decode(text), "ABC") << b;
        }
    }
    EXPECT_EQ(terminators, 256 - 64);
}

// The end is found 32 bytes at a time on the vector path: every byte value ends the text at
// every position of a block, whatever the text's alignment.
TEST_P(Base64Paths, EndIsFoundAtEveryPositionAndAlignment) {
    alignas(64) char buffer[128];
    for (int b = 0; b < 256; ++b) {
        const unsigned char c = static_cast<unsigned char>(b);
        for (std::size_t start = 0; start < 32; start += 3) {
            for (std::size_t m = 0; m < 70; ++m) {
                std::memset(buffer, 'A', sizeof buffer);
                buffer[start + m] = static_cast<char>(c);
                buffer[sizeof buffer - 1] = '\0';
                const std::size_t run = inAlphabet(c) ? sizeof buffer - 1 - start : m;
                ASSERT_EQ(base64DecodeLen(buffer + start), static_cast<int>((run + 3) / 4 * 3 + 1))
                    << b << " " << start << " " << m;
            }
        }
    }
}

TEST_P(Base64Paths, ArbitraryBytesDecodeWithinDocumentedBounds) {
    std::mt19937 gen(7);
    for (int round = 0; round < 2000; ++round) {
        const std::size_t n = gen() % 300;
        // Mostly alphabet characters, so that runs of every length occur, with arbitrary bytes
        // mixed in.
        const unsigned oneIn = round % 2 ? 8 : 400;
        std::vector<unsigned char> bytes(n + 1);
        for (auto& b : bytes) {
            b = (gen() % oneIn == 0) ? static_cast<unsigned char>(gen())
                                     : static_cast<unsigned char>(kAlphabet[gen() % 64]);
        }
        bytes[n] = static_cast<unsigned char>(gen() % 2 ? '\0' : '=');
        std::size_t m = 0;
        while (inAlphabet(bytes[m])) {
            ++m;
        }
        // Keep only what the decoder may read: the run and its terminator.
        const std::string text(reinterpret_cast<const char*>(bytes.data()), m + 1);
        const int need = base64DecodeLen(text.c_str());
        ASSERT_EQ(need, static_cast<int>((m + 3) / 4 * 3 + 1));
        std::vector<char> out(static_cast<std::size_t>(need) + 8, '\x5A');
        const int got = base64Decode(out.data(), text.c_str());
        const int r = static_cast<int>(m % 4);
        const int expected = static_cast<int>(m / 4 * 3) + (r == 2 ? 1 : r == 3 ? 2 : 0);
        ASSERT_EQ(got, expected) << m;
        EXPECT_EQ(out[static_cast<std::size_t>(got)], '\0');
        for (std::size_t i = static_cast<std::size_t>(got) + 1; i < out.size(); ++i) {
            ASSERT_EQ(out[i], '\x5A') << "write past the decoded bytes at " << i;
        }
        EXPECT_EQ(decode(text), std::string(out.data(), static_cast<std::size_t>(got)));
    }
}

TEST_P(Base64Paths, RandomRoundTrips) {
    std::mt19937 gen(11);
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n < 80; ++n) {
        lengths.push_back(n);
    }
    for (int i = 0; i < 50; ++i) {
        lengths.push_back(gen() % 100000);
    }
    for (const std::size_t n : lengths) {
        const std::vector<unsigned char> raw = randomBytes(gen, n);
        const std::string rawText(raw.begin(), raw.end());
        const std::string text = encode(rawText);
        ASSERT_EQ(text.size(), (n + 2) / 3 * 4);
        ASSERT_EQ(decodeText(text), rawText) << n;
    }
}

#if defined(INFRA_HAVE_OPENSSL)
TEST_P(Base64Paths, MatchesOpenSsl) {
    std::mt19937 gen(13);
    for (int round = 0; round < 300; ++round) {
        const std::size_t n = round < 100 ? static_cast<std::size_t>(round) : gen() % 5000;
        const std::vector<unsigned char> raw = randomBytes(gen, n);
        std::vector<unsigned char> peer((n + 2) / 3 * 4 + 1);
        const int peerLen = EVP_EncodeBlock(peer.data(), raw.data(), static_cast<int>(n));
        const std::string ours = encode(std::string(raw.begin(), raw.end()));
        ASSERT_EQ(ours, std::string(reinterpret_cast<char*>(peer.data()),
                                    static_cast<std::size_t>(peerLen)));
        // The peer decodes whole groups of four, padding included, into zero bytes.
        std::vector<unsigned char> peerRaw(peer.size());
        const int peerRawLen = EVP_DecodeBlock(peerRaw.data(), peer.data(), peerLen);
        const std::string decoded = decodeText(ours);
        ASSERT_GE(peerRawLen, static_cast<int>(decoded.size()));
        ASSERT_EQ(decoded, std::string(reinterpret_cast<char*>(peerRaw.data()), decoded.size()));
    }
}
#endif

TEST(Base64, DecodePathsAgree) {
    std::mt19937 gen(53);
    for (std::size_t m = 0; m < 400; ++m) {
        std::string text(m, 'A');
        for (auto& c : text) {
            c = kAlphabet[gen() % 64];
        }
        Detail::setBase64Acceleration(true);
        const std::string accelerated = decodeText(text);
        Detail::setBase64Acceleration(false);
        const std::string portable = decodeText(text);
        Detail::setBase64Acceleration(true);
        ASSERT_EQ(accelerated, portable) << m;
    }
    // Every character value in every position of a vector block.
    for (int shift = 0; shift < 64; ++shift) {
        std::string text(64, 'A');
        for (std::size_t i = 0; i < text.size(); ++i) {
            text[i] = kAlphabet[(i + static_cast<std::size_t>(shift)) % 64];
        }
        Detail::setBase64Acceleration(true);
        const std::string accelerated = decodeText(text);
        Detail::setBase64Acceleration(false);
        ASSERT_EQ(accelerated, decodeText(text)) << shift;
        Detail::setBase64Acceleration(true);
        ASSERT_EQ(encode(accelerated), text);
    }
    testing::Test::RecordProperty("base64_accelerated", Detail::base64Accelerated() ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Base64, Base64Paths, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "ProcessorChoice" : "Portable";
                         });

// ---- CRC ------------------------------------------------------------------------------------

TEST(Crc16, PublishedCheckValues) {
    EXPECT_EQ(crc16(0, kCheck, sizeof kCheck), 0xBB3D);       // CRC-16/ARC
    EXPECT_EQ(crc16(0xFFFF, kCheck, sizeof kCheck), 0x4B37);  // CRC-16/MODBUS
}

TEST(Crc16, ZeroBytesReturnSeed) {
    EXPECT_EQ(crc16(0x1234, kCheck, 0), 0x1234);
    EXPECT_EQ(crc16(0xFFFF, nullptr, 0), 0xFFFF);
}

TEST(Crc16, MatchesBitwiseReferenceAndAnySplit) {
    std::mt19937 gen(17);
    const std::vector<unsigned char> data = randomBytes(gen, 5000);
    for (std::size_t n = 0; n < 300; ++n) {
        const std::uint16_t seed = static_cast<std::uint16_t>(gen());
        const std::size_t offset = n % 13;
        ASSERT_EQ(crc16(seed, data.data() + offset, static_cast<unsigned>(n)),
                  crc16Reference(seed, data.data() + offset, n))
            << n;
    }
    const std::uint16_t whole = crc16(0xFFFF, data.data(), static_cast<unsigned>(data.size()));
    EXPECT_EQ(whole, crc16Reference(0xFFFF, data.data(), data.size()));
    for (int round = 0; round < 200; ++round) {
        std::uint16_t c = 0xFFFF;
        std::size_t at = 0;
        while (at < data.size()) {
            const std::size_t piece = std::min<std::size_t>(gen() % 90, data.size() - at);
            c = crc16(c, data.data() + at, static_cast<unsigned>(piece));
            at += piece;
        }
        ASSERT_EQ(c, whole);
    }
}

TEST_P(Crc32Paths, PublishedCheckValue) {
    EXPECT_EQ(crc32(kCheck, sizeof kCheck), 0xCBF43926u);
    EXPECT_EQ(crc32(0u, kCheck, sizeof kCheck), 0xCBF43926u);
    // One megabyte of 'a' crosses every path of the folding loop.
    const std::vector<unsigned char> million(1000000, 'a');
    EXPECT_EQ(crc32(million.data(), static_cast<unsigned>(million.size())),
              crc32Reference(million.data(), million.size()));
}

TEST_P(Crc32Paths, ZeroBytes) {
    EXPECT_EQ(crc32(kCheck, 0), 0u);
    EXPECT_EQ(crc32(nullptr, 0), 0u);
    EXPECT_EQ(crc32(0xDEADBEEFu, kCheck, 0), 0xDEADBEEFu);
    EXPECT_EQ(crc32(0xDEADBEEFu, nullptr, 0), 0xDEADBEEFu);
}

TEST_P(Crc32Paths, MatchesBitwiseReferenceAtEveryLengthAndAlignment) {
    std::mt19937 gen(19);
    const std::vector<unsigned char> data = randomBytes(gen, 70000);
    for (std::size_t n = 0; n < 600; ++n) {
        for (std::size_t offset = 0; offset < 16; offset += 5) {
            ASSERT_EQ(crc32(data.data() + offset, static_cast<unsigned>(n)),
                      crc32Reference(data.data() + offset, n))
                << n << " at " << offset;
        }
    }
    for (const std::size_t n : {4095u, 4096u, 4097u, 65535u, 65536u, 65537u, 69999u}) {
        ASSERT_EQ(crc32(data.data() + 1, static_cast<unsigned>(n - 1)),
                  crc32Reference(data.data() + 1, n - 1))
            << n;
    }
}

TEST_P(Crc32Paths, AnySplitGivesOneShotResult) {
    std::mt19937 gen(23);
    const std::vector<unsigned char> data = randomBytes(gen, 20000);
    const unsigned whole = crc32(data.data(), static_cast<unsigned>(data.size()));
    for (int round = 0; round < 300; ++round) {
        unsigned c = 0;
        std::size_t at = 0;
        // Pieces around the block sizes of the folding path as well as tiny ones.
        const std::size_t scale = (round % 3 == 0) ? 8 : (round % 3 == 1) ? 300 : 3000;
        while (at < data.size()) {
            const std::size_t piece = std::min<std::size_t>(gen() % scale, data.size() - at);
            c = crc32(c, data.data() + at, static_cast<unsigned>(piece));
            at += piece;
        }
        ASSERT_EQ(c, whole);
    }
}

#if defined(INFRA_HAVE_ZLIB)
TEST_P(Crc32Paths, MatchesZlib) {
    std::mt19937 gen(29);
    for (int round = 0; round < 500; ++round) {
        const std::size_t n = gen() % (round < 400 ? 2000 : 200000);
        const std::vector<unsigned char> data = randomBytes(gen, n);
        const unsigned seed = static_cast<unsigned>(gen());
        ASSERT_EQ(crc32(seed, data.data(), static_cast<unsigned>(n)),
                  static_cast<unsigned>(::crc32(seed, data.data(), static_cast<uInt>(n))))
            << n;
    }
}
#endif

INSTANTIATE_TEST_SUITE_P(Crc32, Crc32Paths, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "ProcessorChoice" : "Portable";
                         });

TEST(Crc32, SwitchSelectsPortablePath) {
    Detail::setCrc32Acceleration(false);
    EXPECT_FALSE(Detail::crc32Accelerated());
    Detail::setCrc32Acceleration(true);
    testing::Test::RecordProperty("crc32_accelerated", Detail::crc32Accelerated() ? 1 : 0);
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    // The library's own processor query agrees with the compiler's.
    __builtin_cpu_init();
    EXPECT_EQ(Detail::crc32Accelerated(),
              __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1"));
    EXPECT_EQ(Detail::base64Accelerated(), __builtin_cpu_supports("avx2") != 0);
#endif
}

TEST(Codecs, ConcurrentCallsAgreeWhilePathsSwitch) {
    std::mt19937 gen(61);
    const std::vector<unsigned char> data = randomBytes(gen, 30000);
    const unsigned crcExpected = crc32Reference(data.data(), data.size());
    const std::string raw(data.begin(), data.end());
    const std::string text = encode(raw);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([&] {
            std::vector<char> out(raw.size() + 1);
            for (int i = 0; i < 200; ++i) {
                if (crc32(data.data(), static_cast<unsigned>(data.size())) != crcExpected) {
                    wrong.fetch_add(1);
                }
                const int n = base64Decode(out.data(), text.c_str());
                if (std::string(out.data(), static_cast<std::size_t>(n)) != raw) {
                    wrong.fetch_add(1);
                }
            }
        });
    }
    std::thread switcher([&] {
        for (bool on = false; !stop.load(); on = !on) {
            Detail::setCrc32Acceleration(on);
            Detail::setBase64Acceleration(on);
            std::this_thread::yield();
        }
        Detail::setCrc32Acceleration(true);
        Detail::setBase64Acceleration(true);
    });
    for (auto& w : workers) {
        w.join();
    }
    stop.store(true);
    switcher.join();
    EXPECT_EQ(wrong.load(), 0);
}
