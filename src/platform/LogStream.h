// Platform: the log file's stream: opened so that child processes do not inherit it, and checked
// for having been removed under the writer. Implemented by src/platform/posix/LogStream.cpp and
// src/platform/win32/LogStream.cpp. Nothing here throws.
#ifndef INFRA_PLATFORM_LOGSTREAM_H
#define INFRA_PLATFORM_LOGSTREAM_H

#include <cstdio>

namespace Tovix {
namespace Platform {

// Opens `path` for appending and reading ("a+"), or emptied ("w+") when `truncate`; the
// descriptor is closed in child processes. Null with errno set on failure.
std::FILE* openLogStream(const char* path, bool truncate);

// False when the file behind `stream` no longer has a name (it was removed, or its directory
// was), so lines written to it would be lost.
bool streamStillLinked(std::FILE* stream);

}  // namespace Platform
}  // namespace Tovix

#endif  // INFRA_PLATFORM_LOGSTREAM_H
