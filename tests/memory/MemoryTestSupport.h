// Shared helpers of the memory tests: a log capture down to debug lines, a counting memory
// operator, and which sanitizer the build runs under.
#ifndef INFRA_TESTS_MEMORY_MEMORYTESTSUPPORT_H
#define INFRA_TESTS_MEMORY_MEMORYTESTSUPPORT_H

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "infra/PacketManager.h"
#include "support/LogCapture.h"

namespace MemoryTest {

class Capture : public TestSupport::LogCapture {
public:
    Capture() { Tovix::Infra::setPrintLogLevel(6); }
    ~Capture() { Tovix::Infra::setPrintLogLevel(3); }
    int count(const std::string& part) {
        const std::string all = text();
        int n = 0;
        for (std::size_t at = all.find(part); at != std::string::npos;
             at = all.find(part, at + 1)) {
            ++n;
        }
        return n;
    }
};

// The standard functions, counting the calls and keeping the size last asked.
struct CountingOperator {
    static inline std::atomic<int> mallocs{0}, frees{0}, copies{0};
    static inline std::atomic<unsigned int> lastSize{0};
    static Tovix::Memory::CPacketManager::MemoryOperator make() {
        return {+[](unsigned int size) { return ++mallocs, lastSize = size, std::malloc(size); },
                +[](void* p) { ++frees, std::free(p); },
                +[](void* dst, const void* src, unsigned int n) {
                    return ++copies, n == 0 ? dst : std::memcpy(dst, src, n);
                }};
    }
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MEMORY_TEST_SANITIZER 1
#endif
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

}  // namespace MemoryTest

#endif  // INFRA_TESTS_MEMORY_MEMORYTESTSUPPORT_H
