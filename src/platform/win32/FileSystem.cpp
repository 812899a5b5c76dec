// Platform, Windows file and directory seam over the C runtime: _open + _fdopen,
// _fseeki64/_ftelli64, _stat64, _access, _mkdir/_rmdir, _findfirst64/_findnext64 listings with the
// runtime's own attribute bits, and GetDiskFreeSpaceExA for the space of a volume.
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "WindowsHeader.h"
#include "platform/FileSystem.h"

namespace Tovix {
namespace Platform {

namespace {

constexpr std::size_t kStreamBufferSize = 16384;

// Reparse tags of the links the system follows silently (winnt.h spells them too, but not every
// SDK version does).
constexpr DWORD kReparseTagMountPoint = 0xA0000003UL;
constexpr DWORD kReparseTagSymlink = 0xA000000CUL;

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

// `path` without trailing separators, except where they are the whole root ("/", "C:\").
// `*trimmed` tells whether any were taken off. The runtime's stat and the attribute query refuse
// "dir\" although they accept "dir", where POSIX accepts both.
std::string withoutTrailingSeparators(const char* path, bool* trimmed) {
    std::string name(path);
    std::size_t keep = 1;  // "/" or "\"
    if (name.size() >= 2 && name[1] == ':') {
        keep = 3;  // "C:\"
    }
    *trimmed = false;
    while (name.size() > keep && isSeparator(name.back())) {
        name.pop_back();
        *trimmed = true;
    }
    return name;
}

// errno for a failed Win32 call, so that callers see the same codes as from the runtime.
int errnoFromWin32(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_INVALID_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EACCES;
        case ERROR_NOT_READY:
            return EAGAIN;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_INVALID_PARAMETER:
            return EINVAL;
        default:
            return EIO;
    }
}

}  // namespace

// ---- Streams --------------------------------------------------------------------------------

std::FILE* streamOpen(const char* path, const StreamOpenFlags& flags, const char* streamMode) {
    if (path == nullptr || streamMode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    int openFlags = 0;
    if (flags.read && flags.write) {
        openFlags = _O_RDWR;
    } else if (flags.write) {
        openFlags = _O_WRONLY;
    } else {
        openFlags = _O_RDONLY;
    }
    if (flags.append) {
        openFlags |= _O_APPEND;
    }
    if (flags.create) {
        openFlags |= _O_CREAT;
    }
    if (flags.truncate) {
        openFlags |= _O_TRUNC;
    }
    // Without 'b' the translation follows the runtime's default (_fmode), as fopen's does; the
    // stream below is given the same mode text, so descriptor and stream agree.
    if (flags.binary) {
        openFlags |= _O_BINARY;
    }
    if (flags.noInherit) {
        openFlags |= _O_NOINHERIT;
    }
    // A created file is readable and writable: the only permission Windows keeps is whether
    // the file may be written.
    const int descriptor = ::_open(path, openFlags, _S_IREAD | _S_IWRITE);
    if (descriptor < 0) {
        return nullptr;
    }
    std::FILE* stream = ::_fdopen(descriptor, streamMode);
    if (stream == nullptr) {
        const int error = errno;
        ::_close(descriptor);
        errno = error != 0 ? error : EINVAL;
        return nullptr;
    }
    // With a null buffer the runtime allocates one of the size asked for and frees it with the
    // stream, so no bookkeeping is needed here. A refusal keeps the runtime's own buffer.
    std::setvbuf(stream, nullptr, _IOFBF, kStreamBufferSize);
    return stream;
}

int streamClose(std::FILE* stream) {
    if (stream == nullptr) {
        errno = EINVAL;
        return EOF;
    }
    return std::fclose(stream);
}

int streamDescriptor(std::FILE* stream) {
    return stream != nullptr ? ::_fileno(stream) : -1;
}

bool isPathSeparator(char c) {
    return isSeparator(c);
}

std::size_t pathDriveLength(const char* path) {
    const bool letter = (path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z');
    return letter && path[1] == ':' ? 2 : 0;
}

bool streamTargetPath(std::FILE* stream, char* text, std::size_t size) {
    if (stream == nullptr || text == nullptr || size < 2 || size > MAXDWORD) {
        return false;
    }
    const int descriptor = ::_fileno(stream);
    if (descriptor < 0) {
        return false;
    }
    const HANDLE handle = reinterpret_cast<HANDLE>(::_get_osfhandle(descriptor));
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    // The result counts the characters written, or the room needed when they do not fit.
    const DWORD length =
        ::GetFinalPathNameByHandleA(handle, text, static_cast<DWORD>(size), FILE_NAME_NORMALIZED);
    return length != 0 && length < size;
}

int streamSeek64(std::FILE* stream, std::int64_t offset, int origin) {
    if (stream == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // The runtime hands an unknown origin to its invalid-parameter handler, which ends the
    // process; refuse it here instead.
    if (origin != SEEK_SET && origin != SEEK_CUR && origin != SEEK_END) {
        errno = EINVAL;
        return -1;
    }
    return ::_fseeki64(stream, static_cast<__int64>(offset), origin) == 0 ? 0 : -1;
}

std::int64_t streamTell64(std::FILE* stream) {
    if (stream == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<std::int64_t>(::_ftelli64(stream));
}

// ---- Status ---------------------------------------------------------------------------------

int fileStat(const char* path, FileStatus* out) {
    if (path == nullptr || out == nullptr) {
        errno = EINVAL;
        return -1;
    }
    bool trimmed = false;
    const std::string name = withoutTrailingSeparators(path, &trimmed);
    struct _stat64 record;
    if (::_stat64(name.c_str(), &record) != 0) {
        return -1;
    }
    // "file\" names no directory: refused as POSIX refuses it.
    if (trimmed && (record.st_mode & _S_IFDIR) == 0) {
        errno = ENOTDIR;
        return -1;
    }
    out->mode = static_cast<std::uint32_t>(record.st_mode);
    out->timeCreate = static_cast<std::int64_t>(record.st_ctime);
    out->timeAccess = static_cast<std::int64_t>(record.st_atime);
    out->timeWrite = static_cast<std::int64_t>(record.st_mtime);
    out->size = static_cast<std::uint64_t>(record.st_size);
    return 0;
}

bool fileIsLink(const char* path) {
    if (path == nullptr || path[0] == '\0') {
        return false;
    }
    bool trimmed = false;
    const std::string name = withoutTrailingSeparators(path, &trimmed);
    const DWORD attributes = GetFileAttributesA(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return false;
    }
    // Reparse points also mark deduplicated, compressed-on-demand and cloud placeholder files,
    // which are ordinary files and folders to their users; only symbolic links and junctions
    // lead elsewhere. The tag comes with the entry's listing.
    WIN32_FIND_DATAA data;
    const HANDLE find = FindFirstFileA(name.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        return true;  // a reparse point that cannot be examined is treated as a link: not followed
    }
    FindClose(find);
    return data.dwReserved0 == kReparseTagSymlink || data.dwReserved0 == kReparseTagMountPoint;
}

int directoryProbeWrite(const char* directory) {
    if (directory == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::string base = directory;
    if (base.empty() || (base.back() != '/' && base.back() != '\\')) {
        base += '\\';
    }
    base += ".infra-probe-" + std::to_string(::GetCurrentProcessId()) + "-";
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = base + std::to_string(counter.fetch_add(1));
        const int descriptor =
            ::_open(name.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (descriptor >= 0) {
            ::_close(descriptor);
            ::_unlink(name.c_str());
            return 0;
        }
        if (errno != EEXIST) {
            return -1;
        }
    }
    return -1;
}

bool modeIsDirectory(std::uint32_t mode) {
    return (mode & _S_IFDIR) != 0;
}

int fileAccess(const char* path, int mode) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // The runtime knows only 0, 2, 4 and 6 (an execute bit goes to its invalid-parameter
    // handler, which ends the process); every existing file counts as executable.
    return ::_access(path, mode & 6) == 0 ? 0 : -1;
}

int fileSystemSpace(const char* path, std::uint64_t* available, std::uint64_t* total,
                    std::uint64_t* free) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (path[0] == '\0') {
        errno = ENOENT;
        return -1;
    }
    // The query wants a directory (a network share with a trailing separator); a file stands for
    // the directory that holds it, as it does for statvfs.
    bool trimmed = false;
    std::string directory = withoutTrailingSeparators(path, &trimmed);
    const DWORD attributes = GetFileAttributesA(directory.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        errno = errnoFromWin32(GetLastError());
        return -1;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        if (trimmed) {
            errno = ENOTDIR;
            return -1;
        }
        const std::size_t last = directory.find_last_of("/\\");
        if (last == std::string::npos) {
            directory = directory.size() >= 2 && directory[1] == ':' ? directory.substr(0, 2)
                                                                     : std::string(".");
        } else {
            directory.erase(last + 1);
        }
    }
    if (!isSeparator(directory.back())) {
        directory += '\\';
    }
    ULARGE_INTEGER availableBytes;
    ULARGE_INTEGER totalBytes;
    ULARGE_INTEGER freeBytes;
    if (!GetDiskFreeSpaceExA(directory.c_str(), &availableBytes, &totalBytes, &freeBytes)) {
        errno = errnoFromWin32(GetLastError());
        return -1;
    }
    if (available != nullptr) {
        *available = availableBytes.QuadPart;
    }
    if (total != nullptr) {
        *total = totalBytes.QuadPart;
    }
    if (free != nullptr) {
        *free = freeBytes.QuadPart;
    }
    return 0;
}

// ---- Directories ----------------------------------------------------------------------------

int directoryCreate(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return ::_mkdir(path) == 0 ? 0 : -1;
}

int directoryRemove(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return ::_rmdir(path) == 0 ? 0 : -1;
}

struct DirectorySearch {
    intptr_t handle;
};

namespace {

// The 64-bit-size listing: the 32-bit one would report files of 4 GiB and more with their size
// cut to the low 32 bits.
void fillEntry(const struct __finddata64_t& data, DirectoryEntry* entry) {
    std::memset(entry, 0, sizeof(*entry));
    setEntryName(*entry, data.name);
    entry->attributes = static_cast<std::uint32_t>(data.attrib);
    entry->timeCreate = static_cast<std::int64_t>(data.time_create);
    entry->timeAccess = static_cast<std::int64_t>(data.time_access);
    entry->timeWrite = static_cast<std::int64_t>(data.time_write);
    entry->size = static_cast<std::uint64_t>(data.size);
}

}  // namespace

DirectorySearch* directorySearchOpen(const char* pattern, DirectoryEntry* first) {
    if (pattern == nullptr || first == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    // A pattern ending in a separator names no entry (the runtime would list the directory
    // itself under some versions and fail under others).
    if (pattern[0] == '\0' || isSeparator(pattern[std::strlen(pattern) - 1])) {
        errno = ENOENT;
        return nullptr;
    }
    DirectorySearch* search = new (std::nothrow) DirectorySearch;
    if (search == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    struct __finddata64_t data;
    search->handle = ::_findfirst64(pattern, &data);
    if (search->handle == -1) {
        const int error = errno;
        delete search;
        errno = error != 0 ? error : ENOENT;
        return nullptr;
    }
    fillEntry(data, first);
    return search;
}

bool directorySearchNext(DirectorySearch* search, DirectoryEntry* next) {
    if (search == nullptr || next == nullptr) {
        return false;
    }
    struct __finddata64_t data;
    if (::_findnext64(search->handle, &data) != 0) {
        return false;
    }
    fillEntry(data, next);
    return true;
}

void directorySearchClose(DirectorySearch* search) {
    if (search == nullptr) {
        return;
    }
    ::_findclose(search->handle);
    delete search;
}

}  // namespace Platform
}  // namespace Tovix
