// Files, CLfsFile: CFile with 64-bit lengths and positions, transfers split into calls of at most
// 2147483647 bytes.
#include "infra/LfsFile.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstring>
#include <new>

#include "infra/Assert.h"
#include "infra/Error.h"
#include "infra3/core/Diagnostics.h"
#include "infra3/file/FileInternal.h"

namespace Tovix {
namespace Infra {

using Detail::kLevelError;
using Detail::kLevelWarn;

struct LfsFileInternal {
    void* m_handle = nullptr;
    unsigned char* m_buffer = nullptr;
    std::uint64_t m_length = 0;
    std::uint64_t m_position = 0;
    IFileSystem* m_opt = nullptr;
};

namespace {

// No single file-system call is asked for more than this.
constexpr long long kChunk = 2147483647LL;

std::uint64_t positionOf(IFileSystem* fileSystem, void* handle) {
    const long long position = fileSystem->ftell64(handle);
    return position < 0 ? 0 : static_cast<std::uint64_t>(position);
}

// A failed seek may still have moved the stream (the Windows C runtime gives up its read-ahead
// before it asks the system): puts it back where the object says it stands.
void restorePosition(LfsFileInternal& self) {
    self.m_opt->fseek64(self.m_handle, static_cast<long long>(self.m_position), SEEK_SET);
    self.m_position = positionOf(self.m_opt, self.m_handle);
}

void raiseLength(LfsFileInternal& self) {
    if (self.m_position > self.m_length) {
        self.m_length = self.m_position;
    }
}

}  // namespace

CLfsFile::CLfsFile() : m_internal(new LfsFileInternal) {
    m_internal->m_opt = FileDefaultOpt::instance();
}

CLfsFile::~CLfsFile() {
    if (m_internal->m_handle != nullptr) {
        close();
    }
    if (m_internal->m_buffer != nullptr) {
        unload();
    }
    delete m_internal;
    m_internal = nullptr;
}

bool CLfsFile::open(const char* path, unsigned int flags) {
    if (isOpen()) {
        close();
    }
    if (m_internal->m_buffer != nullptr) {
        unload();
    }
    if (!Detail::filePathGiven(path)) {
        return false;
    }
    IFileSystem* const fileSystem = Detail::fileSystemOf(path);
    INFRA_ASSERT_TEXT(fileSystem != nullptr, "m_internal->m_opt");
    const std::string mode = Detail::fileOpenMode(flags, false);
    if (mode.empty()) {
        INFRA_DIAG_THIS(kLevelError, "CLfsFile::open(): dwFlags(%d) is invalid\n",
                        static_cast<int>(flags));
        Detail::fileFailed(EINVAL);
        return false;
    }
    errno = 0;
    void* const handle = fileSystem->fopen(path, mode.c_str());
    if (handle == nullptr) {
        Detail::fileFailed(errno);
        return false;
    }
    m_internal->m_opt = fileSystem;
    m_internal->m_handle = handle;
    m_internal->m_position = positionOf(fileSystem, handle);
    m_internal->m_length = 0;
    if ((flags & CFile::modeCreate) == 0 || (flags & CFile::modeNoTruncate) != 0) {
        FileInfo info;
        std::memset(&info, 0, sizeof(info));
        if (fileSystem->stat(path, &info) == 0) {
            m_internal->m_length = info.size;
        }
    }
    return true;
}

void CLfsFile::close() {
    LfsFileInternal& self = *m_internal;
    if (self.m_handle == nullptr) {
        return;
    }
    self.m_opt->fclose(self.m_handle);
    self.m_handle = nullptr;
    self.m_length = 0;
    self.m_position = 0;
    delete[] self.m_buffer;
    self.m_buffer = nullptr;
    self.m_opt = FileDefaultOpt::instance();
}

unsigned char* CLfsFile::load(const char* path) {
    LfsFileInternal& self = *m_internal;
    if (self.m_buffer != nullptr) {
        return self.m_buffer;
    }
    if (!open(path, CFile::modeNoTruncate)) {
        return nullptr;
    }
    if (self.m_length == 0) {
        self.m_length = static_cast<std::uint64_t>(seek(0, seekEnd));
        seek(0, seekBegin);
    }
    if (self.m_length == 0) {
        setLastError(0);  // an empty file: nothing failed
        return nullptr;
    }
    const std::uint64_t length = self.m_length;
    // A buffer sized by the low 32 bits of a longer file would be overrun by the read: such
    // files are refused, as are lengths this process cannot hold.
    if (length > 0xFFFFFFFFull || length > SIZE_MAX) {
        self.m_buffer = nullptr;
    } else {
        self.m_buffer = new (std::nothrow) unsigned char[static_cast<std::size_t>(length)];
    }
    if (self.m_buffer == nullptr) {
        INFRA_DIAG_THIS(kLevelWarn, "CLfsFile::load(): length(%ju), ret(%jd), %s\n",
                        static_cast<std::uintmax_t>(length), static_cast<std::intmax_t>(-1),
                        std::strerror(length > 0xFFFFFFFFull ? EFBIG : ENOMEM));
        unload();
        Detail::fileFailed(length > 0xFFFFFFFFull ? EFBIG : ENOMEM);
        return nullptr;
    }
    seek(0, seekBegin);
    errno = 0;
    const long long count = read(self.m_buffer, static_cast<long long>(length));
    if (count != static_cast<long long>(length)) {
        const int error = errno;
        if (Detail::fileHandlesAreStreams(self.m_opt)) {
            Detail::fileShowDescriptor(self.m_handle);
        }
        INFRA_DIAG_THIS(kLevelWarn, "CLfsFile::load(): length(%ju), ret(%jd), %s\n",
                        static_cast<std::uintmax_t>(length), static_cast<std::intmax_t>(count),
                        std::strerror(error));
        unload();
        Detail::fileFailed(error);
        return nullptr;
    }
    return self.m_buffer;
}

void CLfsFile::unload() {
    close();
    delete[] m_internal->m_buffer;
    m_internal->m_buffer = nullptr;
}

long long CLfsFile::read(void* buffer, long long length) {
    LfsFileInternal& self = *m_internal;
    if (self.m_handle == nullptr || buffer == nullptr || length < 0) {
        return -1;
    }
    long long done = 0;
    while (done < length) {
        const long long rest = length - done;
        const std::size_t chunk = static_cast<std::size_t>(rest < kChunk ? rest : kChunk);
        const std::size_t count =
            self.m_opt->fread(static_cast<unsigned char*>(buffer) + done, 1, chunk, self.m_handle);
        if (count == 0) {
            INFRA_DIAG_THIS(
                kLevelWarn, "fread get error,total %jd has read %jd,expected %zu return %zu\n",
                static_cast<std::intmax_t>(length), static_cast<std::intmax_t>(done), chunk, count);
            break;
        }
        done += static_cast<long long>(count);
    }
    self.m_position += static_cast<std::uint64_t>(done);
    return done;
}

long long CLfsFile::write(void* buffer, long long length) {
    LfsFileInternal& self = *m_internal;
    if (self.m_handle == nullptr || buffer == nullptr || length < 0) {
        return -1;
    }
    long long done = 0;
    errno = 0;
    while (done < length) {
        const long long rest = length - done;
        const std::size_t chunk = static_cast<std::size_t>(rest < kChunk ? rest : kChunk);
        const std::size_t count =
            self.m_opt->fwrite(static_cast<unsigned char*>(buffer) + done, 1, chunk, self.m_handle);
        if (count == 0) {
            const int error = errno;
            INFRA_DIAG_THIS(
                kLevelWarn, "fwrite get error,total %jd has write %jd,expected %zu return %zu",
                static_cast<std::intmax_t>(length), static_cast<std::intmax_t>(done), chunk, count);
            Detail::fileFailed(error);
            break;
        }
        done += static_cast<long long>(count);
    }
    self.m_position = positionOf(self.m_opt, self.m_handle);
    raiseLength(self);
    return done;
}

void CLfsFile::flush() {
    LfsFileInternal& self = *m_internal;
    if (self.m_handle == nullptr) {
        return;
    }
    self.m_opt->fflush(self.m_handle);
    self.m_position = positionOf(self.m_opt, self.m_handle);
    raiseLength(self);
}

long long CLfsFile::seek(long long offset, SeekPosition whence) {
    LfsFileInternal& self = *m_internal;
    if (self.m_handle == nullptr) {
        return 0;
    }
    long long target = 0;
    switch (whence) {
        case seekBegin:
            target = offset;
            break;
        case seekCurrent:
            target = static_cast<long long>(self.m_position) + offset;
            break;
        case seekEnd:
            target = static_cast<long long>(self.m_length) + offset;
            break;
        default:
            return 0;
    }
    if (whence != seekEnd && target == static_cast<long long>(self.m_position)) {
        return target;
    }
    if (self.m_opt->fseek64(self.m_handle, offset, static_cast<int>(whence)) < 0) {
        restorePosition(self);
        return 0;
    }
    self.m_position = positionOf(self.m_opt, self.m_handle);
    return static_cast<long long>(self.m_position);
}

long long CLfsFile::getPosition() {
    return m_internal->m_handle != nullptr ? static_cast<long long>(m_internal->m_position) : 0;
}

long long CLfsFile::getLength() {
    LfsFileInternal& self = *m_internal;
    if (self.m_handle == nullptr) {
        return 0;
    }
    if (self.m_length == 0) {
        const long long position = getPosition();
        self.m_length = static_cast<std::uint64_t>(seek(0, seekEnd));
        seek(position, seekBegin);
    }
    return static_cast<long long>(self.m_length);
}

char* CLfsFile::gets(char* buffer, long long size) {
    LfsFileInternal& self = *m_internal;
    if (self.m_handle == nullptr || buffer == nullptr) {
        return nullptr;
    }
    if (size >= 2147483648LL) {
        INFRA_DIAG_THIS(kLevelWarn, "Bytes need to be seeked has been over the _MAX_INT_VALUE.\n");
        return nullptr;
    }
    if (size <= 0) {
        return nullptr;
    }
    char* const line = self.m_opt->fgets(buffer, static_cast<int>(size), self.m_handle);
    if (line != nullptr) {
        self.m_position += std::strlen(line);
    }
    return line;
}

long long CLfsFile::puts(const char* text) {
    LfsFileInternal& self = *m_internal;
    if (self.m_handle == nullptr) {
        return 0;
    }
    if (text == nullptr) {
        return -1;
    }
    const int result = self.m_opt->fputs(text, self.m_handle);
    if (result != -1) {
        self.m_position += std::strlen(text);
        raiseLength(self);
    }
    return result;
}

bool CLfsFile::isOpen() {
    return m_internal->m_handle != nullptr;
}

long long CLfsFile::writev(const io_vec* vector, int count) {
    LfsFileInternal& self = *m_internal;
    if (self.m_handle == nullptr || (vector == nullptr && count > 0)) {
        return -1;
    }
    if (count <= 0) {
        return 0;
    }
    long long result = 0;
    if (Detail::fileHandlesAreStreams(self.m_opt)) {
        result = self.m_opt->writev(Detail::fileStreamDescriptor(self.m_handle), vector, count);
    } else {
        result = Detail::fileWriteElements(self.m_opt, self.m_handle, vector, count);
    }
    if (result > 0) {
        self.m_position += static_cast<std::uint64_t>(result);
        raiseLength(self);
    }
    return result;
}

bool CLfsFile::setvbuf(char* buffer, IOMode mode, unsigned int size) {
    LfsFileInternal& self = *m_internal;
    if (self.m_handle == nullptr) {
        INFRA_DIAG_PLAIN(kLevelWarn, "CFile::setvbuf failed, file has not been opened!\n");
        return false;
    }
    if (!Detail::fileHandlesAreStreams(self.m_opt) ||
        std::setvbuf(static_cast<std::FILE*>(self.m_handle), buffer, static_cast<int>(mode),
                     size) != 0) {
        INFRA_DIAG_PLAIN(kLevelWarn, "CFile::setvbuf failed\n");
        return false;
    }
    return true;
}

bool CLfsFile::resv1() {
    return false;
}

bool CLfsFile::resv2() {
    return false;
}

bool CLfsFile::resv3() {
    return false;
}

bool CLfsFile::resv4() {
    return false;
}

bool CLfsFile::rename(const char* oldPath, const char* newPath) {
    return CFile::rename(oldPath, newPath);
}

bool CLfsFile::remove(const char* path) {
    return CFile::remove(path);
}

bool CLfsFile::makeDirectory(const char* path) {
    return CFile::makeDirectory(path);
}

bool CLfsFile::removeDirectory(const char* path) {
    return CFile::removeDirectory(path);
}

bool CLfsFile::statFS(const char* path, unsigned long long& available, unsigned long long& total,
                      unsigned long long& free) {
    return CFile::statFS(path, available, total, free);
}

bool CLfsFile::access(const char* path, int mode) {
    return CFile::access(path, mode);
}

bool CLfsFile::stat(const char* path, FileInfo& info) {
    return CFile::stat(path, info);
}

}  // namespace Infra
}  // namespace Tovix
