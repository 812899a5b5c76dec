/// @file
/// The print core: the line prefix chosen by the print options, the console colour of each
/// level, and the plain C-linkage entry points under their undecorated names.
///
/// With all options false (the start state) a line carries time, module, version, level, file,
/// function, line and thread id, e.g.
///   10:04:05|[net] [ver:1.2] warn socket.cpp open 42 tid:1234 the message
/// and, with taggedFormat,
///   |T:10:04:05|M:net|V:1.2|L:warn |F:socket.cpp|f:open|l:42|t:1234|m:the message
///
/// Colours are switched only when standard output is a terminal; redirected output stays clean.
/// The line-start state is shared by all threads: after a line without a final newline, the next
/// line of any thread gets no prefix and no colour switch.
#ifndef INFRA_PRINTCORE_H
#define INFRA_PRINTCORE_H

#include "infra/Defs.h"
#include "infra/Time.h"

/// The process-wide print options: thirteen one-byte flags, all false at start. Flags 0 to 8
/// leave a field out, 9 to 11 switch a feature on, 12 switches the log-file output off.
struct InfraPrintOption {
    bool noTime;           ///< the time of day is left out
    bool noColor;          ///< the console colour is not changed
    bool noModule;         ///< the module name is left out
    bool noLevel;          ///< the level word is left out
    bool noThread;         ///< the thread id is left out
    bool noVersion;        ///< the version is left out
    bool noFunction;       ///< the function name is left out
    bool noFile;           ///< the file name is left out
    bool noLine;           ///< the line number is left out
    bool withDate;         ///< the date is written before the time
    bool withMillisecond;  ///< the time carries milliseconds
    bool taggedFormat;     ///< every field is written as a tagged item
    bool noLogFile;        ///< lines are not written to the log file
};

/// Reads the local time (into *timeOut when not null) and, at the start of a line, switches the
/// colour and writes the prefix into `buffer` (at most `size` characters with the terminating
/// NUL). Returns the characters written; 0 when the line-start flag is clear.
INFRA_EXTERN_C INFRA_API int Infra_logOptionControl(char* buffer, unsigned int size, int level,
                                                    const char* module, const char* file,
                                                    const char* function, int line,
                                                    const char* version,
                                                    Tovix::Infra::SystemTimeEx* timeOut);

/// The complete plain log call: level and global module switch, prefix, message, output. It does
/// not reach the print sinks, the log file or the statistics. Returns the line's length, 0 when
/// nothing was written.
INFRA_EXTERN_C INFRA_API int Infra_logFilter(int level, const char* module, const char* file,
                                             const char* function, int line, const char* version,
                                             const char* format, ...) INFRA_PRINTF_FORMAT(7, 8);

/// Writes `text` to the debugger (nothing on POSIX) and to standard output; returns what fputs
/// returns. `level` is not used.
INFRA_EXTERN_C INFRA_API int Infra_print(int level, const char* text);

/// Restores the console colour after a complete line.
INFRA_EXTERN_C INFRA_API void Infra_resetcolor(void);

/// The process-wide option record; never null. Change it while no other thread logs.
INFRA_EXTERN_C INFRA_API InfraPrintOption* Infra_getPrintOption(void);

#endif  // INFRA_PRINTCORE_H
