// Platform, the file and directory seam: opening streams with explicit open flags, 64-bit stream
// positions, file status, directories, directory listing and file-system space. Implemented by
// src/platform/posix/FileSystem.cpp (and src/platform/win32/ on Windows). What the standard C
// library offers portably (fread, fwrite, fseek, ftell, fgets, fputs, fflush, rename, remove,
// setvbuf) is called directly by the portable code. Nothing here throws; results are 0 / -1,
// null or bool, with errno set by the system as usual.
#ifndef INFRA_PLATFORM_FILESYSTEM_H
#define INFRA_PLATFORM_FILESYSTEM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace Tovix {
namespace Platform {

// ---- Streams --------------------------------------------------------------------------------

// How a stream is opened: the open flags the caller derived from a mode text.
struct StreamOpenFlags {
    bool read;       // read access (alone or with write)
    bool write;      // write access (alone or with read)
    bool append;     // every write goes to the end
    bool create;     // create a missing file
    bool truncate;   // empty an existing file
    bool binary;     // no text translation (no effect on POSIX)
    bool noInherit;  // not inherited by child processes
};

// Opens `path` with `flags` (a created file gets permission 0600, the umask applies), wraps the
// descriptor as a stream with `streamMode` (a standard fopen mode text without 'e' or 'd') and
// makes the stream fully buffered with a 16384-byte buffer. Null on failure; nothing stays open.
std::FILE* streamOpen(const char* path, const StreamOpenFlags& flags, const char* streamMode);
// Closes a stream (of streamOpen or not) and frees the buffer streamOpen gave it.
int streamClose(std::FILE* stream);
// The stream's descriptor number; -1 on failure.
int streamDescriptor(std::FILE* stream);
// Writes the path of the file open on the stream's descriptor, as the system names it, into
// `text` (`size` bytes, NUL-terminated). Asks the system directly, never another program. False
// when the system cannot tell or the path does not fit.
bool streamTargetPath(std::FILE* stream, char* text, std::size_t size);
// 64-bit fseek / ftell; -1 on failure.
int streamSeek64(std::FILE* stream, std::int64_t offset, int origin);
std::int64_t streamTell64(std::FILE* stream);

// ---- Path syntax ----------------------------------------------------------------------------

// True for a character that separates path components: '/' (POSIX), '/' and '\\' (Windows).
bool isPathSeparator(char c);
// The length of the drive designator `path` begins with ("C:" on Windows), 0 when it has none
// (always 0 on POSIX).
std::size_t pathDriveLength(const char* path);

// ---- Status ---------------------------------------------------------------------------------

struct FileStatus {
    std::uint32_t mode;  // the platform's mode word
    std::int64_t timeCreate;
    std::int64_t timeAccess;
    std::int64_t timeWrite;
    std::uint64_t size;
};

// Status of `path`, following symbolic links. 0 / -1.
int fileStat(const char* path, FileStatus* out);
// Whether a mode word of FileStatus is a directory's.
bool modeIsDirectory(std::uint32_t mode);
// Whether a file can be created in `directory` now, as the system decides (permissions, a
// read-only mount, a file system that takes no files): creates an empty file of a fresh name
// there and removes it at once. 0 / -1 with errno set.
int directoryProbeWrite(const char* directory);
// True when `path` itself is a symbolic link (or another kind of link the system follows
// silently, such as a junction); false when it is not or cannot be examined.
bool fileIsLink(const char* path);
// `mode`: 0 existence, 2 write, 4 read, 6 read and write (bit 1 execute where supported).
// 0 / -1.
int fileAccess(const char* path, int mode);
// Space of the file system holding `path`. 0 / -1.
int fileSystemSpace(const char* path, std::uint64_t* available, std::uint64_t* total,
                    std::uint64_t* free);

// ---- Directories ----------------------------------------------------------------------------

// Creates one directory (mode 0777, the umask applies). 0 / -1.
int directoryCreate(const char* path);
// Removes one empty directory. 0 / -1.
int directoryRemove(const char* path);

// Attribute bits of a listed entry.
constexpr std::uint32_t kAttributeReadOnly = 0x01;
constexpr std::uint32_t kAttributeHidden = 0x02;
constexpr std::uint32_t kAttributeDirectory = 0x10;

struct DirectoryEntry {
    char name[260];  // NUL-terminated, cut to 259 characters
    std::uint32_t attributes;
    std::int64_t timeCreate;
    std::int64_t timeAccess;
    std::int64_t timeWrite;
    std::uint64_t size;
};

// Stores `name` in `entry`, cut to fit.
inline void setEntryName(DirectoryEntry& entry, const char* name) {
    std::size_t length = std::strlen(name);
    if (length >= sizeof(entry.name)) {
        length = sizeof(entry.name) - 1;
    }
    std::memcpy(entry.name, name, length);
    entry.name[length] = '\0';
}

// One listing in progress.
struct DirectorySearch;

// Starts listing the entries of the pattern's directory (the part up to its last '/', or the
// current directory) whose names match its last component ('*' and '?'). Fills `first` and
// returns the search, or returns null when the directory cannot be read or nothing matches.
DirectorySearch* directorySearchOpen(const char* pattern, DirectoryEntry* first);
// Fills `next` with the next match; false at the end.
bool directorySearchNext(DirectorySearch* search, DirectoryEntry* next);
void directorySearchClose(DirectorySearch* search);

}  // namespace Platform
}  // namespace Tovix

#endif  // INFRA_PLATFORM_FILESYSTEM_H
