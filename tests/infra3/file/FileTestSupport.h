// Test helpers for the file tests: a temporary directory, an in-memory file system and a file
// system that counts the calls it forwards to the default one.
#ifndef INFRA_TESTS_FILES_FILETESTSUPPORT_H
#define INFRA_TESTS_FILES_FILETESTSUPPORT_H

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "infra/File.h"
#include "support/TempDir.h"

namespace FileTestSupport {

using TestSupport::readFile;
using TestSupport::TempDir;
using TestSupport::writeFile;

// '*' and '?' matching, written independently of the platform's fnmatch.
inline bool wildcardMatch(const char* pattern, const char* name) {
    if (*pattern == '\0') {
        return *name == '\0';
    }
    if (*pattern == '*') {
        for (const char* rest = name;; ++rest) {
            if (wildcardMatch(pattern + 1, rest)) {
                return true;
            }
            if (*rest == '\0') {
                return false;
            }
        }
    }
    if (*name == '\0') {
        return false;
    }
    return (*pattern == '?' || *pattern == *name) && wildcardMatch(pattern + 1, name + 1);
}

// A file system held in memory: files and directories named by full paths (no final '/').
// Every slot counts its calls. Thread-safe.
class MemoryFileSystem : public Tovix::Infra::IFileSystem {
public:
    struct Handle {
        std::string path;
        std::shared_ptr<std::string> data;
        std::size_t position = 0;
        bool canRead = false;
        bool canWrite = false;
        bool append = false;
    };

    std::map<std::string, int> calls() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_calls;
    }
    int callsOf(const std::string& slot) {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_calls[slot];
    }
    // The name field findfirst/findnext received on entry, last call.
    std::string lastFindInput() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lastFindInput;
    }
    std::string lastMode() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lastMode;
    }
    bool exists(const std::string& path) {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_files.count(path) != 0 || m_directories.count(path) != 0;
    }
    bool isDirectory(const std::string& path) {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_directories.count(path) != 0;
    }
    std::string content(const std::string& path) {
        std::lock_guard<std::mutex> guard(m_lock);
        const auto found = m_files.find(path);
        return found != m_files.end() ? *found->second : std::string();
    }
    void putFile(const std::string& path, const std::string& content) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_files[path] = std::make_shared<std::string>(content);
    }
    void putDirectory(const std::string& path) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_directories.insert(path);
    }
    std::size_t openSearches() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_searches.size();
    }
    std::size_t openHandles() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_openHandles;
    }

    void* fopen(const char* path, const char* mode) override {
        std::lock_guard<std::mutex> guard(m_lock);
        count("fopen");
        m_lastMode = mode;
        const bool read = std::strchr(mode, 'r') != nullptr;
        const bool write = std::strchr(mode, 'w') != nullptr;
        const bool append = std::strchr(mode, 'a') != nullptr;
        const bool plus = std::strchr(mode, '+') != nullptr;
        auto found = m_files.find(path);
        if (found == m_files.end()) {
            if (read || !parentExists(path)) {
                return nullptr;
            }
            found = m_files.emplace(path, std::make_shared<std::string>()).first;
        } else if (write) {
            found->second->clear();
        }
        Handle* handle = new Handle;
        handle->path = path;
        handle->data = found->second;
        handle->canRead = read || plus;
        handle->canWrite = write || append || plus;
        handle->append = append;
        ++m_openHandles;
        return handle;
    }
    int fclose(void* handle) override {
        std::lock_guard<std::mutex> guard(m_lock);
        count("fclose");
        delete static_cast<Handle*>(handle);
        --m_openHandles;
        return 0;
    }
    std::size_t fread(void* buffer, std::size_t size, std::size_t items, void* handle) override {
        std::lock_guard<std::mutex> guard(m_lock);
        count("fread");
        Handle* file = static_cast<Handle*>(handle);
        if (!file->canRead || size == 0 || file->position >= file->data->size()) {
            return 0;
        }
        const std::size_t whole = std::min(items, (file->data->size() - file->position) / size);
        std::memcpy(buffer, file->data->data() + file->position, whole * size);
        file->position += whole * size;
        return whole;
    }
    std::size_t fwrite(const void* buffer, std::size_t size, std::size_t items,
                       void* handle) override {
        std::lock_guard<std::mutex> guard(m_lock);
        count("fwrite");
        Handle* file = static_cast<Handle*>(handle);
        if (!file->canWrite) {
            return 0;
        }
        if (file->append) {
            file->position = file->data->size();
        }
        const std::size_t bytes = size * items;
        if (file->data->size() < file->position + bytes) {
            file->data->resize(file->position + bytes);
        }
        std::memcpy(&(*file->data)[file->position], buffer, bytes);
        file->position += bytes;
        return items;
    }
    int fflush(void*) override {
        std::lock_guard<std::mutex> guard(m_lock);
        count("fflush");
        return 0;
    }
    int fseek(void* handle, long offset, int origin) override {
        std::lock_guard<std::mutex> guard(m_lock);
        count("fseek");
        return seekTo(static_cast<Handle*>(handle), offset, origin);
    }
    long ftell(void* handle) override {
        std::lock_guard<std::mutex> guard(m_lock);
        count("ftell");
        return static_cast<long>(static_cast<Handle*>(handle)->position);
    }
    char* fgets(char* buffer, int size, void* handle) override {
        std::lock_guard<std::mutex> guard(m_lock);
        count("fgets");
        Handle* file = static_cast<Handle*>(handle);
        if (size <= 0 || file->position >= file->data->size()) {
            return nullptr;
        }
        int used = 0;
        while (used < size - 1 && file->position < file->data->size()) {
            const char c = (*file->data)[file->position++];
            buffer[used++] = c;
            if (c == '\n') {
                break;
            }
        }
        buffer[used] = '\0';
        return buffer;
    }
    int fputs(const char* text, void* handle) override {
        const std::size_t length = std::strlen(text);
        const std::size_t written = fwrite(text, 1, length, handle);
        std::lock_guard<std::mutex> guard(m_lock);
        --m_calls["fwrite"];
        count("fputs");
        return written == length ? 1 : -1;
    }
    int rename(const char* oldPath, const char* newPath) override {
        std::lock_guard<std::mutex> guard(m_lock);
        count("rename");
        const auto found = m_files.find(oldPath);
        if (found == m_files.end()) {
            return -1;
        }
        auto data = found->second;
        m_files.erase(found);
        m_files[newPath] = data;
        return 0;
    }
    int remove(const char* path) override {
        std::lock_guard<std::mutex> guard(m_lock);
        count("remove");
        return m_files.erase(path) != 0 ? 0 : -1;
    }
    long findfirst(const char* pattern, Tovix::Infra::FileInfo* out) override {
        std::lock_guard<std::mutex> guard(m_lock);
        count("findfirst");
        m_lastFindInput = out->name;
        const std::string text(pattern);
        const std::size_t slash = text.rfind('/');
        const std::string directory = slash == std::string::npos ? "" : text.substr(0, slash);
        const std::string last = slash == std::string::npos ? text : text.substr(slash + 1);
        std::vector<Entry> entries;
        for (const auto& file : m_files) {
            addIfChild(entries, directory, last, file.first, false, file.second->size());
        }
        for (const auto& dir : m_directories) {
            addIfChild(entries, directory, last, dir, true, 0);
        }
        if (entries.empty()) {
            return -1;
        }
        const long handle = m_nextSearch++;
        m_searches[handle] = Search{entries, 0};
        fill(m_searches[handle], out);
        return handle;
    }
    int findnext(long handle, Tovix::Infra::FileInfo* out) override {
        std::lock_guard<std::mutex> guard(m_lock);
        count("findnext");
        m_lastFindInput = out->name;
        const auto found = m_searches.find(handle);
        if (found == m_searches.end() || found->second.next >= found->second.entries.size()) {
            return -1;
        }
        fill(found->second, out);
        return 0;
    }
    int findclose(long handle) override {
        std::lock_guard<std::mutex> guard(m_lock);
        count("findclose");
        return m_searches.erase(handle) != 0 ? 0 : -1;
    }
    int mkdir(const char* path) override {
        std::lock_guard<std::mutex> guard(m_lock);
        count("mkdir");
        std::string name(path);
        while (name.size() > 1 && name.back() == '/') {
            name.pop_back();
        }
        if (m_directories.count(name) != 0 || m_files.count(name) != 0 || !parentExists(name)) {
            return -1;
        }
        m_directories.insert(name);
        return 0;
    }
    int rmdir(const char* path) override {
        std::lock_guard<std::mutex> guard(m_lock);
        count("rmdir");
        std::string name(path);
        while (name.size() > 1 && name.back() == '/') {
            name.pop_back();
        }
        if (m_directories.count(name) == 0) {
            return -1;
        }
        const std::string inside = name + "/";
        for (const auto& file : m_files) {
            if (file.first.compare(0, inside.size(), inside) == 0) {
                return -1;
            }
        }
        for (const auto& dir : m_directories) {
            if (dir.compare(0, inside.size(), inside) == 0) {
                return -1;
            }
        }
        m_directories.erase(name);
        return 0;
    }
    int statfs(const char*, unsigned long long* available, unsigned long long* total,
               unsigned long long* free) override {
        std::lock_guard<std::mutex> guard(m_lock);
        count("statfs");
        *available = 1000;
        *total = 3000;
        *free = 2000;
        return 0;
    }
    int access(const char* path, int) override {
        std::lock_guard<std::mutex> guard(m_lock);
        count("access");
        return m_files.count(path) != 0 || m_directories.count(path) != 0 ? 0 : -1;
    }
    int stat(const char* path, Tovix::Infra::FileInfo* out) override {
        std::lock_guard<std::mutex> guard(m_lock);
        count("stat");
        const auto found = m_files.find(path);
        if (found == m_files.end()) {
            return -1;
        }
        std::snprintf(out->name, sizeof(out->name), "%s", path);
        out->size = found->second->size();
        return 0;
    }
    int fseek64(void* handle, long long offset, int origin) override {
        std::lock_guard<std::mutex> guard(m_lock);
        count("fseek64");
        return seekTo(static_cast<Handle*>(handle), offset, origin);
    }
    long long ftell64(void* handle) override {
        std::lock_guard<std::mutex> guard(m_lock);
        count("ftell64");
        return static_cast<long long>(static_cast<Handle*>(handle)->position);
    }

private:
    struct Entry {
        std::string name;
        bool isDirectory;
        std::size_t size;
    };
    struct Search {
        std::vector<Entry> entries;
        std::size_t next;
    };

    void count(const char* slot) { ++m_calls[slot]; }

    int seekTo(Handle* file, long long offset, int origin) {
        long long base = 0;
        if (origin == SEEK_CUR) {
            base = static_cast<long long>(file->position);
        } else if (origin == SEEK_END) {
            base = static_cast<long long>(file->data->size());
        }
        if (base + offset < 0) {
            return -1;
        }
        file->position = static_cast<std::size_t>(base + offset);
        return 0;
    }

    bool parentExists(const std::string& path) const {
        const std::size_t slash = path.rfind('/');
        return slash == std::string::npos || slash == 0 ||
               m_directories.count(path.substr(0, slash)) != 0;
    }

    static void addIfChild(std::vector<Entry>& entries, const std::string& directory,
                           const std::string& pattern, const std::string& path, bool isDirectory,
                           std::size_t size) {
        const std::string inside = directory.empty() ? "" : directory + "/";
        if (path.compare(0, inside.size(), inside) != 0) {
            return;
        }
        const std::string name = path.substr(inside.size());
        if (name.empty() || name.find('/') != std::string::npos ||
            !wildcardMatch(pattern.c_str(), name.c_str())) {
            return;
        }
        entries.push_back(Entry{name, isDirectory, size});
    }

    void fill(Search& search, Tovix::Infra::FileInfo* out) {
        const auto& entry = search.entries[search.next++];
        std::memset(out, 0, sizeof(*out));
        std::snprintf(out->name, sizeof(out->name), "%s", entry.name.c_str());
        out->attrib = entry.isDirectory ? 0x10 : 0;
        out->size = entry.size;
    }

    std::mutex m_lock;
    std::map<std::string, int> m_calls;
    std::map<std::string, std::shared_ptr<std::string>> m_files;
    std::set<std::string> m_directories;
    std::map<long, Search> m_searches;
    long m_nextSearch = 7;
    std::size_t m_openHandles = 0;
    std::string m_lastFindInput;
    std::string m_lastMode;
};

// Forwards every call to the default file system and counts it.
class CountingFileSystem : public Tovix::Infra::IFileSystem {
public:
    std::atomic<int> fseekCalls{0};
    std::atomic<int> ftellCalls{0};
    std::atomic<int> fseek64Calls{0};
    std::atomic<int> ftell64Calls{0};
    std::atomic<int> freadCalls{0};
    std::atomic<int> fwriteCalls{0};
    std::atomic<int> fgetsCalls{0};
    std::atomic<int> lastFgetsSize{0};
    std::atomic<int> writevCalls{0};
    std::atomic<int> statCalls{0};
    std::atomic<int> fopenCalls{0};
    std::atomic<std::size_t> largestTransfer{0};
    std::string lastMode;

    int total() const {
        return fseekCalls + ftellCalls + fseek64Calls + ftell64Calls + freadCalls + fwriteCalls +
               fgetsCalls + writevCalls + statCalls;
    }

    void* fopen(const char* path, const char* mode) override {
        ++fopenCalls;
        lastMode = mode;
        return base()->fopen(path, mode);
    }
    int fclose(void* handle) override { return base()->fclose(handle); }
    std::size_t fread(void* buffer, std::size_t size, std::size_t items, void* handle) override {
        ++freadCalls;
        noteTransfer(size * items);
        return base()->fread(buffer, size, items, handle);
    }
    std::size_t fwrite(const void* buffer, std::size_t size, std::size_t items,
                       void* handle) override {
        ++fwriteCalls;
        noteTransfer(size * items);
        return base()->fwrite(buffer, size, items, handle);
    }
    int fflush(void* handle) override { return base()->fflush(handle); }
    int fseek(void* handle, long offset, int origin) override {
        ++fseekCalls;
        return base()->fseek(handle, offset, origin);
    }
    long ftell(void* handle) override {
        ++ftellCalls;
        return base()->ftell(handle);
    }
    char* fgets(char* buffer, int size, void* handle) override {
        ++fgetsCalls;
        lastFgetsSize = size;
        return base()->fgets(buffer, size, handle);
    }
    int fputs(const char* text, void* handle) override { return base()->fputs(text, handle); }
    int rename(const char* oldPath, const char* newPath) override {
        return base()->rename(oldPath, newPath);
    }
    int remove(const char* path) override { return base()->remove(path); }
    long findfirst(const char* pattern, Tovix::Infra::FileInfo* out) override {
        return base()->findfirst(pattern, out);
    }
    int findnext(long handle, Tovix::Infra::FileInfo* out) override {
        return base()->findnext(handle, out);
    }
    int findclose(long handle) override { return base()->findclose(handle); }
    int mkdir(const char* path) override { return base()->mkdir(path); }
    int rmdir(const char* path) override { return base()->rmdir(path); }
    int statfs(const char* path, unsigned long long* available, unsigned long long* total,
               unsigned long long* free) override {
        return base()->statfs(path, available, total, free);
    }
    int access(const char* path, int mode) override { return base()->access(path, mode); }
    int stat(const char* path, Tovix::Infra::FileInfo* out) override {
        ++statCalls;
        return base()->stat(path, out);
    }
    long writev(int descriptor, const Tovix::Infra::io_vec* vector, int count) override {
        ++writevCalls;
        return base()->writev(descriptor, vector, count);
    }
    int fseek64(void* handle, long long offset, int origin) override {
        ++fseek64Calls;
        return base()->fseek64(handle, offset, origin);
    }
    long long ftell64(void* handle) override {
        ++ftell64Calls;
        return base()->ftell64(handle);
    }

private:
    static Tovix::Infra::IFileSystem* base() { return Tovix::Infra::FileDefaultOpt::instance(); }
    void noteTransfer(std::size_t bytes) {
        std::size_t seen = largestTransfer.load();
        while (bytes > seen && !largestTransfer.compare_exchange_weak(seen, bytes)) {
        }
    }
};

// Unhooks a prefix when the test ends, whatever happens.
class ScopedHook {
public:
    ScopedHook(const std::string& prefix, Tovix::Infra::IFileSystem* fileSystem)
        : m_prefix(prefix) {
        Tovix::Infra::hookFileSystem(m_prefix.c_str(), fileSystem);
    }
    ~ScopedHook() { Tovix::Infra::hookFileSystem(m_prefix.c_str(), nullptr); }
    ScopedHook(const ScopedHook&) = delete;
    ScopedHook& operator=(const ScopedHook&) = delete;

private:
    std::string m_prefix;
};

}  // namespace FileTestSupport

#endif  // INFRA_TESTS_FILES_FILETESTSUPPORT_H
