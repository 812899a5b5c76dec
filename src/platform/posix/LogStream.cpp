// Platform: the log file's stream on POSIX.
#include "platform/LogStream.h"

#include <sys/stat.h>

namespace Tovix {
namespace Platform {

std::FILE* openLogStream(const char* path, bool truncate) {
    return std::fopen(path, truncate ? "w+e" : "a+e");
}

bool streamStillLinked(std::FILE* stream) {
    struct stat status;
    // A stream whose status cannot be read is kept: only a certain removal ends it.
    return ::fstat(::fileno(stream), &status) != 0 || status.st_nlink > 0;
}

}  // namespace Platform
}  // namespace Tovix
