// Small helpers shared by the fuzz programs.
#ifndef INFRA_FUZZ_FUZZSUPPORT_H
#define INFRA_FUZZ_FUZZSUPPORT_H

#include <cstddef>
#include <memory>

namespace FuzzSupport {

// A failed property ends the run at once, so the fuzzer keeps the input.
inline void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

// An allocation of exactly `n` elements (one for n == 0), so the sanitizer reports any access
// past its end.
template <class T>
std::unique_ptr<T[]> block(std::size_t n) {
    return std::unique_ptr<T[]>(new T[n == 0 ? 1 : n]);
}

}  // namespace FuzzSupport

#endif  // INFRA_FUZZ_FUZZSUPPORT_H
