// Loads the library into a program that was not linked with it, as a plugin host would, and
// calls into it: its thread-local storage must not need the loader's small static reserve.
#include <dlfcn.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <library>\n", argv[0]);
        return 2;
    }
    void* const library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "dlopen failed: %s\n", dlerror());
        return 1;
    }
    using LogFilter =
        int (*)(int, const char*, const char*, const char*, int, const char*, const char*, ...);
    const LogFilter logFilter = reinterpret_cast<LogFilter>(dlsym(library, "Infra_logFilter"));
    if (logFilter == nullptr) {
        std::fprintf(stderr, "Infra_logFilter missing\n");
        return 1;
    }
    const int length = logFilter(3, "late", __FILE__, "main", __LINE__, "1.0", "loaded late\n");
    return length > 0 ? 0 : 1;
}
