// Triple DES throughput, with OpenSSL's DES-EDE3-CBC on the same buffers when it is installed.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "infra/TripleDes.h"

#if defined(INFRA_HAVE_OPENSSL)
#include <openssl/evp.h>
#endif

using Tovix::Utils::CTripleDes;

namespace {

const unsigned char kKey[24] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0x01,
                                0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0x01, 0x23};
const unsigned char kIv[16] = {0x12, 0x34, 0x56, 0x78, 0x90, 0xab, 0xcd, 0xef,
                               0xfe, 0xdc, 0xba, 0x09, 0x87, 0x65, 0x43, 0x21};

std::vector<unsigned char> input(std::size_t size) {
    std::vector<unsigned char> data(size);
    std::uint32_t x = 0x9e3779b9u;
    for (unsigned char& c : data) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<unsigned char>(x >> 24);
    }
    return data;
}

void runInfra(benchmark::State& state, unsigned int keyLen, bool cbc, bool encrypting) {
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    const std::vector<unsigned char> src = input(size);
    std::vector<unsigned char> dst(size);
    CTripleDes des(kKey, keyLen, CTripleDes::blockType8, cbc ? kIv : nullptr);
    for (auto _ : state) {
        if (encrypting) {
            des.encrypt(dst.data(), src.data(), static_cast<unsigned int>(size));
        } else {
            des.decrypt(dst.data(), src.data(), static_cast<unsigned int>(size));
        }
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void BM_Infra_Des3CbcEncrypt(benchmark::State& state) {
    runInfra(state, 24, true, true);
}
void BM_Infra_Des3CbcDecrypt(benchmark::State& state) {
    runInfra(state, 24, true, false);
}
void BM_Infra_Des3EcbEncrypt(benchmark::State& state) {
    runInfra(state, 24, false, true);
}
void BM_Infra_DesCbcEncrypt(benchmark::State& state) {
    runInfra(state, 8, true, true);
}

// Construction builds the three key schedules.
void BM_Infra_Des3Construct(benchmark::State& state) {
    for (auto _ : state) {
        CTripleDes des(kKey, 24, CTripleDes::blockType8, kIv);
        benchmark::DoNotOptimize(&des);
    }
}

BENCHMARK(BM_Infra_Des3CbcEncrypt)->Arg(64)->Arg(8192)->Arg(65536);
BENCHMARK(BM_Infra_Des3CbcDecrypt)->Arg(8192)->Arg(65536);
BENCHMARK(BM_Infra_Des3EcbEncrypt)->Arg(65536);
BENCHMARK(BM_Infra_DesCbcEncrypt)->Arg(65536);
BENCHMARK(BM_Infra_Des3Construct);

#if defined(INFRA_HAVE_OPENSSL)

void runOpenSsl(benchmark::State& state, bool encrypting) {
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    const std::vector<unsigned char> src = input(size);
    std::vector<unsigned char> dst(size + 16);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    for (auto _ : state) {
        // Each message starts from the IV, as CTripleDes does.
        int outLen = 0;
        EVP_CipherInit_ex(ctx, EVP_des_ede3_cbc(), nullptr, kKey, kIv, encrypting ? 1 : 0);
        EVP_CIPHER_CTX_set_padding(ctx, 0);
        EVP_CipherUpdate(ctx, dst.data(), &outLen, src.data(), static_cast<int>(size));
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void BM_OpenSsl_Des3CbcEncrypt(benchmark::State& state) {
    runOpenSsl(state, true);
}
void BM_OpenSsl_Des3CbcDecrypt(benchmark::State& state) {
    runOpenSsl(state, false);
}

BENCHMARK(BM_OpenSsl_Des3CbcEncrypt)->Arg(64)->Arg(8192)->Arg(65536);
BENCHMARK(BM_OpenSsl_Des3CbcDecrypt)->Arg(8192)->Arg(65536);

#endif

}  // namespace
