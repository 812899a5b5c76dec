// Files: a file written and read back, a file system of our own serving a path prefix, a
// directory listing, and directory trees made and removed in one call.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "infra/File.h"
#include "infra/FileFind.h"
#include "infra/LfsFile.h"

using namespace Tovix::Infra;

namespace {

// A tiny file system in memory: flat files under one prefix, no directories of its own.
class RamDisk : public IFileSystem {
public:
    void* fopen(const char* path, const char* mode) override {
        std::shared_ptr<std::string>& data = m_files[path];
        if (!data) {
            if (std::strchr(mode, 'r') != nullptr) {
                m_files.erase(path);
                return nullptr;
            }
            data = std::make_shared<std::string>();
        } else if (std::strchr(mode, 'w') != nullptr) {
            data->clear();
        }
        return new Open{data, std::strchr(mode, 'a') != nullptr ? data->size() : 0};
    }
    int fclose(void* handle) override {
        delete static_cast<Open*>(handle);
        return 0;
    }
    std::size_t fread(void* buffer, std::size_t size, std::size_t count, void* handle) override {
        Open* file = static_cast<Open*>(handle);
        const std::size_t size0 = file->data->size();
        const std::size_t room = file->position < size0 ? size0 - file->position : 0;
        const std::size_t items = size == 0 ? 0 : std::min(count, room / size);
        std::memcpy(buffer, file->data->data() + file->position, items * size);
        file->position += items * size;
        return items;
    }
    std::size_t fwrite(const void* buffer, std::size_t size, std::size_t count,
                       void* handle) override {
        Open* file = static_cast<Open*>(handle);
        if (file->data->size() < file->position) {
            file->data->resize(file->position);
        }
        file->data->replace(file->position, size * count, static_cast<const char*>(buffer),
                            size * count);
        file->position += size * count;
        return count;
    }
    int fflush(void*) override { return 0; }
    int fseek(void* handle, long offset, int origin) override {
        Open* file = static_cast<Open*>(handle);
        const long base = origin == SEEK_END   ? static_cast<long>(file->data->size())
                          : origin == SEEK_CUR ? static_cast<long>(file->position)
                                               : 0;
        file->position = static_cast<std::size_t>(base + offset);
        return 0;
    }
    long ftell(void* handle) override {
        return static_cast<long>(static_cast<Open*>(handle)->position);
    }
    char* fgets(char*, int, void*) override { return nullptr; }
    int fputs(const char* text, void* handle) override {
        return fwrite(text, 1, std::strlen(text), handle) > 0 ? 1 : -1;
    }
    int rename(const char*, const char*) override { return -1; }
    int remove(const char* path) override { return m_files.erase(path) != 0 ? 0 : -1; }
    long findfirst(const char*, FileInfo* out) override {
        // Every file matches; the names handed back are those after the last '/'.
        m_listing.clear();
        for (const auto& file : m_files) {
            m_listing.emplace_back(file.first.substr(file.first.rfind('/') + 1),
                                   file.second->size());
        }
        m_next = 0;
        return findnext(0, out) == 0 ? 0 : -1;
    }
    int findnext(long, FileInfo* out) override {
        if (m_next >= m_listing.size()) {
            return -1;
        }
        std::memset(out, 0, sizeof(*out));
        std::snprintf(out->name, sizeof(out->name), "%s", m_listing[m_next].first.c_str());
        out->size = m_listing[m_next++].second;
        return 0;
    }
    int findclose(long) override { return 0; }
    int mkdir(const char*) override { return -1; }
    int rmdir(const char*) override { return 0; }
    int statfs(const char*, unsigned long long*, unsigned long long*,
               unsigned long long*) override {
        return -1;
    }
    int access(const char* path, int) override { return m_files.count(path) != 0 ? 0 : -1; }
    int stat(const char* path, FileInfo* out) override {
        const auto found = m_files.find(path);
        if (found == m_files.end()) {
            return -1;
        }
        std::snprintf(out->name, sizeof(out->name), "%s", path);
        out->size = found->second->size();
        return 0;
    }

private:
    struct Open {
        std::shared_ptr<std::string> data;
        std::size_t position;
    };
    std::map<std::string, std::shared_ptr<std::string>> m_files;
    std::vector<std::pair<std::string, std::size_t>> m_listing;
    std::size_t m_next = 0;
};

void list(const std::string& pattern) {
    CFileFind find;
    for (bool found = find.findFile(pattern.c_str()); found; found = find.findNextFile()) {
        if (find.getFileName() == "." || find.getFileName() == "..") {
            continue;
        }
        if (find.isDirectory()) {
            std::printf("    %-12s <dir>\n", find.getFileName().c_str());
        } else {
            std::printf("    %-12s %u bytes\n", find.getFileName().c_str(), find.getLength());
        }
    }
}

}  // namespace

void filesSection() {
    std::printf("Files\n");
    const std::string dir = (std::filesystem::temp_directory_path() / "infra-demo-files").string();
    if (CFile::access(dir.c_str(), 0)) {
        CFile::removeDirectoryRecursively(dir.c_str(), true);
    }
    CFile::makeDirectoryRecursively((dir + "/notes/old").c_str());

    // Write, then read back through the cached length and position.
    const std::string path = dir + "/notes/today.txt";
    CFile file;
    if (file.open(path.c_str(), CFile::modeReadWrite | CFile::modeCreate)) {
        file.puts("first line\n");
        char more[] = "second line\n";
        file.write(more, sizeof(more) - 1);
        std::printf("  wrote %s: length %u, position %u\n", path.c_str(), file.getLength(),
                    file.getPosition());
        file.seek(0, CFile::seekBegin);
        char line[64];
        while (file.gets(line, sizeof(line)) != nullptr) {
            std::printf("  read back: %s", line);
        }
        file.close();
    }
    CLfsFile large;
    if (large.open(path.c_str(), CFile::modeRead)) {
        std::printf("  the same file as a large file: %lld bytes\n", large.getLength());
    }

    // A file system of our own serves every path under "/ram/".
    RamDisk ram;
    hookFileSystem("/ram/", &ram);
    CFile memo;
    if (memo.open("/ram/memo.txt", CFile::modeWrite)) {
        char text[] = "kept in memory";
        memo.write(text, sizeof(text) - 1);
        memo.close();
    }
    FileInfo info;
    if (CFile::stat("/ram/memo.txt", info)) {
        std::printf("  /ram/memo.txt lives in memory: %llu bytes, on disk: %s\n",
                    static_cast<unsigned long long>(info.size),
                    CFile::access((dir + "/memo.txt").c_str(), 0) ? "yes" : "no");
    }
    std::printf("  listing of /ram/*:\n");
    list("/ram/*");
    hookFileSystem("/ram/", nullptr);

    // A listing of the disk directory, then the whole tree removed in one call.
    std::printf("  listing of %s/notes/*:\n", dir.c_str());
    list(dir + "/notes/*");
    const bool removed = CFile::removeDirectoryRecursively(dir.c_str(), true);
    std::printf("  remove %s recursively: %s, still there: %s\n", dir.c_str(),
                removed ? "done" : "failed", CFile::access(dir.c_str(), 0) ? "yes" : "no");
}
