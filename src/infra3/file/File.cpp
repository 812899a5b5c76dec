// Files, CFile: a buffered file with cached length and position over the file system of its path,
// and the static operations dispatched by path.
#include "infra/File.h"

#include <cerrno>
#include <climits>
#include <cstdint>
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

namespace Detail {

std::string fileOpenMode(unsigned int flags, bool withDirect) {
    std::string mode;
    switch (flags & 0xFu) {
        case CFile::modeRead:
            mode = "rb";
            break;
        case CFile::modeWrite:
            mode = (flags & CFile::modeNoTruncate) != 0 ? "ab" : "wb";
            break;
        case CFile::modeReadWrite:
            if ((flags & CFile::modeCreate) != 0) {
                mode = (flags & CFile::modeNoTruncate) != 0 ? "ab+" : "wb+";
            } else {
                mode = "rb+";
            }
            break;
        default:
            // Option letters alone would open a file with no access named; such flags are
            // refused as a whole.
            return std::string();
    }
    if ((flags & CFile::modeNoInherit) != 0) {
        mode += 'e';
    }
    if (withDirect && (flags & CFile::modeDirect) != 0) {
        mode += 'd';
    }
    return mode;
}

}  // namespace Detail

struct FileInternal {
    void* m_handle = nullptr;
    unsigned char* m_buffer = nullptr;
    // The whole length, also past 32 bits, so that such a file is told apart from a short one.
    std::uint64_t m_length = 0;
    std::uint32_t m_position = 0;
    IFileSystem* m_opt = nullptr;
};

namespace {

// The longest file the 32-bit interface can describe.
constexpr std::uint64_t kLongestFile = 0xFFFFFFFFu;

std::uint32_t positionOf(IFileSystem* fileSystem, void* handle) {
    const long position = fileSystem->ftell(handle);
    return position < 0 ? 0 : static_cast<std::uint32_t>(position);
}

// A failed seek may still have moved the stream (the Windows C runtime gives up its read-ahead
// before it asks the system): puts it back where the object says it stands.
void restorePosition(FileInternal& self) {
    IFileSystem* const fileSystem = self.m_opt;
    if (fileSystem->fseek64(self.m_handle, self.m_position, SEEK_SET) < 0) {
        fileSystem->fseek(self.m_handle, static_cast<long>(self.m_position), SEEK_SET);
    }
    self.m_position = positionOf(fileSystem, self.m_handle);
}

// Finds the file's whole length at its end (through the 64-bit slot where the file system has
// one: a long may hold only 32 bits), then moves back to `back`. 0 when the file cannot move.
std::uint64_t measureLength(FileInternal& self, std::uint32_t back) {
    IFileSystem* const fileSystem = self.m_opt;
    if (fileSystem->fseek(self.m_handle, 0, SEEK_END) < 0) {
        return 0;
    }
    long long end = fileSystem->ftell64(self.m_handle);
    if (end < 0) {
        end = fileSystem->ftell(self.m_handle);
    }
    fileSystem->fseek(self.m_handle, static_cast<long>(back), SEEK_SET);
    self.m_position = positionOf(fileSystem, self.m_handle);
    return end < 0 ? 0 : static_cast<std::uint64_t>(end);
}

}  // namespace

// Defined here too so that a DLL build exports it (see CTime's error codes).
constexpr int CFile::errorFileTooLarge;

CFile::CFile() : m_internal(new FileInternal) {
    m_internal->m_opt = FileDefaultOpt::instance();
}

CFile::~CFile() {
    if (m_internal->m_handle != nullptr) {
        close();
    }
    if (m_internal->m_buffer != nullptr) {
        unload();
    }
    delete m_internal;
    m_internal = nullptr;
}

bool CFile::open(const char* path, unsigned int flags) {
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
    const std::string mode = Detail::fileOpenMode(flags, true);
    if (mode.empty()) {
        INFRA_DIAG_THIS(kLevelError, "CFile::open(): dwFlags(%d) is invalid\n",
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
    if ((flags & modeCreate) == 0 || (flags & modeNoTruncate) != 0) {
        FileInfo info;
        std::memset(&info, 0, sizeof(info));
        if (fileSystem->stat(path, &info) == 0) {
            m_internal->m_length = info.size;
        }
    }
    return true;
}

void CFile::close() {
    FileInternal& self = *m_internal;
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

unsigned char* CFile::load(const char* path) {
    FileInternal& self = *m_internal;
    if (self.m_buffer != nullptr) {
        return self.m_buffer;
    }
    if (!open(path, modeNoTruncate)) {
        return nullptr;
    }
    if (self.m_length == 0) {
        self.m_length = measureLength(self, 0);
    }
    if (self.m_length == 0) {
        setLastError(0);  // an empty file: nothing failed
        return nullptr;
    }
    // Reading only the low 32 bits of a longer file would pass a part of it off as the whole.
    if (self.m_length > kLongestFile) {
        INFRA_DIAG_THIS(kLevelWarn, "CFile::load(): length(%ju), ret(%d), %s\n",
                        static_cast<std::uintmax_t>(self.m_length), -1, std::strerror(EFBIG));
        unload();
        setLastError(errorFileTooLarge);
        return nullptr;
    }
    const unsigned int length = static_cast<unsigned int>(self.m_length);
    self.m_buffer = new (std::nothrow) unsigned char[length];
    if (self.m_buffer == nullptr) {
        INFRA_DIAG_THIS(kLevelWarn, "CFile::load(): length(%d), ret(%d), %s\n",
                        static_cast<int>(length), -1, std::strerror(ENOMEM));
        unload();
        Detail::fileFailed(ENOMEM);
        return nullptr;
    }
    seek(0, seekBegin);
    errno = 0;
    const long count = read(self.m_buffer, length);
    if (count != static_cast<long>(length)) {
        const int error = errno;
        if (Detail::fileHandlesAreStreams(self.m_opt)) {
            Detail::fileShowDescriptor(self.m_handle);
        }
        INFRA_DIAG_THIS(kLevelWarn, "CFile::load(): length(%d), ret(%d), %s\n",
                        static_cast<int>(length), static_cast<int>(count), std::strerror(error));
        unload();
        Detail::fileFailed(error);
        return nullptr;
    }
    return self.m_buffer;
}

void CFile::unload() {
    close();
    delete[] m_internal->m_buffer;
    m_internal->m_buffer = nullptr;
}

long CFile::read(void* buffer, unsigned int length) {
    FileInternal& self = *m_internal;
    if (self.m_handle == nullptr || buffer == nullptr) {
        return -1;
    }
    const std::size_t count = self.m_opt->fread(buffer, 1, length, self.m_handle);
    self.m_position += static_cast<std::uint32_t>(count);
    return static_cast<long>(count);
}

long CFile::write(void* buffer, unsigned int length) {
    FileInternal& self = *m_internal;
    if (self.m_handle == nullptr || buffer == nullptr) {
        return -1;
    }
    errno = 0;
    const std::size_t count = self.m_opt->fwrite(buffer, 1, length, self.m_handle);
    if (count < length) {
        const int error = errno;
        INFRA_DIAG_PLAIN(kLevelWarn, "fwrite failed, expected:%u, actual:%u,errno=%d, errmsg:%s\n",
                         length, static_cast<unsigned int>(count), error, std::strerror(error));
        Detail::fileFailed(error);
    }
    self.m_position = positionOf(self.m_opt, self.m_handle);
    if (self.m_position > self.m_length) {
        self.m_length = self.m_position;
    }
    return static_cast<long>(count);
}

void CFile::flush() {
    FileInternal& self = *m_internal;
    if (self.m_handle == nullptr) {
        return;
    }
    self.m_opt->fflush(self.m_handle);
    self.m_position = positionOf(self.m_opt, self.m_handle);
    if (self.m_position > self.m_length) {
        self.m_length = self.m_position;
    }
}

unsigned int CFile::seek(long offset, SeekPosition whence) {
    FileInternal& self = *m_internal;
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
        return self.m_position;
    }
    if (self.m_opt->fseek(self.m_handle, offset, static_cast<int>(whence)) < 0) {
        restorePosition(self);
        return 0;
    }
    self.m_position = positionOf(self.m_opt, self.m_handle);
    return self.m_position;
}

unsigned int CFile::getPosition() {
    return m_internal->m_handle != nullptr ? m_internal->m_position : 0;
}

unsigned int CFile::getLength() {
    FileInternal& self = *m_internal;
    if (self.m_handle == nullptr) {
        return 0;
    }
    if (self.m_length == 0) {
        self.m_length = measureLength(self, self.m_position);
    }
    if (self.m_length > kLongestFile) {
        setLastError(errorFileTooLarge);
        return 0xFFFFFFFFu;
    }
    return static_cast<unsigned int>(self.m_length);
}

char* CFile::gets(char* buffer, unsigned int size) {
    FileInternal& self = *m_internal;
    if (self.m_handle == nullptr || buffer == nullptr) {
        return nullptr;
    }
    const int limit = size > static_cast<unsigned int>(INT_MAX) ? INT_MAX : static_cast<int>(size);
    char* const line = self.m_opt->fgets(buffer, limit, self.m_handle);
    if (line != nullptr) {
        self.m_position += static_cast<std::uint32_t>(std::strlen(line));
    }
    return line;
}

long CFile::puts(const char* text) {
    FileInternal& self = *m_internal;
    if (self.m_handle == nullptr) {
        return 0;
    }
    if (text == nullptr) {
        return -1;
    }
    const int result = self.m_opt->fputs(text, self.m_handle);
    if (result != -1) {
        self.m_position += static_cast<std::uint32_t>(std::strlen(text));
        if (self.m_position > self.m_length) {
            self.m_length = self.m_position;
        }
    }
    return result;
}

bool CFile::isOpen() {
    return m_internal->m_handle != nullptr;
}

namespace Detail {

long long fileWriteElements(IFileSystem* fileSystem, void* handle, const io_vec* vector,
                            int count) {
    long long total = 0;
    for (int i = 0; i < count; ++i) {
        const io_vec& element = vector[i];
        if (element.iov_len == 0) {
            continue;
        }
        const std::size_t written =
            fileSystem->fwrite(element.iov_base, 1, element.iov_len, handle);
        total += static_cast<long long>(written);
        if (written < element.iov_len) {
            return total > 0 ? total : -1;
        }
    }
    return total;
}

}  // namespace Detail

long CFile::writev(const io_vec* vector, int count) {
    FileInternal& self = *m_internal;
    if (self.m_handle == nullptr || (vector == nullptr && count > 0)) {
        return -1;
    }
    if (count <= 0) {
        return 0;
    }
    long result = 0;
    if (Detail::fileHandlesAreStreams(self.m_opt)) {
        result = self.m_opt->writev(Detail::fileStreamDescriptor(self.m_handle), vector, count);
    } else {
        result =
            static_cast<long>(Detail::fileWriteElements(self.m_opt, self.m_handle, vector, count));
    }
    if (result > 0) {
        self.m_position += static_cast<std::uint32_t>(result);
        if (self.m_position > self.m_length) {
            self.m_length = self.m_position;
        }
    }
    return result;
}

bool CFile::setvbuf(char* buffer, IOMode mode, unsigned int size) {
    FileInternal& self = *m_internal;
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

bool CFile::resv1() {
    return false;
}

bool CFile::resv2() {
    return false;
}

bool CFile::resv3() {
    return false;
}

bool CFile::resv4() {
    return false;
}

// ---- Static operations ----------------------------------------------------------------------
// A null path never reaches a file system: hooked ones need not expect it.

bool CFile::rename(const char* oldPath, const char* newPath) {
    return Detail::filePathGiven(oldPath) && Detail::filePathGiven(newPath) &&
           Detail::fileCall(
               [&] { return Detail::fileSystemOf(oldPath)->rename(oldPath, newPath); });
}

bool CFile::remove(const char* path) {
    return Detail::filePathGiven(path) &&
           Detail::fileCall([&] { return Detail::fileSystemOf(path)->remove(path); });
}

bool CFile::makeDirectory(const char* path) {
    return Detail::filePathGiven(path) &&
           Detail::fileCall([&] { return Detail::fileSystemOf(path)->mkdir(path); });
}

bool CFile::removeDirectory(const char* path) {
    return Detail::filePathGiven(path) &&
           Detail::fileCall([&] { return Detail::fileSystemOf(path)->rmdir(path); });
}

bool CFile::statFS(const char* path, unsigned long long& available, unsigned long long& total,
                   unsigned long long& free) {
    return Detail::filePathGiven(path) && Detail::fileCall([&] {
               return Detail::fileSystemOf(path)->statfs(path, &available, &total, &free);
           });
}

bool CFile::access(const char* path, int mode) {
    return Detail::filePathGiven(path) &&
           Detail::fileCall([&] { return Detail::fileSystemOf(path)->access(path, mode); });
}

bool CFile::stat(const char* path, FileInfo& info) {
    return Detail::filePathGiven(path) &&
           Detail::fileCall([&] { return Detail::fileSystemOf(path)->stat(path, &info); });
}

namespace Detail {

void fileFailed(int error) {
    setLastError(error != 0 ? error : EIO);
}

bool filePathGiven(const char* path) {
    if (path != nullptr) {
        return true;
    }
    fileFailed(EINVAL);
    return false;
}

}  // namespace Detail

}  // namespace Infra
}  // namespace Tovix
