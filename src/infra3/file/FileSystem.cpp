// Files, file systems: the IFileSystem defaults, the hook table that chooses a file system by path
// prefix, and FileDefaultOpt over the standard C library and the platform seam.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "infra/Assert.h"
#include "infra/File.h"
#include "infra/Mutex.h"
#include "infra3/core/Diagnostics.h"
#include "infra3/core/Singleton.h"
#include "infra3/file/FileInternal.h"
#include "platform/FileSystem.h"

namespace Tovix {
namespace Infra {

// ---- IFileSystem defaults -------------------------------------------------------------------

IFileSystem::~IFileSystem() = default;

long IFileSystem::writev(int /*descriptor*/, const io_vec* /*vector*/, int /*count*/) {
    return 0;
}

int IFileSystem::fseek64(void* /*handle*/, long long /*offset*/, int /*origin*/) {
    return -1;
}

long long IFileSystem::ftell64(void* /*handle*/) {
    return -1;
}

// ---- Hook table -----------------------------------------------------------------------------

namespace {

constexpr int kHookSlots = 32;
constexpr std::size_t kPrefixSize = 256;

struct HookSlot {
    // As hooked (cut to 255 characters): unhooking compares with it.
    char prefix[kPrefixSize];
    // The prefix lexically normalised: paths are matched against it.
    std::string normalised;
    IFileSystem* fileSystem;
};

// Slot 0 is never used. The lock costs little beside a file operation and keeps a hook
// installed late from racing with lookups. Never destroyed: files are closed and paths looked
// up by static destructors and exit handlers too.
struct HookTable {
    CMutex lock;
    HookSlot slots[kHookSlots] = {};
};

HookTable& hookTable() {
    static HookTable* const table = new HookTable;
    return *table;
}

// `path` as text naming the same file without detours, so that a hook cannot be slipped past
// ("dir/./vault", "dir//vault") nor made to serve what lies outside it ("dir/vault/../../etc"):
// repeated separators and "." components go, ".." takes the component before it away, every
// separator is written '/'. A ".." above the root is dropped (the root is its own parent); one
// above the start of a relative path is kept. A relative path that does not climb begins with
// "./", and a path naming a directory (a final separator, ".", "..") ends in '/'. Purely
// lexical: links are not followed.
std::string normalisedPath(const char* path) {
    if (path[0] == '\0') {
        return std::string();
    }
    const std::size_t drive = Platform::pathDriveLength(path);
    const char* p = path + drive;
    const bool absolute = Platform::isPathSeparator(*p);
    std::vector<std::string_view> parts;
    bool directory = false;
    while (*p != '\0') {
        if (Platform::isPathSeparator(*p)) {
            directory = true;
            ++p;
            continue;
        }
        const char* const start = p;
        while (*p != '\0' && !Platform::isPathSeparator(*p)) {
            ++p;
        }
        const std::string_view part(start, static_cast<std::size_t>(p - start));
        directory = part == "." || part == "..";
        if (part == ".") {
            continue;
        }
        if (part == ".." && (parts.empty() || parts.back() == "..")) {
            if (!absolute) {
                parts.push_back(part);
            }
        } else if (part == "..") {
            parts.pop_back();
        } else {
            parts.push_back(part);
        }
    }
    std::string out(path, drive);
    if (absolute) {
        out += '/';
    } else if (drive == 0 && (parts.empty() || parts.front() != "..")) {
        out += "./";
    }
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i != 0) {
            out += '/';
        }
        out.append(parts[i].data(), parts[i].size());
    }
    if (directory && !parts.empty()) {
        out += '/';
    }
    return out;
}

}  // namespace

void hookFileSystem(const char* prefix, IFileSystem* fileSystem) {
    if (prefix == nullptr || prefix[0] == '\0') {
        return;
    }
    HookTable& table = hookTable();
    CMutexGuard guard(table.lock);
    for (int i = 1; i < kHookSlots; ++i) {
        HookSlot& slot = table.slots[i];
        if (fileSystem != nullptr) {
            if (slot.prefix[0] == '\0') {
                std::strncpy(slot.prefix, prefix, kPrefixSize - 1);
                slot.prefix[kPrefixSize - 1] = '\0';
                slot.normalised = normalisedPath(slot.prefix);
                slot.fileSystem = fileSystem;
                return;
            }
        } else if (slot.prefix[0] != '\0' &&
                   std::strncmp(slot.prefix, prefix, kPrefixSize - 1) == 0) {
            // Compared as stored (cut to 255 characters), so the prefix a hook was made with
            // always removes it.
            slot.prefix[0] = '\0';
            slot.normalised.clear();
            slot.fileSystem = nullptr;
            return;
        }
    }
}

namespace Detail {

IFileSystem* fileSystemOf(const char* path) {
    if (path != nullptr) {
        // Normalised once a hook is there to match: without hooks a path costs no copy.
        std::string wanted;
        bool normalised = false;
        HookTable& table = hookTable();
        CMutexGuard guard(table.lock);
        for (int i = 1; i < kHookSlots; ++i) {
            const HookSlot& slot = table.slots[i];
            if (slot.prefix[0] == '\0') {
                continue;
            }
            if (!normalised) {
                wanted = normalisedPath(path);
                normalised = true;
            }
            if (wanted.compare(0, slot.normalised.size(), slot.normalised) == 0) {
                return slot.fileSystem;
            }
        }
    }
    return FileDefaultOpt::instance();
}

bool fileHandlesAreStreams(const IFileSystem* fileSystem) {
    return fileSystem == FileDefaultOpt::instance();
}

int fileStreamDescriptor(void* handle) {
    return Platform::streamDescriptor(static_cast<std::FILE*>(handle));
}

void fileShowDescriptor(void* handle) {
    // Read from the system, not by starting a program: one found through PATH would run with
    // this process's rights, and its output would land on the caller's standard output.
    char target[1024];
    if (!Platform::streamTargetPath(static_cast<std::FILE*>(handle), target, sizeof(target))) {
        std::snprintf(target, sizeof(target), "%s", "an unknown file");
    }
    INFRA_DIAG(kLevelWarn, "file descriptor %d refers to %s\n", fileStreamDescriptor(handle),
               target);
}

}  // namespace Detail

// ---- FileDefaultOpt -------------------------------------------------------------------------

namespace {

std::FILE* stream(void* handle) {
    return static_cast<std::FILE*>(handle);
}

void copyName(char (&target)[260], const char* name) {
    std::size_t length = std::strlen(name);
    if (length >= sizeof(target)) {
        length = sizeof(target) - 1;
    }
    std::memcpy(target, name, length);
    target[length] = '\0';
}

void copyEntry(const Platform::DirectoryEntry& entry, FileInfo* out) {
    copyName(out->name, entry.name);
    out->attrib = entry.attributes;
    out->time_create = entry.timeCreate;
    out->time_access = entry.timeAccess;
    out->time_write = entry.timeWrite;
    out->size = entry.size;
}

// Searches are named by small numbers, so a stale or made-up handle is refused instead of
// being taken for a pointer. Never destroyed, like the other file-system state.
struct SearchTable {
    CMutex lock;
    std::vector<Platform::DirectorySearch*> searches;
};

SearchTable& searchTable() {
    static SearchTable* const table = new SearchTable;
    return *table;
}

// The search a handle names; null when it names none. With `remove` its slot is freed.
// A search is used by one thread at a time, so it stays valid after the lock is released.
Platform::DirectorySearch* findSearch(long handle, bool remove) {
    SearchTable& table = searchTable();
    CMutexGuard guard(table.lock);
    if (handle < 0 || static_cast<unsigned long>(handle) >= table.searches.size()) {
        return nullptr;
    }
    Platform::DirectorySearch*& slot = table.searches[static_cast<std::size_t>(handle)];
    Platform::DirectorySearch* const search = slot;
    if (remove) {
        slot = nullptr;
    }
    return search;
}

}  // namespace

FileDefaultOpt* FileDefaultOpt::instance() {
    return Detail::TSingleton<FileDefaultOpt, Detail::SingletonLifetime::kImmortal>::instance();
}

FileDefaultOpt::FileDefaultOpt() = default;
FileDefaultOpt::~FileDefaultOpt() = default;

void* FileDefaultOpt::fopen(const char* path, const char* mode) {
    INFRA_ASSERT_TEXT(mode != nullptr, "mode != NULL");
    const std::size_t len = std::strlen(mode);
    INFRA_ASSERT_TEXT(len > 0, "len > 0");
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    const bool hasRead = std::strchr(mode, 'r') != nullptr;
    const bool hasWrite = std::strchr(mode, 'w') != nullptr;
    const bool hasAppend = std::strchr(mode, 'a') != nullptr;
    const bool hasPlus = std::strchr(mode, '+') != nullptr;
    // A mode naming no access would open read-only yet create the file; refuse it instead.
    if (!hasRead && !hasWrite && !hasAppend) {
        errno = EINVAL;
        return nullptr;
    }
    Platform::StreamOpenFlags flags{};
    const bool writeOnly = !hasPlus && !hasRead && (hasWrite || hasAppend);
    flags.read = hasPlus || !writeOnly;
    flags.write = hasPlus || writeOnly;
    flags.append = hasAppend;
    flags.create = !hasRead;
    flags.truncate = hasWrite;
    flags.binary = std::strchr(mode, 'b') != nullptr;
    flags.noInherit = std::strchr(mode, 'e') != nullptr;

    std::string cleaned(mode, len);
    for (const char letter : {'e', 'd'}) {
        const std::size_t at = cleaned.find(letter);
        if (at != std::string::npos) {
            cleaned.erase(at, 1);
        }
    }
    return Platform::streamOpen(path, flags, cleaned.c_str());
}

int FileDefaultOpt::fclose(void* handle) {
    return Platform::streamClose(stream(handle));
}

std::size_t FileDefaultOpt::fread(void* buffer, std::size_t size, std::size_t count, void* handle) {
    if (handle == nullptr || buffer == nullptr) {
        return 0;
    }
    return std::fread(buffer, size, count, stream(handle));
}

std::size_t FileDefaultOpt::fwrite(const void* buffer, std::size_t size, std::size_t count,
                                   void* handle) {
    if (handle == nullptr || buffer == nullptr) {
        return 0;
    }
    return std::fwrite(buffer, size, count, stream(handle));
}

int FileDefaultOpt::fflush(void* handle) {
    // A null handle would flush every stream of the process.
    return handle != nullptr ? std::fflush(stream(handle)) : EOF;
}

int FileDefaultOpt::fseek(void* handle, long offset, int origin) {
    return handle != nullptr ? std::fseek(stream(handle), offset, origin) : -1;
}

long FileDefaultOpt::ftell(void* handle) {
    return handle != nullptr ? std::ftell(stream(handle)) : -1L;
}

char* FileDefaultOpt::fgets(char* buffer, int size, void* handle) {
    if (handle == nullptr || buffer == nullptr || size <= 0) {
        return nullptr;
    }
    return std::fgets(buffer, size, stream(handle));
}

int FileDefaultOpt::fputs(const char* text, void* handle) {
    if (handle == nullptr || text == nullptr) {
        return EOF;
    }
    return std::fputs(text, stream(handle));
}

int FileDefaultOpt::rename(const char* oldPath, const char* newPath) {
    if (oldPath == nullptr || newPath == nullptr) {
        return -1;
    }
    return std::rename(oldPath, newPath) == 0 ? 0 : -1;
}

int FileDefaultOpt::remove(const char* path) {
    if (path == nullptr) {
        return -1;
    }
    return std::remove(path) == 0 ? 0 : -1;
}

long FileDefaultOpt::findfirst(const char* pattern, FileInfo* out) {
    if (pattern == nullptr || out == nullptr) {
        return -1;
    }
    Platform::DirectoryEntry entry;
    Platform::DirectorySearch* search = Platform::directorySearchOpen(pattern, &entry);
    if (search == nullptr) {
        return -1;
    }
    copyEntry(entry, out);
    SearchTable& table = searchTable();
    CMutexGuard guard(table.lock);
    for (std::size_t i = 0; i < table.searches.size(); ++i) {
        if (table.searches[i] == nullptr) {
            table.searches[i] = search;
            return static_cast<long>(i);
        }
    }
    table.searches.push_back(search);
    return static_cast<long>(table.searches.size() - 1);
}

int FileDefaultOpt::findnext(long handle, FileInfo* out) {
    if (out == nullptr) {
        return -1;
    }
    Platform::DirectorySearch* const search = findSearch(handle, false);
    Platform::DirectoryEntry entry;
    if (search == nullptr || !Platform::directorySearchNext(search, &entry)) {
        return -1;
    }
    copyEntry(entry, out);
    return 0;
}

int FileDefaultOpt::findclose(long handle) {
    Platform::DirectorySearch* const search = findSearch(handle, true);
    if (search == nullptr) {
        return -1;
    }
    Platform::directorySearchClose(search);
    return 0;
}

int FileDefaultOpt::mkdir(const char* path) {
    return Platform::directoryCreate(path);
}

int FileDefaultOpt::rmdir(const char* path) {
    return Platform::directoryRemove(path);
}

int FileDefaultOpt::statfs(const char* path, unsigned long long* available,
                           unsigned long long* total, unsigned long long* free) {
    std::uint64_t availableBytes = 0;
    std::uint64_t totalBytes = 0;
    std::uint64_t freeBytes = 0;
    if (Platform::fileSystemSpace(path, &availableBytes, &totalBytes, &freeBytes) != 0) {
        return -1;
    }
    if (available != nullptr) {
        *available = availableBytes;
    }
    if (total != nullptr) {
        *total = totalBytes;
    }
    if (free != nullptr) {
        *free = freeBytes;
    }
    return 0;
}

int FileDefaultOpt::access(const char* path, int mode) {
    return Platform::fileAccess(path, mode);
}

int FileDefaultOpt::stat(const char* path, FileInfo* out) {
    if (path == nullptr || out == nullptr) {
        return -1;
    }
    Platform::FileStatus status;
    if (Platform::fileStat(path, &status) != 0) {
        return -1;
    }
    copyName(out->name, path);
    out->attrib = status.mode;
    out->time_create = status.timeCreate;
    out->time_access = status.timeAccess;
    out->time_write = status.timeWrite;
    out->size = status.size;
    return 0;
}

long FileDefaultOpt::writev(int /*descriptor*/, const io_vec* /*vector*/, int /*count*/) {
    // Writing past the stream's buffer straight to its descriptor would reorder the data.
    return -1;
}

int FileDefaultOpt::fseek64(void* handle, long long offset, int origin) {
    return Platform::streamSeek64(stream(handle), static_cast<std::int64_t>(offset), origin);
}

long long FileDefaultOpt::ftell64(void* handle) {
    return static_cast<long long>(Platform::streamTell64(stream(handle)));
}

}  // namespace Infra
}  // namespace Tovix
