/// @file
/// Levelled logging: the level calls, the library-wide logFilter, print level and options, the
/// log printer, attachable print sinks, per-module switches and statistics, a hex dump, and
/// setLogFilter, a small command language that changes all of it at run time.
///
/// Levels: 1 fatal, 2 error, 3 warn, 4 info, 5 trace, 6 debug (0 stands for no level). A line of
/// level L is shown when L is at most the print level (3 at start). A shown line gets the prefix
/// chosen by the print options (see PrintCore.h), goes to the log printer if one is set or else
/// to standard output in its level's colour, then to every attached sink, then to the log file
/// when a log path is set. A call whose level is not shown returns after one comparison.
///
/// Lines are built in one 8192-byte buffer: a message that does not fit is cut so that the line
/// holds 8191 characters. Every call returns the length of the line it showed, 0 when nothing was
/// shown. A null format, module, file or function never crashes a call: a null text counts as
/// empty.
///
/// Threads: log calls may come from any thread. Sinks run on the logging thread with no lock of
/// the library held, so a sink may attach or detach sinks (itself included) while it is called.
/// A line written without a final newline leaves the next line of any thread without prefix.
#ifndef INFRA_PRINTLOG_H
#define INFRA_PRINTLOG_H

#include <cstdint>
#include <map>
#include <string>

#include "infra/Defs.h"
#include "infra/Function.h"
#include "infra/PrintCore.h"

namespace Tovix {
namespace Infra {

/// The print options, as given to setPrintOptions. The thirteen flags mean what the fields of
/// InfraPrintOption mean; the reserved bytes are carried but never read.
struct PrintOptions {
    bool noTime;
    bool noColor;
    bool noModule;
    bool noLevel;
    bool noThread;
    bool noVersion;
    bool noFunction;
    bool noFile;
    bool noLine;
    bool withDate;
    bool withMillisecond;
    bool taggedFormat;
    bool noLogFile;
    char reserved[19];
};

/// Per-module statistics: the bytes of all lines logged under one module name.
struct LogModuleInfo {
    std::uint64_t bytes;
    std::uint64_t reserved;  ///< never set by the library
};

/// The level calls: module "Unknown", no file, empty function and version, no line. They test
/// the level only (not the module switches).
INFRA_API int logDebug(const char* format, ...) INFRA_PRINTF_FORMAT(1, 2);
INFRA_API int logTrace(const char* format, ...) INFRA_PRINTF_FORMAT(1, 2);
INFRA_API int logInfo(const char* format, ...) INFRA_PRINTF_FORMAT(1, 2);
INFRA_API int logWarn(const char* format, ...) INFRA_PRINTF_FORMAT(1, 2);
INFRA_API int logError(const char* format, ...) INFRA_PRINTF_FORMAT(1, 2);
INFRA_API int logFatal(const char* format, ...) INFRA_PRINTF_FORMAT(1, 2);

/// Like the level calls, under the module name `libName`. A level outside 1..6 shows nothing.
INFRA_API int logLibName(int level, const char* libName, const char* format, ...)
    INFRA_PRINTF_FORMAT(3, 4);

/// The full call. Tests the level and the module switches (-logmodule); `file` is reduced to the
/// text after its last '/' or '\\'; the version field is empty when `version` is null.
INFRA_API int logFilter(int level, const char* module, const char* file, const char* function,
                        int line, const char* version, const char* format, ...)
    INFRA_PRINTF_FORMAT(7, 8);

/// The print level, with no range check.
INFRA_API void setPrintLogLevel(int level);
INFRA_API int getPrintLogLevel();

/// Stores `options` and copies the thirteen flags into the process-wide InfraPrintOption record.
INFRA_API void setPrintOptions(PrintOptions options);
/// Copies the record last given to setPrintOptions (all zero at start) to *out; returns 0, or -1
/// when `out` is null.
INFRA_API int getPrintOptions(PrintOptions* out);

/// Replaces the log printer, which then receives every shown line instead of standard output.
/// An empty printer restores the default output. Returns 0.
INFRA_API int setLogPrinter(TFunction1<void, const char*> printer);

/// Appends `sink` to the print sinks unless an equal one is attached: false if it was there, and
/// false for an empty sink (nothing to call), which is never attached.
INFRA_API bool attachPrint(TFunction1<bool, const char*> sink);
/// Removes the first sink equal to `sink`; false when none is. A line that another thread is
/// writing at that moment may still reach the sink after detachPrint returns: keep the sink's
/// object alive until no thread can be logging through it (e.g. until those threads are joined).
INFRA_API bool detachPrint(TFunction1<bool, const char*> sink);

/// A copy of the per-module statistics (kept while "-logmodulestatistics on").
INFRA_API std::map<std::string, LogModuleInfo> getLogStatistics();

/// Closes the log file if it is open; the next line opens it again. Call it when no thread logs.
INFRA_API void logCleanup();

/// Hex dump at level trace: 16 bytes a line ("%p: ", the bytes in hex, two blanks, the bytes as
/// characters, '.' outside 32..122), an empty line after every 32 lines.
INFRA_API void dumpHex(unsigned char* data, unsigned int length);

/// The command interpreter; argv[0] is the option itself. With no arguments or "-h" it prints
/// the usage text. An option whose argument is missing is ignored; nothing reads past argc.
/// Numbers (the level, sizes in KB, the maximum file count) must be whole decimal numbers: a
/// value such as "nine" or "1MB" leaves the setting as it was and prints one line naming the
/// option and the value ("logfilter -loglevel: "nine" is not a whole number; the setting is
/// kept"). Unknown options are ignored.
INFRA_API void setLogFilter(int argc, char* const argv[]);

}  // namespace Infra
}  // namespace Tovix

/// The level calls in the global namespace are the same functions as those of Tovix::Infra, so a
/// using-directive for Tovix::Infra never makes a call ambiguous.
using Tovix::Infra::logDebug;
using Tovix::Infra::logError;
using Tovix::Infra::logFatal;
using Tovix::Infra::logInfo;
using Tovix::Infra::logTrace;
using Tovix::Infra::logWarn;

#endif  // INFRA_PRINTLOG_H
