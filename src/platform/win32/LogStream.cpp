// Platform: the log file's stream on Windows.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/LogStream.h"

namespace Tovix {
namespace Platform {

std::FILE* openLogStream(const char* path, bool truncate) {
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    // Not inherited by child processes. Asked for through the descriptor's flags rather than
    // fopen's 'N' letter, which not every runtime a program may load understands. Binary: the
    // writer counts the bytes it writes against the size limit and reads the size back at
    // start, which text translation ("\n" written as "\r\n") would set apart.
    const int flags =
        _O_RDWR | _O_CREAT | _O_NOINHERIT | _O_BINARY | (truncate ? _O_TRUNC : _O_APPEND);
    const int descriptor = ::_open(path, flags, _S_IREAD | _S_IWRITE);
    if (descriptor < 0) {
        return nullptr;
    }
    std::FILE* stream = ::_fdopen(descriptor, truncate ? "w+b" : "a+b");
    if (stream == nullptr) {
        const int error = errno;
        ::_close(descriptor);
        errno = error != 0 ? error : EINVAL;
    }
    return stream;
}

bool streamStillLinked(std::FILE* /*stream*/) {
    // The runtime opens files without delete sharing, so an open log file cannot be removed
    // (nor its directory) while the writer holds it.
    return true;
}

}  // namespace Platform
}  // namespace Tovix
