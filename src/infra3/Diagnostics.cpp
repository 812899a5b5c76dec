// The library's own diagnostic lines go through logFilter under the module "Unknown".
#include "infra3/Diagnostics.h"

#include <cstdarg>
#include <cstring>

#include "infra3/PrintState.h"
#include "platform/Platform.h"

namespace Tovix {
namespace Infra {
namespace Detail {

bool diagnosticShown(int level) {
    return levelShown(level);
}

int diagnosticThreadId() {
    return Platform::currentThreadId();
}

namespace {

// Reduces a compiler signature ("static int Tovix::Infra::CFoo::bar(int) const") to the
// qualified function name ("Tovix::Infra::CFoo::bar").
void qualifiedName(const char* signature, char* out, std::size_t size) {
    // The parameter list opens at the first '(' outside template brackets; an operator() keeps
    // its own pair.
    const char* open = nullptr;
    int depth = 0;
    for (const char* p = signature; *p != '\0'; ++p) {
        if (*p == '<') {
            ++depth;
        } else if (*p == '>' && depth > 0) {
            --depth;
        } else if (*p == '(' && depth == 0) {
            if (p > signature + 8 && std::strncmp(p - 8, "operator", 8) == 0 && p[1] == ')') {
                ++p;
                continue;
            }
            open = p;
            break;
        }
    }
    const char* end = open != nullptr ? open : signature + std::strlen(signature);
    // The name starts after the last blank outside template brackets before it.
    const char* begin = signature;
    depth = 0;
    for (const char* p = end; p > signature; --p) {
        const char c = p[-1];
        if (c == '>') {
            ++depth;
        } else if (c == '<' && depth > 0) {
            --depth;
        } else if (c == ' ' && depth == 0) {
            begin = p;
            break;
        }
    }
    while (*begin == '*' || *begin == '&') {
        ++begin;
    }
    std::size_t n = static_cast<std::size_t>(end - begin);
    if (n >= size) {
        n = size - 1;
    }
    std::memcpy(out, begin, n);
    out[n] = '\0';
}

}  // namespace

int logDiagnostic(int level, const char* file, const char* function, int line, const char* format,
                  ...) {
    if (!levelShown(level)) {
        return 0;
    }
    char name[256];
    qualifiedName(function != nullptr ? function : "", name, sizeof name);
    va_list args;
    va_start(args, format);
    const int length = vlogFilter(level, "Unknown", file, name, line, "Unknown", format, args);
    va_end(args);
    return length;
}

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix
