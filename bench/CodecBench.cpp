// Speed of Base64, CRC-16/CRC-32, MD5 and SHA-1, side by side with zlib's crc32 and OpenSSL's
// EVP_EncodeBlock/EVP_DecodeBlock, MD5 and SHA-1 when those are installed. Every case reports
// bytes per second of input.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "infra/Base64.h"
#include "infra/Crc.h"
#include "infra/Md5.h"
#include "infra/Sha1.h"

#if defined(INFRA_HAVE_ZLIB)
#include <zlib.h>
#endif
#if defined(INFRA_HAVE_OPENSSL)
#include <openssl/evp.h>
#endif

namespace {

std::vector<unsigned char> randomBytes(std::size_t n) {
    std::mt19937 gen(12345);
    std::vector<unsigned char> v(n);
    for (auto& b : v) {
        b = static_cast<unsigned char>(gen());
    }
    return v;
}

std::vector<char> base64Text(std::size_t rawBytes) {
    const std::vector<unsigned char> raw = randomBytes(rawBytes);
    std::vector<char> text(
        static_cast<std::size_t>(Tovix::Utils::base64EncodeLen(static_cast<int>(rawBytes))));
    Tovix::Utils::base64Encode(text.data(), reinterpret_cast<const char*>(raw.data()),
                               static_cast<int>(rawBytes));
    return text;
}

void setBytes(benchmark::State& state, std::size_t perIteration) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(perIteration));
}

// Sizes: a short message and 64 KiB.
void sizes(benchmark::internal::Benchmark* b) {
    b->Arg(1024)->Arg(64 * 1024);
}

// ---- CRC ------------------------------------------------------------------------------------

void BM_Crc32_Infra(benchmark::State& state) {
    const auto data = randomBytes(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            Tovix::Utils::crc32(data.data(), static_cast<unsigned int>(data.size())));
    }
    setBytes(state, data.size());
}
BENCHMARK(BM_Crc32_Infra)->Apply(sizes);

void BM_Crc32_InfraPortable(benchmark::State& state) {
    const auto data = randomBytes(static_cast<std::size_t>(state.range(0)));
    Tovix::Utils::Detail::setCrc32Acceleration(false);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            Tovix::Utils::crc32(data.data(), static_cast<unsigned int>(data.size())));
    }
    Tovix::Utils::Detail::setCrc32Acceleration(true);
    setBytes(state, data.size());
}
BENCHMARK(BM_Crc32_InfraPortable)->Apply(sizes);

#if defined(INFRA_HAVE_ZLIB)
void BM_Crc32_Zlib(benchmark::State& state) {
    const auto data = randomBytes(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(::crc32(0, data.data(), static_cast<unsigned int>(data.size())));
    }
    setBytes(state, data.size());
}
BENCHMARK(BM_Crc32_Zlib)->Apply(sizes);
#endif

void BM_Crc16_Infra(benchmark::State& state) {
    const auto data = randomBytes(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            Tovix::Utils::crc16(0, data.data(), static_cast<unsigned int>(data.size())));
    }
    setBytes(state, data.size());
}
BENCHMARK(BM_Crc16_Infra)->Apply(sizes);

// ---- MD5 and SHA-1 --------------------------------------------------------------------------

void BM_Md5_Infra(benchmark::State& state) {
    const auto data = randomBytes(static_cast<std::size_t>(state.range(0)));
    Tovix::Utils::CMd5 md5;
    unsigned char digest[16];
    for (auto _ : state) {
        md5.init();
        md5.update(data.data(), static_cast<unsigned int>(data.size()));
        md5.final(digest);
        benchmark::DoNotOptimize(digest);
    }
    setBytes(state, data.size());
}
BENCHMARK(BM_Md5_Infra)->Apply(sizes);

void BM_Sha1_Infra(benchmark::State& state) {
    const auto data = randomBytes(static_cast<std::size_t>(state.range(0)));
    Tovix::Utils::CSha1 sha1;
    unsigned char digest[20];
    for (auto _ : state) {
        // An update after final starts a new hash.
        sha1.update(data.data(), static_cast<unsigned int>(data.size()));
        sha1.final(digest, sizeof digest);
        benchmark::DoNotOptimize(digest);
    }
    setBytes(state, data.size());
}
BENCHMARK(BM_Sha1_Infra)->Apply(sizes);

void BM_Sha1_InfraPortable(benchmark::State& state) {
    const auto data = randomBytes(static_cast<std::size_t>(state.range(0)));
    Tovix::Utils::Detail::setSha1Acceleration(false);
    Tovix::Utils::CSha1 sha1;
    unsigned char digest[20];
    for (auto _ : state) {
        sha1.update(data.data(), static_cast<unsigned int>(data.size()));
        sha1.final(digest, sizeof digest);
        benchmark::DoNotOptimize(digest);
    }
    Tovix::Utils::Detail::setSha1Acceleration(true);
    setBytes(state, data.size());
}
BENCHMARK(BM_Sha1_InfraPortable)->Apply(sizes);

#if defined(INFRA_HAVE_OPENSSL)
void opensslDigest(benchmark::State& state, const EVP_MD* md) {
    const auto data = randomBytes(static_cast<std::size_t>(state.range(0)));
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLen = 0;
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, data.data(), data.size());
        EVP_DigestFinal_ex(ctx, digest, &digestLen);
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_CTX_free(ctx);
    setBytes(state, data.size());
}

void BM_Md5_OpenSSL(benchmark::State& state) {
    opensslDigest(state, EVP_md5());
}
BENCHMARK(BM_Md5_OpenSSL)->Apply(sizes);

void BM_Sha1_OpenSSL(benchmark::State& state) {
    opensslDigest(state, EVP_sha1());
}
BENCHMARK(BM_Sha1_OpenSSL)->Apply(sizes);
#endif

// ---- Base64 ---------------------------------------------------------------------------------

void BM_Base64Encode_Infra(benchmark::State& state) {
    const auto data = randomBytes(static_cast<std::size_t>(state.range(0)));
    std::vector<char> text(
        static_cast<std::size_t>(Tovix::Utils::base64EncodeLen(static_cast<int>(data.size()))));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            Tovix::Utils::base64Encode(text.data(), reinterpret_cast<const char*>(data.data()),
                                       static_cast<int>(data.size())));
        benchmark::ClobberMemory();
    }
    setBytes(state, data.size());
}
BENCHMARK(BM_Base64Encode_Infra)->Apply(sizes);

void BM_Base64Decode_Infra(benchmark::State& state) {
    const std::vector<char> text = base64Text(static_cast<std::size_t>(state.range(0)));
    std::vector<char> out(static_cast<std::size_t>(Tovix::Utils::base64DecodeLen(text.data())));
    for (auto _ : state) {
        benchmark::DoNotOptimize(Tovix::Utils::base64Decode(out.data(), text.data()));
        benchmark::ClobberMemory();
    }
    setBytes(state, text.size() - 1);
}
BENCHMARK(BM_Base64Decode_Infra)->Apply(sizes);

#if defined(INFRA_HAVE_OPENSSL)
void BM_Base64Encode_OpenSSL(benchmark::State& state) {
    const auto data = randomBytes(static_cast<std::size_t>(state.range(0)));
    std::vector<unsigned char> text((data.size() + 2) / 3 * 4 + 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            EVP_EncodeBlock(text.data(), data.data(), static_cast<int>(data.size())));
        benchmark::ClobberMemory();
    }
    setBytes(state, data.size());
}
BENCHMARK(BM_Base64Encode_OpenSSL)->Apply(sizes);

void BM_Base64Decode_OpenSSL(benchmark::State& state) {
    const std::vector<char> text = base64Text(static_cast<std::size_t>(state.range(0)));
    std::vector<unsigned char> out(text.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size() - 1)));
        benchmark::ClobberMemory();
    }
    setBytes(state, text.size() - 1);
}
BENCHMARK(BM_Base64Decode_OpenSSL)->Apply(sizes);
#endif

}  // namespace
