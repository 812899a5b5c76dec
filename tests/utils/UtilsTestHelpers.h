// Helpers of the codec, hash, cipher and character-set tests: byte strings, random data, hex
// text, guarded output buffers and the fixture that runs a test on each processor path.
#ifndef INFRA_TESTS_UTILS_UTILSTESTHELPERS_H
#define INFRA_TESTS_UTILS_UTILSTESTHELPERS_H

#include <gtest/gtest.h>

#include <cstddef>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

namespace UtilsTest {

using Bytes = std::vector<unsigned char>;

inline Bytes randomBytes(std::mt19937& rng, std::size_t n) {
    Bytes out(n);
    for (unsigned char& b : out) {
        b = static_cast<unsigned char>(rng());
    }
    return out;
}

inline Bytes bytes(std::initializer_list<int> values) {
    return Bytes(values.begin(), values.end());
}

inline Bytes fromHex(const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<unsigned char>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline std::string toHex(const unsigned char* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// An output buffer between guard bytes, so that a write outside it is seen.
class Guarded {
public:
    static constexpr std::size_t kGuard = 16;
    static constexpr unsigned char kFill = 0xA5;
    explicit Guarded(std::size_t size) : m_size(size), m_storage(size + 2 * kGuard, kFill) {}
    unsigned char* data() { return m_storage.data() + kGuard; }
    char* text() { return reinterpret_cast<char*>(data()); }
    unsigned short* units() { return reinterpret_cast<unsigned short*>(data()); }
    Bytes contents() const { return Bytes(m_storage.begin() + kGuard, m_storage.end() - kGuard); }
    bool guardsIntact() const {
        for (std::size_t i = 0; i < kGuard; ++i) {
            if (m_storage[i] != kFill || m_storage[kGuard + m_size + i] != kFill) {
                return false;
            }
        }
        return true;
    }

private:
    std::size_t m_size;
    Bytes m_storage;
};

// Runs each test once on the processor's choice of path and once on the portable one.
template <void (*Select)(bool)>
class PathTest : public testing::TestWithParam<bool> {
protected:
    void SetUp() override { Select(GetParam()); }
    void TearDown() override { Select(true); }
};

inline std::string pathName(const testing::TestParamInfo<bool>& info) {
    return info.param ? "ProcessorChoice" : "Portable";
}

}  // namespace UtilsTest

#endif  // INFRA_TESTS_UTILS_UTILSTESTHELPERS_H
