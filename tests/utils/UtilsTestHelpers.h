// Helpers of this folder's tests: bytes, hex, table rows, guarded outputs, a per-path fixture.
#ifndef INFRA_TESTS_UTILS_UTILSTESTHELPERS_H
#define INFRA_TESTS_UTILS_UTILSTESTHELPERS_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/LogCapture.h"

namespace UtilsTest {

using Bytes = std::vector<unsigned char>;

inline Bytes randomBytes(std::mt19937& rng, std::size_t n) {
    Bytes out(n);
    for (unsigned char& b : out) {
        b = static_cast<unsigned char>(rng());
    }
    return out;
}

// "-" (or any text shorter than two digits) is no bytes.
inline Bytes fromHex(const std::string& text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<unsigned char>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline std::string toHex(const unsigned char* p, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += "0123456789abcdef"[p[i] >> 4];
        s += "0123456789abcdef"[p[i] & 15];
    }
    return s;
}

inline std::string toHex(const Bytes& b) {
    return toHex(b.data(), b.size());
}

// The blank-separated fields of a table row, and a number field ("0x1F", "12", "-1").
inline std::vector<std::string> fields(const std::string& row) {
    std::istringstream in(row);
    return std::vector<std::string>(std::istream_iterator<std::string>(in), {});
}

inline int num(const std::string& field) {
    return static_cast<int>(std::stoll(field, nullptr, 0));
}

// An output buffer between guard bytes 0xA5, so that a write outside it is seen.
class Guarded {
public:
    static constexpr unsigned char kFill = 0xA5;
    explicit Guarded(std::size_t size) : m_storage(size + 32, kFill) {}
    unsigned char* data() { return m_storage.data() + 16; }
    char* text() { return reinterpret_cast<char*>(data()); }
    unsigned short* units() { return reinterpret_cast<unsigned short*>(data()); }
    Bytes contents() const { return Bytes(m_storage.begin() + 16, m_storage.end() - 16); }
    bool guardsIntact() const {
        return Bytes(m_storage.begin(), m_storage.begin() + 16) == Bytes(16, kFill) &&
               Bytes(m_storage.end() - 16, m_storage.end()) == Bytes(16, kFill);
    }

private:
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
