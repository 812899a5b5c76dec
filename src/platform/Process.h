// Platform, the process seam: the calling process's id, and running a program to its end.
// Implemented by src/platform/posix/Process.cpp (posix_spawnp, waitpid) and
// src/platform/win32/Process.cpp (CreateProcessA). Nothing here throws.
#ifndef INFRA_PLATFORM_PROCESS_H
#define INFRA_PLATFORM_PROCESS_H

namespace Tovix {
namespace Platform {

// The id of the calling process.
int currentProcessId();

// Runs the program `argv[0]` (searched on the PATH) with the arguments `argv` (null-terminated),
// inheriting the environment, the working directory and the standard streams only, and waits
// for it to end. Returns 0 when the program ran (whatever its exit status), -1 when it could not
// be started.
int spawnAndWait(const char* const* argv);

}  // namespace Platform
}  // namespace Tovix

#endif  // INFRA_PLATFORM_PROCESS_H
