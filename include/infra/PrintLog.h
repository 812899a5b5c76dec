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
/// Like attachPrint(sink), with a level of the sink's own: it receives only the shown lines at or
/// below `level` (2: errors and fatal lines; 0: none). A line hidden by the print level or a
/// module's switch reaches no sink, so a sink's level can only narrow what it receives. An equal
/// sink already attached keeps its level (false); detach it first to change the level.
INFRA_API bool attachPrint(TFunction1<bool, const char*> sink, int level);
/// Removes the first sink equal to `sink`; false when none is. A line that another thread is
/// writing at that moment may still reach the sink after detachPrint returns: keep the sink's
/// object alive until no thread can be logging through it (e.g. until those threads are joined).
INFRA_API bool detachPrint(TFunction1<bool, const char*> sink);

/// Gives module `module` a level of its own for the lines logged under its name through
/// logFilter: such a line is shown when its level is at most both the print level and the
/// module's level, so a module's level narrows and never widens (0 keeps only its lines of level
/// 0, 6 lets the print level alone decide). Switches the module on, keeps the other modules'
/// switches and makes the module table apply, as setLogFilter's "-logmodule <module> on" does;
/// a later "-logmodule <module> on/off" keeps the level. The level calls and logLibName test the
/// print level only, as for the switches. setLogFilter's "-logmodulelevel <module> <level>" does
/// the same. False, with nothing changed, for a null module or a level outside 0..6.
INFRA_API bool setLogModuleLevel(const char* module, int level);

/// A copy of the per-module statistics (kept while "-logmodulestatistics on").
INFRA_API std::map<std::string, LogModuleInfo> getLogStatistics();

/// Closes the log file if it is open; the next line opens it again. Call it when no thread logs.
INFRA_API void logCleanup();

/// How the log file is kept, for setLogFile. The fields are the settings that setLogFilter's
/// "-logsize" and "-logsavesetting" change; the named constructors give the usual choices.
struct LogFileOptions {
    /// false: one file, emptied when it reaches the size limit ("-logsavesetting none").
    /// true: the file is renamed "<path>_YYYY-MM-DD_N" and a new one begun when it reaches the
    /// size limit or, with `byDay`, when the date changes.
    bool rotating = false;
    /// Rotating: a new file when the date of a line differs from the file's ("byday on").
    bool byDay = false;
    /// The size limit in KB (0 or less: none).
    int sizeLimitKB = 0;
    /// Rotating: the renamed copies kept beside the active file; a rotation that makes them more
    /// deletes the oldest (0 or less: none is deleted).
    int maxFiles = 0;

    /// One file, emptied when it reaches `limitKB` (0: it grows without limit).
    static LogFileOptions single(int limitKB = 0) {
        LogFileOptions o;
        o.sizeLimitKB = limitKB;
        return o;
    }
    /// A new file each day, keeping `maxFiles` old files (0: all).
    static LogFileOptions daily(int maxFiles) {
        LogFileOptions o;
        o.rotating = true;
        o.byDay = true;
        o.maxFiles = maxFiles;
        return o;
    }
    /// A new file whenever the active one reaches `limitKB`, keeping `maxFiles` old files (0:
    /// all).
    static LogFileOptions bySize(int limitKB, int maxFiles) {
        LogFileOptions o;
        o.rotating = true;
        o.sizeLimitKB = limitKB;
        o.maxFiles = maxFiles;
        return o;
    }
};

/// Sends every shown line to the log file at `path` too, kept as `options` say: the typed twin
/// of setLogFilter's "-logpath", "-logsize" and "-logsavesetting", setting the same state.
/// A bare file name is taken in the current directory; null or "" ends file output.
///
/// The path's directory is checked, the log file is not created: the first line opens it, and
/// an existing file there is taken over (or renamed away, when rotating) as for setLogFilter.
/// The directory counts as writable when the system lets a file be created there: an empty file
/// of a fresh name (".infra-probe-…") is created and removed at once, so permissions, read-only
/// mounts and the privileges of the process are judged as the first line will meet them.
/// A file already open under the previous path is closed, so the next line goes to the new one.
///
/// False, with every setting kept, when the path cannot take a log file: it names a directory,
/// its directory does not exist (or is not a directory), or the directory or the file is not
/// writable. Then the last error (Error.h) is the system's error number (`errno`: ENOENT,
/// ENOTDIR, EISDIR, EACCES, EROFS …) and one line on standard output names the path and the
/// reason, e.g. `setLogFile "logs/app.log": the directory "logs" does not exist; the log file
/// settings are kept`.
INFRA_API bool setLogFile(const char* path, const LogFileOptions& options = LogFileOptions());

/// Lines at or below `level` (1 fatal … 6 debug; 0: none) flush standard output once written, so
/// that they reach the system even when standard output is a fully buffered file or pipe and the
/// process then ends abnormally. Default 2: error and fatal lines.
INFRA_API void setLogFlushLevel(int level);
INFRA_API int getLogFlushLevel();

/// Hands what standard output and the log file hold in their buffers to the system (`fflush`;
/// not a write to the disk). Returns once a line another thread is writing to the log file has
/// been written.
INFRA_API void flushLog();

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
