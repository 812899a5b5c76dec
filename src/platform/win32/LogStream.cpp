// The log file's stream on Windows.
#include "platform/LogStream.h"

namespace Tovix {
namespace Platform {

std::FILE* openLogStream(const char* path, bool truncate) {
    // 'N': the handle is not inherited by child processes.
    return std::fopen(path, truncate ? "w+N" : "a+N");
}

bool streamStillLinked(std::FILE* /*stream*/) {
    // The runtime opens files without delete sharing, so an open log file cannot be removed
    // (nor its directory) while the writer holds it.
    return true;
}

}  // namespace Platform
}  // namespace Tovix
