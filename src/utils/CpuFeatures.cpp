// Codecs: the processor-feature query shared by the accelerated kernels.
#include "utils/CpuFeatures.h"

#include <cstdint>

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define INFRA_CPU_X86 1
#include <cpuid.h>
#else
#define INFRA_CPU_X86 0
#endif

namespace Tovix {
namespace Utils {
namespace Detail {

namespace {

constexpr std::uint32_t bit(CpuFeature feature) {
    return 1u << static_cast<unsigned>(feature);
}

#if INFRA_CPU_X86

// The register state the system saves on a thread switch (XCR0).
std::uint64_t savedStateMask() {
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    __asm__ __volatile__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

std::uint32_t detect() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) {
        return 0;
    }
    std::uint32_t features = 0;
    if ((c & (1u << 9)) != 0) {
        features |= bit(CpuFeature::kSsse3);
    }
    if ((c & (1u << 19)) != 0) {
        features |= bit(CpuFeature::kSse41);
    }
    if ((c & (1u << 1)) != 0) {
        features |= bit(CpuFeature::kPclmul);
    }
    // 256-bit registers need AVX and their state saved by the system (XMM and YMM bits of XCR0).
    const bool osSavesYmm =
        (c & (1u << 27)) != 0 && (c & (1u << 28)) != 0 && (savedStateMask() & 0x6) == 0x6;
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) != 0) {
        if (osSavesYmm && (b & (1u << 5)) != 0) {
            features |= bit(CpuFeature::kAvx2);
        }
        if ((b & (1u << 29)) != 0) {
            features |= bit(CpuFeature::kSha);
        }
    }
    return features;
}

#else

std::uint32_t detect() {
    return 0;
}

#endif

}  // namespace

bool cpuHas(CpuFeature feature) {
    // A function-local constant: initialised once, safely, whichever thread asks first.
    static const std::uint32_t features = detect();
    return (features & bit(feature)) != 0;
}

}  // namespace Detail
}  // namespace Utils
}  // namespace Tovix
