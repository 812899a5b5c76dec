// Platform: Windows console colours (console text attributes) and debugger output.
#include <cstdio>

#include "WindowsHeader.h"
#include "platform/Console.h"

namespace Tovix {
namespace Platform {

namespace {

// Standard output's console handle, or null when standard output is no console (a file or a
// pipe), where colours would mean nothing. Asked once: it does not change while the process
// runs in practice.
HANDLE consoleOutput() {
    static const HANDLE handle = [] {
        const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (out == nullptr || out == INVALID_HANDLE_VALUE ||
            !GetConsoleScreenBufferInfo(out, &info)) {
            return static_cast<HANDLE>(nullptr);
        }
        return out;
    }();
    return handle;
}

}  // namespace

bool consoleColoursActive() {
    return consoleOutput() != nullptr;
}

unsigned short consoleGetTextAttribute() {
    const HANDLE out = consoleOutput();
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (out == nullptr || !GetConsoleScreenBufferInfo(out, &info)) {
        return 7;
    }
    return info.wAttributes;
}

void consoleSetTextAttribute(unsigned short attribute) {
    const HANDLE out = consoleOutput();
    if (out == nullptr) {
        return;
    }
    // The attribute applies to what reaches the console from now on: text still buffered in
    // stdout belongs to the colour before.
    std::fflush(stdout);
    SetConsoleTextAttribute(out, attribute);
}

void consoleRestoreTextAttribute(unsigned short saved) {
    const HANDLE out = consoleOutput();
    if (out == nullptr) {
        return;
    }
    std::fflush(stdout);
    SetConsoleTextAttribute(out, saved);
}

void debuggerOutput(const char* text) {
    if (text != nullptr) {
        OutputDebugStringA(text);
    }
}

}  // namespace Platform
}  // namespace Tovix
