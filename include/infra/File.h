/// @file
/// Files through replaceable file systems.
///
/// CFile is a buffered file with 32-bit sizes and offsets. It does no input or output itself:
/// every operation goes through an IFileSystem. Applications can serve every path under a prefix
/// with a file system of their own (hookFileSystem); paths no hook claims go to FileDefaultOpt,
/// the implementation over the platform's standard file functions. The static operations of CFile
/// (rename, remove, directories, stat, statFS, access) are dispatched the same way, by their
/// (first) path. Paths use '/' as the separator.
///
/// Results follow the library's rules: bool (true = done), a count of bytes or -1, or null. No
/// operation throws. A CFile object is used by one thread at a time.
#ifndef INFRA_FILE_H
#define INFRA_FILE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "infra/Defs.h"

namespace Tovix {
namespace Infra {

/// The status of a file or a directory entry.
struct FileInfo {
    /// NUL-terminated, at most 259 characters. stat() stores the path it was given; a search
    /// stores the entry's name.
    char name[260];
    /// stat(): the platform's mode word (st_mode). A search: the attribute bits of the entry:
    /// 0x10 directory, 0x01 read-only (its owner cannot write it), 0x02 hidden (a name starting
    /// with '.'), else 0.
    std::uint32_t attrib;
    /// Seconds since 1970 (UTC). On POSIX "create" is the time of the last status change.
    std::int64_t time_create;
    std::int64_t time_access;
    std::int64_t time_write;
    std::uint64_t size;
};

/// One scatter/gather element handed to a file system's writev. CFile passes vectors through to
/// the file system unchanged, except when it has to write them element by element itself (see
/// CFile::writev).
struct io_vec {
    void* iov_base;
    std::size_t iov_len;
};

/// The file operations behind CFile, CLfsFile and CFileFind. Results follow the standard
/// function of the same name: 0 for success, -1 (or a negative value) or null for failure. The
/// handle is whatever fopen returned; the library only passes it back to the same file system.
///
/// Implementations must accept being called from several threads at once for different handles
/// and must not throw.
class INFRA_API IFileSystem {
public:
    virtual ~IFileSystem();

    /// Opens `path` with a standard mode text ("rb", "wb+", "ab" …, possibly with 'e' for a
    /// descriptor not inherited by child processes and 'd' for direct transfers). Null on failure.
    virtual void* fopen(const char* path, const char* mode) = 0;
    virtual int fclose(void* handle) = 0;
    /// Returns the number of whole items transferred.
    virtual std::size_t fread(void* buffer, std::size_t size, std::size_t count, void* handle) = 0;
    virtual std::size_t fwrite(const void* buffer, std::size_t size, std::size_t count,
                               void* handle) = 0;
    virtual int fflush(void* handle) = 0;
    /// `origin` is SEEK_SET, SEEK_CUR or SEEK_END (0, 1, 2).
    virtual int fseek(void* handle, long offset, int origin) = 0;
    virtual long ftell(void* handle) = 0;
    virtual char* fgets(char* buffer, int size, void* handle) = 0;
    virtual int fputs(const char* text, void* handle) = 0;
    virtual int rename(const char* oldPath, const char* newPath) = 0;
    virtual int remove(const char* path) = 0;
    /// Starts a search for `pattern` (a directory part and a last component with '*' and '?').
    /// On entry `out->name` holds the directory part of the pattern ("" or ending in '/'); on
    /// success it receives the first matching entry. Returns a search handle >= 0, or a negative
    /// value when nothing matches.
    virtual long findfirst(const char* pattern, FileInfo* out) = 0;
    /// The next entry of a search (out->name again holds the directory part on entry); negative
    /// at the end.
    virtual int findnext(long handle, FileInfo* out) = 0;
    virtual int findclose(long handle) = 0;
    virtual int mkdir(const char* path) = 0;
    virtual int rmdir(const char* path) = 0;
    /// Space of the file system holding `path`: bytes available to the caller, total bytes and
    /// free bytes.
    virtual int statfs(const char* path, unsigned long long* available, unsigned long long* total,
                       unsigned long long* free) = 0;
    /// `mode`: 0 existence, 2 write, 4 read, 6 read and write.
    virtual int access(const char* path, int mode) = 0;
    virtual int stat(const char* path, FileInfo* out) = 0;
    /// Writes the elements of `vector` to the file of `descriptor`. Default: 0 (nothing written).
    virtual long writev(int descriptor, const io_vec* vector, int count);
    /// 64-bit seek and position, used by CLfsFile. Defaults: -1 (not supported).
    virtual int fseek64(void* handle, long long offset, int origin);
    virtual long long ftell64(void* handle);
};

/// The default file system: the platform's standard file functions. Its handles are standard
/// streams (std::FILE*).
///
/// fopen builds the open flags from the letters of the mode ('a' append, no 'r' create, '+'
/// read-write, 'w' truncate, 'e' close-on-exec; 'd' adds nothing), creates files with permission
/// 0600 (the umask applies) and gives the stream a 16 KiB buffer, fully buffered. A null or empty
/// mode ends the process with the assertion report; a null path or a mode that names no access
/// ('r', 'w' or 'a') gives null. Directories are created with mode 0777 (the umask applies).
/// writev is not supported (-1). statfs returns 0 or -1.
class INFRA_API FileDefaultOpt : public IFileSystem {
public:
    /// The process-wide instance; never null and never destroyed, so files closed by static
    /// destructors or exit handlers still find it.
    static FileDefaultOpt* instance();

    FileDefaultOpt();
    ~FileDefaultOpt() override;
    FileDefaultOpt(const FileDefaultOpt&) = delete;
    FileDefaultOpt& operator=(const FileDefaultOpt&) = delete;

    void* fopen(const char* path, const char* mode) override;
    int fclose(void* handle) override;
    std::size_t fread(void* buffer, std::size_t size, std::size_t count, void* handle) override;
    std::size_t fwrite(const void* buffer, std::size_t size, std::size_t count,
                       void* handle) override;
    int fflush(void* handle) override;
    int fseek(void* handle, long offset, int origin) override;
    long ftell(void* handle) override;
    char* fgets(char* buffer, int size, void* handle) override;
    int fputs(const char* text, void* handle) override;
    int rename(const char* oldPath, const char* newPath) override;
    int remove(const char* path) override;
    long findfirst(const char* pattern, FileInfo* out) override;
    int findnext(long handle, FileInfo* out) override;
    int findclose(long handle) override;
    int mkdir(const char* path) override;
    int rmdir(const char* path) override;
    int statfs(const char* path, unsigned long long* available, unsigned long long* total,
               unsigned long long* free) override;
    int access(const char* path, int mode) override;
    int stat(const char* path, FileInfo* out) override;
    long writev(int descriptor, const io_vec* vector, int count) override;
    int fseek64(void* handle, long long offset, int origin) override;
    long long ftell64(void* handle) override;
};

/// Serves every path that starts with `prefix` (compared over the prefix's length, so "/mnt"
/// also claims "/mnt2/x") with `fileSystem`, stored in the first free of 31 slots (the prefix cut
/// to 255 characters). A path goes to the first slot, in slot order, whose prefix it starts with:
/// the first match wins, not the longest. A full table, a null or an empty prefix ignore the call.
/// No duplicate check.
///
/// Path and prefix are compared as text with the detours taken out: repeated separators and "."
/// components removed, ".." resolved against the component before it ("/dir/./vault/f" and
/// "/dir//vault/f" are under "/dir/vault", "/dir/vault/../../etc/f" is not). A ".." above the
/// root stays at the root; one above the start of a relative path is kept ("rel/../../rel/f" is
/// not under "rel/"). Separators are those of the platform ('/'; also '\\' on Windows), and the
/// comparison is case-sensitive. Links are not followed. The file system receives the path as
/// the caller wrote it.
///
/// With a null `fileSystem`, frees the first slot whose prefix equals `prefix`; the next hook may
/// reuse it. No match ignores the call.
///
/// The file system must outlive every file opened through it and every search started on it;
/// hook before files under the prefix are used. Files already open keep their file system.
INFRA_API void hookFileSystem(const char* prefix, IFileSystem* fileSystem);

namespace Detail {

/// The file system serving `path`: the first matching hook (compared as hookFileSystem says),
/// else FileDefaultOpt::instance(). A null path gives the default file system.
INFRA_API IFileSystem* fileSystemOf(const char* path);

}  // namespace Detail

struct FileInternal;

/// A buffered file with 32-bit lengths and offsets, served by the file system of its path.
///
/// The object caches the file's length and its current position, so getPosition() and a seek to
/// the current position cost no file-system call. Operations on a closed file change nothing and
/// return -1 (read, write, writev), 0 (seek, getPosition, getLength, puts), null (gets) or false
/// (setvbuf). Not copyable.
///
/// A failing open(), load(), write() and static operation (rename, remove, makeDirectory,
/// removeDirectory, statFS, access, stat) leaves the thread's last error (getLastError(),
/// Error.h): the system's error number (`errno`; on Windows the C runtime's `errno` too) of the
/// call that failed, such as ENOENT for a missing file or directory, EACCES, EEXIST, ENOTEMPTY;
/// EINVAL for a null path or invalid open flags; EIO when a hooked file system reports a failure
/// without setting `errno`. load() of an empty file returns null with last error 0, so a missing
/// file (ENOENT) and an empty one can be told apart. Operations that succeed leave the last
/// error as it was.
class INFRA_API CFile {
public:
    /// Open flags: one access value in the low four bits, plus option bits.
    enum OpenFlags {
        modeRead = 0,
        modeWrite = 1,
        modeReadWrite = 2,
        modeNoInherit = 0x80,
        modeCreate = 0x1000,
        modeNoTruncate = 0x2000,
        modeDirect = 0x10000,
    };
    enum SeekPosition { seekBegin = 0, seekCurrent = 1, seekEnd = 2 };
    /// Buffering modes, passed unchanged to the standard setvbuf.
    enum IOMode { ioFullBuf = _IOFBF, ioLineBuf = _IOLBF, ioNoBuf = _IONBF };
    /// Last error left by getLength() and load() for a file longer than 0xFFFFFFFF bytes, which
    /// the 32-bit lengths of this class cannot describe (CLfsFile can).
    static constexpr int errorFileTooLarge = 0x10000010;

    /// A closed file on the default file system.
    CFile();
    /// Closes the file and frees a loaded buffer.
    virtual ~CFile();
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    /// Closes what is open, then opens `path` on the file system of its prefix. The mode text
    /// comes from the flags: modeRead "rb"; modeWrite "wb" ("ab" with modeNoTruncate);
    /// modeReadWrite with modeCreate "wb+" ("ab+" with modeNoTruncate), without it "rb+";
    /// modeNoInherit appends "e", modeDirect "d". modeCreate with modeRead still opens "rb".
    /// An access value other than 0, 1, 2 is logged as invalid and gives false; a null path or
    /// a failure of the file system gives false without a message. The length is taken from the
    /// file's status unless the file was just truncated.
    virtual bool open(const char* path, unsigned int flags);
    /// Closes the file (and frees a loaded buffer); the object returns to the default file system.
    virtual void close();
    /// Opens `path` for reading and reads it whole into a buffer owned by this object, which
    /// stays valid until unload(), close(), open() or destruction; the file stays open. Returns
    /// the buffer (getLength() bytes), or null when the file cannot be opened, is empty or cannot
    /// be read whole (then the file is closed). A file longer than 0xFFFFFFFF bytes is never
    /// loaded: null, the file closed, last error errorFileTooLarge. A buffer loaded earlier is
    /// returned unchanged, whatever the path.
    virtual unsigned char* load(const char* path);
    /// Closes the file and frees the loaded buffer.
    virtual void unload();
    /// Reads up to `length` bytes; the count read, or -1 when closed or `buffer` is null.
    virtual long read(void* buffer, unsigned int length);
    /// Writes `length` bytes; the count written (a short count is logged), or -1 when closed or
    /// `buffer` is null.
    virtual long write(void* buffer, unsigned int length);
    /// Hands buffered data to the file system and refreshes the cached position and length.
    virtual void flush();
    /// Moves to `offset` from the start, the current position or the end. Returns the new
    /// position, or 0 on failure. A move to the cached current position (from the start or the
    /// current position) returns at once without a file-system call.
    virtual unsigned int seek(long offset, SeekPosition whence);
    virtual unsigned int getPosition();
    /// The length, found by seeking to the end and back when it is not known yet. A file longer
    /// than 0xFFFFFFFF bytes (which open() accepts) gives 0xFFFFFFFF, never its length cut to
    /// 32 bits, and leaves last error errorFileTooLarge.
    virtual unsigned int getLength();
    /// Reads a line as the standard fgets does; null at the end, on failure, when closed or when
    /// `buffer` is null.
    virtual char* gets(char* buffer, unsigned int size);
    /// Writes `text` as the standard fputs does: a non-negative value on success, -1 on failure
    /// or for a null text, 0 when closed.
    virtual long puts(const char* text);
    virtual bool isOpen();
    /// Writes the elements of `vector` in order. A file of the default file system hands them to
    /// its writev with the stream's descriptor (the default file system does not support it:
    /// -1). A file of a hooked file system, whose handles need not be standard streams, writes
    /// them one after the other through its fwrite. Returns the bytes written, or -1.
    virtual long writev(const io_vec* vector, int count);
    /// Replaces the stream's buffer (standard setvbuf). False, with a warning, when closed, on
    /// failure, or when the file belongs to a hooked file system (its handle is not a standard
    /// stream).
    virtual bool setvbuf(char* buffer, IOMode mode, unsigned int size);
    /// Reserved; always false.
    virtual bool resv1();
    virtual bool resv2();
    virtual bool resv3();
    virtual bool resv4();

    /// Each is true exactly when the file system of the (first) path returns 0.
    static bool rename(const char* oldPath, const char* newPath);
    static bool remove(const char* path);
    static bool makeDirectory(const char* path);
    static bool removeDirectory(const char* path);
    static bool statFS(const char* path, unsigned long long& available, unsigned long long& total,
                       unsigned long long& free);
    /// `mode`: 0 existence, 2 write, 4 read, 6 read and write.
    static bool access(const char* path, int mode);
    static bool stat(const char* path, FileInfo& info);

    /// Creates every directory of `path` from the top down, ignoring failures of the
    /// intermediate ones. The result is that of creating the last directory, so a path whose
    /// last directory already exists gives false. A null or empty path is logged and gives false.
    static bool makeDirectoryRecursively(const char* path);
    /// Removes everything inside the directory `path` (and, with `removeSelf`, the directory
    /// itself), ignoring failures of single entries. A path ending in "/*" is taken as the
    /// search pattern. Symbolic links inside the tree are removed as links, never followed.
    /// When `path` itself is a symbolic link, nothing behind it is touched: with `removeSelf`
    /// the link is removed (the result says whether it was), without it the call gives false.
    /// Returns false for a null or empty path or a directory with no entry to list (logged);
    /// otherwise, with `removeSelf`, the result of removing the directory, else true.
    static bool removeDirectoryRecursively(const char* path, bool removeSelf);

private:
    FileInternal* m_internal;
};

}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_FILE_H
