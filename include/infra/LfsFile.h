/// @file
/// Large files: CFile with 64-bit lengths, positions and transfer sizes.
#ifndef INFRA_LFSFILE_H
#define INFRA_LFSFILE_H

#include "infra/Defs.h"
#include "infra/File.h"

namespace Tovix {
namespace Infra {

struct LfsFileInternal;

/// The large-file twin of CFile (File.h): the same operations over the same file-system
/// dispatch by path prefix, with 64-bit lengths and offsets through the file system's fseek64
/// and ftell64 (a file system that does not provide them makes seeks fail and positions read 0).
/// Transfers larger than 2147483647 bytes are split so that no single file-system call is asked
/// for more; a transfer stops at the first call that moves nothing, with a warning, and returns
/// what was moved so far (so reading up to the end of the file logs one warning). Everything not
/// stated here behaves as in CFile, the last error of failures included (load() of a file longer
/// than 0xFFFFFFFF bytes leaves EFBIG). Not copyable.
class INFRA_API CLfsFile {
public:
    enum SeekPosition { seekBegin = 0, seekCurrent = 1, seekEnd = 2 };
    enum IOMode { ioFullBuf = _IOFBF, ioLineBuf = _IOLBF, ioNoBuf = _IONBF };

    CLfsFile();
    virtual ~CLfsFile();
    CLfsFile(const CLfsFile&) = delete;
    CLfsFile& operator=(const CLfsFile&) = delete;

    /// As CFile::open with the CFile open flags, except that modeDirect adds nothing to the mode.
    virtual bool open(const char* path, unsigned int flags);
    virtual void close();
    /// As CFile::load. A file of 4 GiB or more is not loaded (null, with the load warning).
    virtual unsigned char* load(const char* path);
    virtual void unload();
    /// The bytes read, or -1 when closed, `buffer` is null or `length` is negative.
    virtual long long read(void* buffer, long long length);
    /// The bytes written, or -1 when closed, `buffer` is null or `length` is negative.
    virtual long long write(void* buffer, long long length);
    virtual void flush();
    /// The new position, or 0 on failure. A move to the cached current position (from the start
    /// or the current position) returns at once without a file-system call.
    virtual long long seek(long long offset, SeekPosition whence);
    virtual long long getPosition();
    virtual long long getLength();
    /// As CFile::gets; a size of 2147483648 or more is refused with a warning (null).
    virtual char* gets(char* buffer, long long size);
    virtual long long puts(const char* text);
    virtual bool isOpen();
    virtual long long writev(const io_vec* vector, int count);
    virtual bool setvbuf(char* buffer, IOMode mode, unsigned int size);
    /// Reserved; always false.
    virtual bool resv1();
    virtual bool resv2();
    virtual bool resv3();
    virtual bool resv4();

    /// The same functions as CFile's.
    static bool rename(const char* oldPath, const char* newPath);
    static bool remove(const char* path);
    static bool makeDirectory(const char* path);
    static bool removeDirectory(const char* path);
    static bool statFS(const char* path, unsigned long long& available, unsigned long long& total,
                       unsigned long long& free);
    static bool access(const char* path, int mode);
    static bool stat(const char* path, FileInfo& info);

private:
    LfsFileInternal* m_internal;
};

}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_LFSFILE_H
