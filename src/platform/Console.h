// Platform, the console seam: colours of what standard output writes, and text for an attached
// debugger. Implemented by src/platform/posix/Console.cpp (ANSI sequences on a terminal) and
// src/platform/win32/Console.cpp (console text attributes). Nothing here throws or fails.
#ifndef INFRA_PLATFORM_CONSOLE_H
#define INFRA_PLATFORM_CONSOLE_H

namespace Tovix {
namespace Platform {

// Whether colour switches reach a console at all (POSIX: standard output is a terminal). When
// false, the attribute functions below do nothing.
bool consoleColoursActive();
// Console text attributes use the bits red 4, green 2, blue 1 (intensity 8).
// Reads the console's current attribute (POSIX: plain white, 7).
unsigned short consoleGetTextAttribute();
// Switches the colour of what standard output writes next; nothing when it is not a terminal.
void consoleSetTextAttribute(unsigned short attribute);
// Restores `saved` (POSIX: the reset sequence); nothing when standard output is not a terminal.
void consoleRestoreTextAttribute(unsigned short saved);
// Hands `text` to an attached debugger (nothing on POSIX).
void debuggerOutput(const char* text);

}  // namespace Platform
}  // namespace Tovix

#endif  // INFRA_PLATFORM_CONSOLE_H
