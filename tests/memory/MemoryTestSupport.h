// Shared helpers of the memory tests: a log capture and a counting memory operator.
#ifndef INFRA_TESTS_MEMORY_MEMORYTESTSUPPORT_H
#define INFRA_TESTS_MEMORY_MEMORYTESTSUPPORT_H

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "infra/PacketManager.h"
#include "infra/PrintLog.h"

namespace MemoryTest {

// Receives every shown log line while it lives (all levels shown), then restores the defaults.
class LogCapture {
public:
    LogCapture() {
        Tovix::Infra::setPrintLogLevel(6);
        Tovix::Infra::setLogPrinter(
            Tovix::Infra::TFunction1<void, const char*>(this, &LogCapture::print));
    }
    ~LogCapture() {
        Tovix::Infra::setLogPrinter(Tovix::Infra::TFunction1<void, const char*>());
        Tovix::Infra::setPrintLogLevel(3);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_lines;
    }
    // Lines containing `text`.
    int count(const std::string& text) {
        int n = 0;
        for (const std::string& line : lines()) {
            n += line.find(text) != std::string::npos ? 1 : 0;
        }
        return n;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_lines.clear();
    }

private:
    void print(const char* line) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_lines.emplace_back(line);
    }

    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// A memory operator over the standard functions that counts its calls.
struct CountingOperator {
    static std::atomic<int>& mallocs() {
        static std::atomic<int> n{0};
        return n;
    }
    static std::atomic<int>& frees() {
        static std::atomic<int> n{0};
        return n;
    }
    static std::atomic<int>& copies() {
        static std::atomic<int> n{0};
        return n;
    }
    static void* doMalloc(unsigned int size) {
        ++mallocs();
        return std::malloc(size);
    }
    static void doFree(void* p) {
        ++frees();
        std::free(p);
    }
    static void* doMemcpy(void* dst, const void* src, unsigned int n) {
        ++copies();
        return n == 0 ? dst : std::memcpy(dst, src, n);
    }
    static Tovix::Memory::CPacketManager::MemoryOperator make() {
        return Tovix::Memory::CPacketManager::MemoryOperator{&doMalloc, &doFree, &doMemcpy};
    }
};

// True when built with AddressSanitizer.
constexpr bool kAddressSanitizer =
#if defined(__SANITIZE_ADDRESS__)
    true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    true;
#else
    false;
#endif
#else
    false;
#endif

}  // namespace MemoryTest

#endif  // INFRA_TESTS_MEMORY_MEMORYTESTSUPPORT_H
