// Files: internals shared by CFile, CLfsFile and the directory operations.
#ifndef INFRA_SRC_INFRA3_FILE_FILEINTERNAL_H
#define INFRA_SRC_INFRA3_FILE_FILEINTERNAL_H

#include <cerrno>
#include <string>

#include "infra/File.h"

namespace Tovix {
namespace Infra {
namespace Detail {

// The mode text of the open flags ("rb", "wb", "ab", "rb+", "wb+", "ab+", then "e" for
// modeNoInherit and, with `withDirect`, "d" for modeDirect). Empty when the access value is not
// one of modeRead, modeWrite, modeReadWrite.
std::string fileOpenMode(unsigned int flags, bool withDirect);

// True when the handles of `fileSystem` are standard streams: the default file system.
bool fileHandlesAreStreams(const IFileSystem* fileSystem);

// The descriptor number of a standard-stream handle; -1 when there is none.
int fileStreamDescriptor(void* handle);

// writev for file systems whose handles need not be standard streams: the elements one after
// the other through fwrite, in order. The bytes written, or -1 when the first transfer failed.
long long fileWriteElements(IFileSystem* fileSystem, void* handle, const io_vec* vector, int count);

// Leaves `error` as the thread's last error: the system's error number of a failed file
// operation (EIO when a file system reported a failure without setting one).
void fileFailed(int error);

// Leaves EINVAL for a null path; true for a path.
bool filePathGiven(const char* path);

// Runs `call`, a file-system call that returns 0 on success, with errno cleared first; on
// failure leaves the error number it set as the last error. True on success.
template <class Call>
bool fileCall(Call&& call) {
    errno = 0;
    if (call() == 0) {
        return true;
    }
    fileFailed(errno);
    return false;
}

// Logs, for a failed whole-file read, the descriptor of a standard-stream handle and the file
// it refers to (as the system names it; no program is started).
void fileShowDescriptor(void* handle);

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_SRC_INFRA3_FILE_FILEINTERNAL_H
