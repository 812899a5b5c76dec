// Platform, POSIX processes: the process id, and programs started with posix_spawnp and waited for.
#include <errno.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/Process.h"

namespace Tovix {
namespace Platform {

int currentProcessId() {
    return static_cast<int>(::getpid());
}

int spawnAndWait(const char* const* argv) {
    if (argv == nullptr || argv[0] == nullptr || argv[0][0] == '\0') {
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
#if defined(__GLIBC__) && defined(__GLIBC_PREREQ)
#if __GLIBC_PREREQ(2, 34)
    // Only the standard streams are handed on, as a process started without handle inheritance
    // would have them.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif
#endif
    pid_t pid = 0;
    const int rc =
        posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        return -1;
    }
    int status = 0;
    pid_t waited;
    do {
        waited = ::waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0) {
        return 0;  // started, but reaped elsewhere (SIGCHLD ignored): nothing more to learn
    }
#if defined(__GLIBC__) && defined(__GLIBC_PREREQ)
#if __GLIBC_PREREQ(2, 24)
    // This posix_spawnp reports a program that cannot be executed as its own error result.
    constexpr bool kExecErrorsReported = true;
#else
    constexpr bool kExecErrorsReported = false;
#endif
#else
    constexpr bool kExecErrorsReported = false;
#endif
    if (!kExecErrorsReported && WIFEXITED(status) && WEXITSTATUS(status) == 127) {
        return -1;  // the child's exec failed after the fork
    }
    return 0;
}

}  // namespace Platform
}  // namespace Tovix
