// Platform: POSIX console colours (ANSI SGR sequences, only on a terminal) and debugger output
// (none).
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "platform/Console.h"

namespace Tovix {
namespace Platform {

namespace {

bool stdoutIsTerminal() {
    // Whether standard output is a terminal does not change while the process runs in practice;
    // ask once.
    static const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    return terminal;
}

}  // namespace

bool consoleColoursActive() {
    return stdoutIsTerminal();
}

unsigned short consoleGetTextAttribute() {
    return 7;
}

void consoleSetTextAttribute(unsigned short attribute) {
    if (!stdoutIsTerminal()) {
        return;
    }
    // Red 4, green 2, blue 1 map onto the ANSI colour index red 1, green 2, blue 4. Attribute 0
    // (black on black on a console) uses the terminal's default colour, so the text stays
    // readable.
    const unsigned int index =
        ((attribute & 4) ? 1u : 0u) | ((attribute & 2) ? 2u : 0u) | ((attribute & 1) ? 4u : 0u);
    char sequence[16];
    if ((attribute & 7) == 0) {
        std::snprintf(sequence, sizeof sequence, "\033[39m");
    } else {
        std::snprintf(sequence, sizeof sequence, "\033[%um", ((attribute & 8) ? 90u : 30u) + index);
    }
    std::fputs(sequence, stdout);
}

void consoleRestoreTextAttribute(unsigned short /*saved*/) {
    if (stdoutIsTerminal()) {
        std::fputs("\033[0m", stdout);
    }
}

void debuggerOutput(const char* /*text*/) {}

}  // namespace Platform
}  // namespace Tovix
