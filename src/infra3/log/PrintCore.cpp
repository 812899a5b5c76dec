// Log: the print core's state and console entry points: print state, option record, colours.
//
// A line's prefix and the composition of a whole line live in LinePrefix.cpp.
#include <cstdarg>
#include <cstddef>
#include <cstdio>

#include "infra/PrintCore.h"
#include "infra3/log/LinePrefix.h"
#include "infra3/log/PrintState.h"
#include "platform/Console.h"

namespace Tovix {
namespace Infra {
namespace Detail {

PrintState g_printState;
std::atomic<int> g_coloursActive{0};
std::atomic<int> g_flushLevel{2};

bool askColoursActive() {
    const bool active = Platform::consoleColoursActive();
    g_coloursActive.store(active ? 1 : 2, std::memory_order_relaxed);
    return active;
}

}  // namespace Detail
}  // namespace Infra
}  // namespace Tovix

alignas(8) InfraPrintOption Tovix::Infra::Detail::g_printOption = {};

using namespace Tovix::Infra;
using namespace Tovix::Infra::Detail;

int Infra_logOptionControl(char* buffer, unsigned int size, int level, const char* module,
                           const char* file, const char* function, int line, const char* version,
                           SystemTimeEx* timeOut) {
    const SystemTimeEx now = CTime::getCurrentTimeEx();
    if (timeOut != nullptr) {
        *timeOut = now;
    }
    if (!g_printState.lineStart.load(std::memory_order_relaxed)) {
        return 0;
    }
    return writePrefix(buffer, size, level, module, file, -1, function, line, version, now);
}

int Infra_logFilter(int level, const char* module, const char* file, const char* function, int line,
                    const char* version, const char* format, ...) {
    if (!levelShown(level) ||
        g_printState.moduleOutputState.load(std::memory_order_relaxed) == kModulesOff) {
        return 0;
    }
    char buffer[kLineBufferSize];
    SystemTimeEx now;
    va_list args;
    va_start(args, format);
    const int length =
        composeLine(buffer, level, module, file, function, line, version, &now, format, args);
    va_end(args);
    Infra_print(level, buffer);
    Infra_resetcolor();
    return length;
}

int Infra_print(int level, const char* text) {
    if (text == nullptr) {
        return 0;
    }
    Tovix::Platform::debuggerOutput(text);
    const int result = std::fputs(text, stdout);
    if (level > 0 && level <= g_flushLevel.load(std::memory_order_relaxed)) {
        std::fflush(stdout);
    }
    return result;
}

void Infra_resetcolor(void) {
    PrintState& s = g_printState;
    if (!s.lineStart.load(std::memory_order_relaxed) || !coloursActive()) {
        return;
    }
    if (printOption(g_printOption.noColor) && s.colourRestored.load(std::memory_order_relaxed)) {
        return;
    }
    Tovix::Platform::consoleRestoreTextAttribute(s.savedAttribute.load(std::memory_order_relaxed));
    s.colourRestored.store(true, std::memory_order_relaxed);
}

InfraPrintOption* Infra_getPrintOption(void) {
    return &g_printOption;
}
