// Test helpers for the file tests: a file system to hook that forwards to the default one,
// counting its calls, remembering what it was asked and failing the slots it is told to.
#ifndef INFRA_TESTS_FILES_FILETESTSUPPORT_H
#define INFRA_TESTS_FILES_FILETESTSUPPORT_H

#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "infra/File.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace FileTestSupport {

using TestSupport::readFile;
using TestSupport::TempDir;
using TestSupport::writeFile;
using Tovix::Infra::FileInfo;
using Tovix::Infra::IFileSystem;

inline std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// One slot: counted, then failed with `failure` when named in `failing`, else forwarded.
#define FILE_TEST_FORWARD(result, slot, failure, parameters, arguments) \
    result slot parameters override {                                   \
        return fails(#slot) ? failure : base()->slot arguments;         \
    }

class CountingFileSystem : public IFileSystem {
public:
    using Size = std::size_t;
    using Bytes = unsigned long long;
    std::map<std::string, int> calls;  // by slot name
    std::set<std::string> failing;
    unsigned long long statExtra = 0;  // added to each size stat reports
    std::string lastMode;
    std::string lastFindInput;  // the name field a search found on entry
    int openHandles = 0;

    void* fopen(const char* path, const char* mode) override {
        lastMode = mode;
        void* handle = fails("fopen") ? nullptr : base()->fopen(path, mode);
        openHandles += handle != nullptr;
        return handle;
    }
    int fclose(void* handle) override {
        --openHandles;
        return base()->fclose(handle);
    }
    long findfirst(const char* pattern, FileInfo* out) override {
        lastFindInput = out->name;
        return fails("findfirst") ? -1 : base()->findfirst(pattern, out);
    }
    int findnext(long search, FileInfo* out) override {
        lastFindInput = out->name;
        return fails("findnext") ? -1 : base()->findnext(search, out);
    }
    int stat(const char* path, FileInfo* out) override {
        const int result = fails("stat") ? -1 : base()->stat(path, out);
        out->size += statExtra;
        return result;
    }
    FILE_TEST_FORWARD(Size, fread, 0, (void* b, Size s, Size n, void* h), (b, s, n, h))
    FILE_TEST_FORWARD(Size, fwrite, 0, (const void* b, Size s, Size n, void* h), (b, s, n, h))
    FILE_TEST_FORWARD(int, fflush, -1, (void* h), (h))
    FILE_TEST_FORWARD(int, fseek, -1, (void* h, long offset, int origin), (h, offset, origin))
    FILE_TEST_FORWARD(long, ftell, -1, (void* h), (h))
    FILE_TEST_FORWARD(int, fputs, -1, (const char* text, void* h), (text, h))
    FILE_TEST_FORWARD(char*, fgets, nullptr, (char* b, int size, void* h), (b, size, h))
    FILE_TEST_FORWARD(int, rename, -1, (const char* from, const char* to), (from, to))
    FILE_TEST_FORWARD(int, remove, -1, (const char* path), (path))
    FILE_TEST_FORWARD(int, findclose, -1, (long search), (search))
    FILE_TEST_FORWARD(int, mkdir, -1, (const char* path), (path))
    FILE_TEST_FORWARD(int, rmdir, -1, (const char* path), (path))
    FILE_TEST_FORWARD(int, statfs, -1, (const char* p, Bytes* a, Bytes* t, Bytes* f), (p, a, t, f))
    FILE_TEST_FORWARD(int, access, -1, (const char* path, int mode), (path, mode))
    FILE_TEST_FORWARD(int, fseek64, -1, (void* h, long long offset, int origin),
                      (h, offset, origin))
    FILE_TEST_FORWARD(long long, ftell64, -1, (void* h), (h))

private:
    static IFileSystem* base() { return Tovix::Infra::FileDefaultOpt::instance(); }
    bool fails(const char* slot) {
        ++calls[slot];
        return failing.count(slot) != 0;
    }
};

#undef FILE_TEST_FORWARD

// A temporary directory whose subdirectory `hooked` ("…/h/") `counter` serves while it lives.
class HookedDir {
public:
    HookedDir() : hooked(dir / "h/") {
        std::filesystem::create_directory(hooked);
        Tovix::Infra::hookFileSystem(hooked.c_str(), &counter);
    }
    virtual ~HookedDir() { Tovix::Infra::hookFileSystem(hooked.c_str(), nullptr); }

    TempDir dir;
    CountingFileSystem counter;
    const std::string hooked;
};

}  // namespace FileTestSupport

#endif  // INFRA_TESTS_FILES_FILETESTSUPPORT_H
