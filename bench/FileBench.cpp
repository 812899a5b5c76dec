// The file class beside the C library's streams it runs over: small record writes, reads,
// cached seeks, and a directory listing beside std::filesystem.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "infra/File.h"
#include "infra/FileFind.h"

using namespace Tovix::Infra;

namespace {

// A scratch directory under the system's temporary directory, removed at exit.
class Scratch {
public:
    Scratch() {
        std::random_device seed;
        m_path = (std::filesystem::temp_directory_path() /
                  ("infra-file-bench-" + std::to_string(seed())))
                     .string();
        std::filesystem::create_directories(m_path);
        for (int i = 0; i < 200; ++i) {
            std::FILE* file = std::fopen((m_path + "/entry" + std::to_string(i)).c_str(), "wb");
            if (file != nullptr) {
                std::fclose(file);
            }
        }
    }
    ~Scratch() {
        std::error_code error;
        std::filesystem::remove_all(m_path, error);
    }
    std::string file(const char* name) const { return m_path + "/" + name; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

Scratch& scratch() {
    static Scratch instance;
    return instance;
}

constexpr int kRecordsPerFile = 1 << 16;

void BM_CFileWriteRecord(benchmark::State& state) {
    const std::string path = scratch().file("cfile-write");
    char record[64] = {};
    CFile file;
    file.open(path.c_str(), CFile::modeWrite);
    int written = 0;
    for (auto _ : state) {
        if (++written == kRecordsPerFile) {
            state.PauseTiming();
            file.open(path.c_str(), CFile::modeWrite);
            written = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(file.write(record, sizeof(record)));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sizeof(record)));
}
BENCHMARK(BM_CFileWriteRecord);

void BM_StdioWriteRecord(benchmark::State& state) {
    const std::string path = scratch().file("stdio-write");
    char record[64] = {};
    std::FILE* file = std::fopen(path.c_str(), "wb");
    int written = 0;
    for (auto _ : state) {
        if (++written == kRecordsPerFile) {
            state.PauseTiming();
            std::fclose(file);
            file = std::fopen(path.c_str(), "wb");
            written = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(std::fwrite(record, 1, sizeof(record), file));
    }
    std::fclose(file);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sizeof(record)));
}
BENCHMARK(BM_StdioWriteRecord);

void BM_CFileReadRecord(benchmark::State& state) {
    const std::string path = scratch().file("cfile-read");
    {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        const std::string block(1 << 20, 'r');
        std::fwrite(block.data(), 1, block.size(), file);
        std::fclose(file);
    }
    char record[64];
    CFile file;
    file.open(path.c_str(), CFile::modeRead);
    for (auto _ : state) {
        if (file.read(record, sizeof(record)) != static_cast<long>(sizeof(record))) {
            file.seek(0, CFile::seekBegin);
        }
        benchmark::DoNotOptimize(record);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sizeof(record)));
}
BENCHMARK(BM_CFileReadRecord);

// A seek to where the file already is costs no call into the C library.
void BM_CFileSeekToCurrent(benchmark::State& state) {
    const std::string path = scratch().file("cfile-seek");
    CFile file;
    file.open(path.c_str(), CFile::modeReadWrite | CFile::modeCreate);
    char data[100] = {};
    file.write(data, sizeof(data));
    for (auto _ : state) {
        benchmark::DoNotOptimize(file.seek(100, CFile::seekBegin));
    }
}
BENCHMARK(BM_CFileSeekToCurrent);

void BM_StdioSeekToCurrent(benchmark::State& state) {
    const std::string path = scratch().file("stdio-seek");
    std::FILE* file = std::fopen(path.c_str(), "wb+");
    char data[100] = {};
    std::fwrite(data, 1, sizeof(data), file);
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::fseek(file, 100, SEEK_SET));
        benchmark::DoNotOptimize(std::ftell(file));
    }
    std::fclose(file);
}
BENCHMARK(BM_StdioSeekToCurrent);

void BM_FileFindListing(benchmark::State& state) {
    const std::string pattern = scratch().path() + "/entry*";
    for (auto _ : state) {
        CFileFind find;
        int count = 0;
        for (bool found = find.findFile(pattern.c_str()); found; found = find.findNextFile()) {
            ++count;
        }
        benchmark::DoNotOptimize(count);
    }
    state.SetItemsProcessed(state.iterations() * 200);
}
BENCHMARK(BM_FileFindListing);

void BM_StdDirectoryIteratorListing(benchmark::State& state) {
    const std::string directory = scratch().path();
    for (auto _ : state) {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(directory)) {
            const std::string name = entry.path().filename().string();
            if (name.compare(0, 5, "entry") == 0) {
                benchmark::DoNotOptimize(entry.status());
                ++count;
            }
        }
        benchmark::DoNotOptimize(count);
    }
    state.SetItemsProcessed(state.iterations() * 200);
}
BENCHMARK(BM_StdDirectoryIteratorListing);

}  // namespace
