// Core: the diagnostics seam; the library's own lines go to the log under the module "Unknown".
#include "infra3/core/Diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/Thread.h"

namespace Tovix {
namespace Infra {
namespace Detail {

// Constant-initialised and never destroyed: lines from exit handlers and late threads find them.
std::atomic<int> g_printLevel{3};

namespace {

std::atomic<const LogBinding*> g_logBinding{nullptr};

// Without the log: the message alone, on standard output.
int writeUnbound(const char* format, va_list args) {
    const int length = std::vfprintf(stdout, format, args);
    return length > 0 ? length : 0;
}

const LogBinding* logBinding() {
    return g_logBinding.load(std::memory_order_acquire);
}

}  // namespace

void bindLog(const LogBinding* binding) {
    g_logBinding.store(binding, std::memory_order_release);
}

int logLevelLine(int level, const char* format, ...) {
    if (!levelShown(level)) {
        return 0;
    }
    va_list args;
    va_start(args, format);
    const LogBinding* const binding = logBinding();
    const int length = binding != nullptr
                           ? binding->direct(level, "Unknown", nullptr, "", 0, "", format, args)
                           : writeUnbound(format, args);
    va_end(args);
    return length;
}

void prepareLog() {
    const LogBinding* const binding = logBinding();
    if (binding != nullptr) {
        binding->prepare();
    }
}

bool diagnosticShown(int level) {
    return levelShown(level);
}

int diagnosticThreadId() {
    return Platform::currentThreadId();
}

namespace {

// The end of a declarator group that opens at `open` ("(* ", "(& ", "(Class::* " around a
// function that returns a pointer or reference to a function or array), or null when the
// parenthesis opens something else.
const char* declaratorGroupEnd(const char* open) {
    const char* p = open + 1;
    if (*p != '*' && *p != '&') {
        // A member pointer: a qualified class name, then "::*".
        int depth = 0;
        while (*p != '\0' &&
               (depth > 0 || *p == ':' || *p == '_' || *p == '<' || (*p >= '0' && *p <= '9') ||
                (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z'))) {
            depth += *p == '<' ? 1 : *p == '>' ? -1 : 0;
            ++p;
        }
        if (*p != '*' || p - open < 3 || p[-1] != ':' || p[-2] != ':') {
            return nullptr;
        }
    }
    ++p;
    while (*p == ' ') {
        ++p;
    }
    return p;
}

// Reduces a compiler signature ("static int Tovix::Infra::CFoo::bar(int) const") to the
// qualified function name ("Tovix::Infra::CFoo::bar"), also when the function returns a
// function pointer ("int (* Tovix::Infra::CFoo::find(int))(char)").
void qualifiedName(const char* signature, char* out, std::size_t size) {
    // The parameter list opens at the first '(' outside template brackets that is neither a
    // declarator group around the name nor "(anonymous namespace)"; an operator() keeps its own
    // pair. The name cannot start before the last declarator group.
    static const char kAnonymous[] = "(anonymous namespace)";
    const char* first = signature;
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
            if (std::strncmp(p, kAnonymous, sizeof kAnonymous - 1) == 0) {
                p += sizeof kAnonymous - 2;
                continue;
            }
            if (const char* inside = declaratorGroupEnd(p)) {
                first = inside;
                p = inside - 1;
                continue;
            }
            open = p;
            break;
        }
    }
    const char* end = open != nullptr ? open : signature + std::strlen(signature);
    // The name starts after the last blank outside brackets before it.
    const char* begin = first;
    depth = 0;
    for (const char* p = end; p > first; --p) {
        const char c = p[-1];
        if (c == '>' || c == ')') {
            ++depth;
        } else if ((c == '<' || c == '(') && depth > 0) {
            --depth;
        } else if (c == ' ' && depth == 0) {
            begin = p;
            break;
        }
    }
    while (*begin == '*' || *begin == '&') {
        ++begin;
    }
    std::size_t n = begin < end ? static_cast<std::size_t>(end - begin) : 0;
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
    const LogBinding* const binding = logBinding();
    const int length = binding != nullptr ? binding->filtered(level, "Unknown", file, name, line,
                                                              "Unknown", format, args)
                                          : writeUnbound(format, args);
    va_end(args);
    return length;
}

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix
