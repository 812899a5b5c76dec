// Codecs: which optional processor instructions the accelerated kernels (SHA-1, CRC-32,
// Base64) may use. Read once, on first use, from the processor and from what the operating system
// saves on a thread switch; false everywhere but on x86 with GCC or clang.
#ifndef INFRA_SRC_UTILS_CPUFEATURES_H
#define INFRA_SRC_UTILS_CPUFEATURES_H

namespace Tovix {
namespace Utils {
namespace Detail {

enum class CpuFeature : unsigned {
    kSsse3,
    kSse41,
    kPclmul,
    kAvx2,  // also requires the system to save the 256-bit registers
    kSha,
};

// True when the processor has `feature` and the system lets programs use it. The answer is
// computed once and may be asked for from any thread.
bool cpuHas(CpuFeature feature);

}  // namespace Detail
}  // namespace Utils
}  // namespace Tovix

#endif  // INFRA_SRC_UTILS_CPUFEATURES_H
