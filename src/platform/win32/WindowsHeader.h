// Platform: the one way this folder includes <windows.h>: without the rarely used parts and without
// the min/max macros, which would break std::min and std::max in every file that sees them.
#ifndef INFRA_PLATFORM_WIN32_WINDOWSHEADER_H
#define INFRA_PLATFORM_WIN32_WINDOWSHEADER_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#endif  // INFRA_PLATFORM_WIN32_WINDOWSHEADER_H
