// Test helpers: a fresh temporary directory removed with everything in it, and whole-file
// reads and writes.
#ifndef INFRA_TESTS_SUPPORT_TEMPDIR_H
#define INFRA_TESTS_SUPPORT_TEMPDIR_H

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace TestSupport {

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::random_device seed;
        std::mt19937_64 random(seed());
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::ostringstream name;
            name << "infra-test-" << std::hex << random();
            std::error_code error;
            if (std::filesystem::create_directory(base / name.str(), error)) {
                m_path = (base / name.str()).string();
                return;
            }
        }
    }
    ~TempDir() {
        std::error_code error;
        std::filesystem::remove_all(m_path, error);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool valid() const { return !m_path.empty(); }
    // The directory, without a final '/'.
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace TestSupport

#endif  // INFRA_TESTS_SUPPORT_TEMPDIR_H
