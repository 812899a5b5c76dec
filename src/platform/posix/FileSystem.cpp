// Platform, POSIX file and directory seam: open(2) + fdopen, fseeko/ftello, stat/lstat, access,
// statvfs, mkdir/rmdir and opendir/readdir/fnmatch listings.
#if !defined(_FILE_OFFSET_BITS)
#define _FILE_OFFSET_BITS 64
#endif

#include "platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

namespace Tovix {
namespace Platform {

namespace {

constexpr std::size_t kStreamBufferSize = 16384;

// glibc ignores the size given to setvbuf with a null buffer and keeps its default (the
// block size, usually 4 KiB), so streams get a buffer of their own, freed after the stream is
// closed. Keyed by stream; never destroyed, as streams may be closed by exit handlers.
struct StreamBuffers {
    std::mutex lock;
    // Keyed by the stream's address as a number: the key is still needed after fclose.
    std::unordered_map<std::uintptr_t, char*> buffers;
};

StreamBuffers& streamBuffers() {
    static StreamBuffers* const buffers = new StreamBuffers;
    return *buffers;
}

}  // namespace

bool isPathSeparator(char c) {
    return c == '/';
}

std::size_t pathDriveLength(const char* /*path*/) {
    return 0;
}

bool streamTargetPath(std::FILE* stream, char* text, std::size_t size) {
    if (stream == nullptr || text == nullptr || size < 2) {
        return false;
    }
    const int descriptor = ::fileno(stream);
    if (descriptor < 0) {
        return false;
    }
    char link[48];
    std::snprintf(link, sizeof(link), "/proc/self/fd/%d", descriptor);
    const ssize_t length = ::readlink(link, text, size - 1);
    if (length < 0 || static_cast<std::size_t>(length) >= size - 1) {
        return false;  // unknown, or possibly cut
    }
    text[length] = '\0';
    return true;
}

std::FILE* streamOpen(const char* path, const StreamOpenFlags& flags, const char* streamMode) {
    if (path == nullptr || streamMode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    int openFlags = 0;
    if (flags.read && flags.write) {
        openFlags = O_RDWR;
    } else if (flags.write) {
        openFlags = O_WRONLY;
    } else {
        openFlags = O_RDONLY;
    }
    if (flags.append) {
        openFlags |= O_APPEND;
    }
    if (flags.create) {
        openFlags |= O_CREAT;
    }
    if (flags.truncate) {
        openFlags |= O_TRUNC;
    }
    if (flags.noInherit) {
        openFlags |= O_CLOEXEC;
    }
    const int descriptor = ::open(path, openFlags, S_IRUSR | S_IWUSR);
    if (descriptor < 0) {
        return nullptr;
    }
    std::FILE* stream = ::fdopen(descriptor, streamMode);
    if (stream == nullptr) {
        const int error = errno;
        ::close(descriptor);
        errno = error;
        return nullptr;
    }
    char* buffer = static_cast<char*>(std::malloc(kStreamBufferSize));
    if (buffer != nullptr && std::setvbuf(stream, buffer, _IOFBF, kStreamBufferSize) == 0) {
        StreamBuffers& buffers = streamBuffers();
        std::lock_guard<std::mutex> guard(buffers.lock);
        // A stale entry can only belong to a stream closed behind our back; its memory is
        // no longer used by anyone.
        char*& slot = buffers.buffers[reinterpret_cast<std::uintptr_t>(stream)];
        std::free(slot);
        slot = buffer;
    } else {
        std::free(buffer);
        std::setvbuf(stream, nullptr, _IOFBF, kStreamBufferSize);
    }
    return stream;
}

int streamClose(std::FILE* stream) {
    if (stream == nullptr) {
        errno = EINVAL;
        return EOF;
    }
    // The entry goes before the stream: once closed, its address may be handed to a stream
    // another thread opens, whose buffer must not be taken for this one's.
    char* buffer = nullptr;
    {
        StreamBuffers& buffers = streamBuffers();
        std::lock_guard<std::mutex> guard(buffers.lock);
        const auto found = buffers.buffers.find(reinterpret_cast<std::uintptr_t>(stream));
        if (found != buffers.buffers.end()) {
            buffer = found->second;
            buffers.buffers.erase(found);
        }
    }
    const int result = std::fclose(stream);
    std::free(buffer);
    return result;
}

int streamDescriptor(std::FILE* stream) {
    return stream != nullptr ? ::fileno(stream) : -1;
}

int streamSeek64(std::FILE* stream, std::int64_t offset, int origin) {
    if (stream == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return ::fseeko(stream, static_cast<off_t>(offset), origin) == 0 ? 0 : -1;
}

std::int64_t streamTell64(std::FILE* stream) {
    if (stream == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<std::int64_t>(::ftello(stream));
}

namespace {

void fillStatus(const struct stat& record, FileStatus* out) {
    out->mode = static_cast<std::uint32_t>(record.st_mode);
    out->timeCreate = static_cast<std::int64_t>(record.st_ctime);
    out->timeAccess = static_cast<std::int64_t>(record.st_atime);
    out->timeWrite = static_cast<std::int64_t>(record.st_mtime);
    out->size = static_cast<std::uint64_t>(record.st_size);
}

}  // namespace

int fileStat(const char* path, FileStatus* out) {
    if (path == nullptr || out == nullptr) {
        errno = EINVAL;
        return -1;
    }
    struct stat record;
    if (::stat(path, &record) != 0) {
        return -1;
    }
    fillStatus(record, out);
    return 0;
}

bool fileIsLink(const char* path) {
    if (path == nullptr) {
        return false;
    }
    // lstat of "link/" follows the link; examine the name itself.
    std::string name(path);
    while (name.size() > 1 && name.back() == '/') {
        name.pop_back();
    }
    struct stat record;
    return ::lstat(name.c_str(), &record) == 0 && S_ISLNK(record.st_mode);
}

int directoryProbeWrite(const char* directory) {
    if (directory == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::string name = directory;
    if (name.empty() || name.back() != '/') {
        name += '/';
    }
    name += ".infra-probe-XXXXXX";
    const int descriptor = ::mkstemp(&name[0]);
    if (descriptor < 0) {
        return -1;
    }
    ::close(descriptor);
    ::unlink(name.c_str());
    return 0;
}

bool modeIsDirectory(std::uint32_t mode) {
    return S_ISDIR(static_cast<mode_t>(mode));
}

int fileAccess(const char* path, int mode) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int how = F_OK;
    if ((mode & 4) != 0) {
        how |= R_OK;
    }
    if ((mode & 2) != 0) {
        how |= W_OK;
    }
    if ((mode & 1) != 0) {
        how |= X_OK;
    }
    return ::access(path, how) == 0 ? 0 : -1;
}

int fileSystemSpace(const char* path, std::uint64_t* available, std::uint64_t* total,
                    std::uint64_t* free) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    struct statvfs record;
    if (::statvfs(path, &record) != 0) {
        return -1;
    }
    const std::uint64_t unit = record.f_frsize != 0 ? record.f_frsize : record.f_bsize;
    if (available != nullptr) {
        *available = static_cast<std::uint64_t>(record.f_bavail) * unit;
    }
    if (total != nullptr) {
        *total = static_cast<std::uint64_t>(record.f_blocks) * unit;
    }
    if (free != nullptr) {
        *free = static_cast<std::uint64_t>(record.f_bfree) * unit;
    }
    return 0;
}

int directoryCreate(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return ::mkdir(path, 0777) == 0 ? 0 : -1;
}

int directoryRemove(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return ::rmdir(path) == 0 ? 0 : -1;
}

struct DirectorySearch {
    DIR* directory;
    std::string prefix;   // the pattern's directory part ("" or ending in '/')
    std::string pattern;  // its last component
};

namespace {

// Fills `entry` from the next matching name; false at the end of the directory.
bool readMatch(DirectorySearch* search, DirectoryEntry* entry) {
    for (;;) {
        errno = 0;
        const struct dirent* item = ::readdir(search->directory);
        if (item == nullptr) {
            return false;
        }
        if (::fnmatch(search->pattern.c_str(), item->d_name, 0) != 0) {
            continue;
        }
        std::memset(entry, 0, sizeof(*entry));
        setEntryName(*entry, item->d_name);
        const std::string path = search->prefix + item->d_name;
        // The attributes of what a link points to; a dangling link is described by itself.
        struct stat record;
        if (::stat(path.c_str(), &record) == 0 || ::lstat(path.c_str(), &record) == 0) {
            FileStatus status;
            fillStatus(record, &status);
            entry->timeCreate = status.timeCreate;
            entry->timeAccess = status.timeAccess;
            entry->timeWrite = status.timeWrite;
            entry->size = status.size;
            if (S_ISDIR(record.st_mode)) {
                entry->attributes |= kAttributeDirectory;
            }
            if ((record.st_mode & S_IWUSR) == 0) {
                entry->attributes |= kAttributeReadOnly;
            }
        }
        if (item->d_name[0] == '.') {
            entry->attributes |= kAttributeHidden;
        }
        return true;
    }
}

}  // namespace

DirectorySearch* directorySearchOpen(const char* pattern, DirectoryEntry* first) {
    if (pattern == nullptr || first == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    const char* slash = std::strrchr(pattern, '/');
    std::string prefix;
    std::string last;
    if (slash != nullptr) {
        prefix.assign(pattern, static_cast<std::size_t>(slash - pattern) + 1);
        last = slash + 1;
    } else {
        last = pattern;
    }
    if (last.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    DIR* directory = ::opendir(prefix.empty() ? "." : prefix.c_str());
    if (directory == nullptr) {
        return nullptr;
    }
    DirectorySearch* search = new (std::nothrow) DirectorySearch;
    if (search == nullptr) {
        ::closedir(directory);
        errno = ENOMEM;
        return nullptr;
    }
    search->directory = directory;
    search->prefix = std::move(prefix);
    search->pattern = std::move(last);
    if (!readMatch(search, first)) {
        directorySearchClose(search);
        errno = ENOENT;
        return nullptr;
    }
    return search;
}

bool directorySearchNext(DirectorySearch* search, DirectoryEntry* next) {
    if (search == nullptr || next == nullptr) {
        return false;
    }
    return readMatch(search, next);
}

void directorySearchClose(DirectorySearch* search) {
    if (search == nullptr) {
        return;
    }
    ::closedir(search->directory);
    delete search;
}

}  // namespace Platform
}  // namespace Tovix
