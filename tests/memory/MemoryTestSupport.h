// Shared helpers of the memory tests: a log capture that shows every level, a counting memory
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

// Captures every log line, down to debug, while it lives.
class Capture : public TestSupport::LogCapture {
public:
    Capture() { Tovix::Infra::setPrintLogLevel(6); }
    ~Capture() { Tovix::Infra::setPrintLogLevel(3); }
    // How often `part` was logged.
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

// A memory operator over the standard functions that counts its calls and the last size asked.
struct CountingOperator {
    static inline std::atomic<int> mallocs{0}, frees{0}, copies{0};
    static inline std::atomic<unsigned int> lastSize{0};
    static void* doMalloc(unsigned int size) {
        ++mallocs;
        lastSize = size;
        return std::malloc(size);
    }
    static void doFree(void* p) {
        ++frees;
        std::free(p);
    }
    static void* doMemcpy(void* dst, const void* src, unsigned int n) {
        ++copies;
        return n == 0 ? dst : std::memcpy(dst, src, n);
    }
    static Tovix::Memory::CPacketManager::MemoryOperator make() {
        return Tovix::Memory::CPacketManager::MemoryOperator{&doMalloc, &doFree, &doMemcpy};
    }
};

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MEMORY_TEST_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define MEMORY_TEST_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define MEMORY_TEST_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define MEMORY_TEST_TSAN 1
#endif
#if defined(MEMORY_TEST_ASAN)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

}  // namespace MemoryTest

#endif  // INFRA_TESTS_MEMORY_MEMORYTESTSUPPORT_H
