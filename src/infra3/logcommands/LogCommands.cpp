// Log commands: the setLogFilter command language and the log's cleanup, which configure both
// the print path and the log-file writer, and plug the writer into the print path.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "infra/Error.h"
#include "infra/PrintLog.h"
#include "infra3/core/Digits.h"
#include "infra3/log/PrintState.h"
#include "infra3/logfile/LogFile.h"
#include "platform/FileSystem.h"

namespace Tovix {
namespace Infra {

using namespace Detail;

namespace {

// ASCII comparison without regard to case.
bool sameWord(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) {
        return false;
    }
    for (;; ++a, ++b) {
        const char ca = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        const char cb = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (ca != cb) {
            return false;
        }
        if (ca == '\0') {
            return true;
        }
    }
}

bool isOption(const char* arg, const char* name) {
    return arg != nullptr && std::strcmp(arg, name) == 0;
}

// Reads a whole decimal number, optionally signed, with nothing before or after it, held within
// int's range. False for anything else ("nine", "1MB", "", null): such a value is refused
// rather than read as 0 or as its leading digits.
bool wholeNumber(const char* text, int* value) {
    // The reader skips leading blanks; a whole number has none.
    if (text == nullptr || !(*text == '+' || *text == '-' || (*text >= '0' && *text <= '9'))) {
        return false;
    }
    const char* p = text;
    return readDecimalInt(p, *value) && *p == '\0';
}

// The one line that names a refused value; the setting stays as it was.
void refuseValue(const char* option, const char* text) {
    std::printf("logfilter %s: \"%s\" is not a whole number; the setting is kept\n", option,
                text != nullptr ? text : "(null)");
}

// Reads the number of `text` for `option`, or names it as refused.
bool numberFor(const char* option, const char* text, int* value) {
    if (wholeNumber(text, value)) {
        return true;
    }
    refuseValue(option, text);
    return false;
}

// KB × 1024 when positive, else 0; a product beyond int's range is held at its maximum.
int kilobytesToBytes(int kilobytes) {
    const long long bytes = static_cast<long long>(kilobytes) * 1024;
    if (bytes <= 0) {
        return 0;
    }
    return bytes > INT_MAX ? INT_MAX : static_cast<int>(bytes);
}

void printUsage() {
    std::printf("logfilter command usage:\n");
    std::printf(
        "logfilter -loglevel [levelnum](0-no printlevel, 1-fatal, 2-error, 3-warn, 4-info, "
        "5-trace, 6-debug): set log level\n");
    std::printf("logfilter -logmodule [modulename] [on/off] #turn module's log on/off\n");
    std::printf("logfilter -logmodule [on/off] #turn ALL module's log on/off\n");
    std::printf(
        "logfilter -logpath [logpath/] #logger module's log to logpath or cancel logger(by set "
        "path to )\n");
    std::printf(
        "logfilter -logmodulestatistics  [on/off] #turn ALL module's logstatistics func "
        "on/off\n");
    std::printf("logfiter -logsize [logsize] #log file max size limited to logsize Kbytes\n");
    std::printf(
        "logfiter -logsavesetting bysize [logsize] [maxnumber]#(logsize-log will save as a new "
        "file if log's size reaches to logsize),(maxnumber-total log file)\n");
    std::printf(
        "logfiter -logsavesetting byday [on/off] [maxnumber] #(on-log will save as a new file if "
        "date changes),(maxnumber-total log file)\n");
    std::printf("logfiter -logsavesetting none #log file save in the old way\n");
}

// Sets one "no…" flag in both the stored options and the live record.
void setNegatedFlag(bool PrintOptions::*stored, bool InfraPrintOption::*live, const char* word) {
    setPrintFlag(stored, live, !sameWord(word, "on"));
}

int maxCountFrom(int max) {
    return max >= 1 ? max : 0;
}

// Why `path` cannot take a log file, or "" when it can: the path must not name a directory,
// its directory must exist and be writable, and so must the file when it exists. `*error` is
// the system's error number of the failed check.
std::string logPathProblem(const std::string& path, int* error) {
    *error = EISDIR;
    if (Platform::isPathSeparator(path.back())) {
        return "the path names a directory";
    }
    std::string::size_type end = path.size();
    while (end > 0 && !Platform::isPathSeparator(path[end - 1])) {
        --end;
    }
    const std::size_t drive = Platform::pathDriveLength(path.c_str());
    // The directory without its final separator, unless that is the root.
    const std::string directory = end <= drive      ? path.substr(0, drive) + "."
                                  : end > drive + 1 ? path.substr(0, end - 1)
                                                    : path.substr(0, end);
    const std::string quoted = "\"" + directory + "\"";
    Platform::FileStatus status{};
    if (Platform::fileStat(directory.c_str(), &status) != 0) {
        *error = errno;
        return *error == ENOTDIR ? "a part of the directory " + quoted + " is not a directory"
                                 : "the directory " + quoted + " does not exist";
    }
    if (!Platform::modeIsDirectory(status.mode)) {
        *error = ENOTDIR;
        return quoted + " is not a directory";
    }
    if (Platform::directoryProbeWrite(directory.c_str()) != 0) {
        *error = errno;
        return "the directory " + quoted + " is not writable (" + std::strerror(*error) + ")";
    }
    if (Platform::fileStat(path.c_str(), &status) == 0) {
        if (Platform::modeIsDirectory(status.mode)) {
            *error = EISDIR;
            return "the path is a directory";
        }
        if (Platform::fileAccess(path.c_str(), 2) != 0) {
            *error = errno;
            return "the file is not writable";
        }
    }
    return std::string();
}

}  // namespace

bool setLogFile(const char* path, const LogFileOptions& options) {
    installLogFileStage(logFileStage());
    const std::string text = path != nullptr ? path : "";
    if (!text.empty()) {
        int error = 0;
        const std::string problem = logPathProblem(text, &error);
        if (!problem.empty()) {
            setLastError(error);
            std::printf("setLogFile \"%s\": %s; the log file settings are kept\n", text.c_str(),
                        problem.c_str());
            return false;
        }
    }
    LogFileSettings settings{};
    settings.sizeLimit = kilobytesToBytes(options.sizeLimitKB);
    settings.rotating = options.rotating;
    settings.byDay = options.byDay;
    settings.maxCount = maxCountFrom(options.maxFiles);
    logFileConfigure(text.c_str(), settings);
    return true;
}

void setLogFilter(int argc, char* const argv[]) {
    if (argc < 0 || (argc > 0 && argv == nullptr)) {
        return;
    }
    installLogFileStage(logFileStage());
    const char* option = argc > 0 ? argv[0] : nullptr;
    if (argc == 0 || (argc == 1 && isOption(option, "-h"))) {
        printUsage();
        return;
    }
    if (isOption(option, "-loglevel")) {
        int level = 0;
        if (argc >= 2 && numberFor(option, argv[1], &level)) {
            setPrintLogLevel(level);
        }
    } else if (isOption(option, "-logmodule") && argc >= 3) {
        setModuleSwitch(argv[1] != nullptr ? argv[1] : "", sameWord(argv[2], "on"));
    } else if (isOption(option, "-logmodulelevel") && argc >= 3) {
        int level = 0;
        if (numberFor(option, argv[2], &level) &&
            !setLogModuleLevel(argv[1] != nullptr ? argv[1] : "", level)) {
            std::printf("logfilter %s: %d is not a level from 0 to 6; the setting is kept\n",
                        option, level);
        }
    } else if (isOption(option, "-logmodule") && argc == 2) {
        setModuleOutputState(sameWord(argv[1], "off") ? kModulesOff : kModulesAllOn);
    } else if (isOption(option, "-logtime")) {
        if (argc >= 2) {
            setNegatedFlag(&PrintOptions::noTime, &InfraPrintOption::noTime, argv[1]);
        }
    } else if (isOption(option, "-logthread")) {
        if (argc >= 2) {
            setNegatedFlag(&PrintOptions::noThread, &InfraPrintOption::noThread, argv[1]);
        }
    } else if (isOption(option, "-logversion")) {
        if (argc >= 2) {
            setNegatedFlag(&PrintOptions::noVersion, &InfraPrintOption::noVersion, argv[1]);
        }
    } else if (isOption(option, "-logfunction")) {
        if (argc >= 2) {
            setNegatedFlag(&PrintOptions::noFunction, &InfraPrintOption::noFunction, argv[1]);
        }
    } else if (isOption(option, "-logpath") && argc >= 2) {
        logFileSetPath(argv[1] != nullptr ? argv[1] : "");
    } else if (isOption(option, "-logsize")) {
        int kilobytes = 0;
        if (argc >= 2 && numberFor(option, argv[1], &kilobytes)) {
            logFileSetSizeLimit(kilobytesToBytes(kilobytes));
        }
    } else if (isOption(option, "-logmodulestatistics") && argc == 2) {
        setStatisticsEnabled(sameWord(argv[1], "on"));
    } else if (isOption(option, "-logsavesetting") && argc == 2 && sameWord(argv[1], "none")) {
        logFileSetRotating(false);
    } else if (isOption(option, "-logsavesetting") && argc == 4 && sameWord(argv[1], "byday")) {
        int max = 0;
        if (numberFor(option, argv[3], &max)) {
            logFileSetByDay(sameWord(argv[2], "on"));
            logFileSetMaxCount(maxCountFrom(max));
            logFileSetRotating(true);
        }
    } else if (isOption(option, "-logsavesetting") && argc == 4 && sameWord(argv[1], "bysize")) {
        int kilobytes = 0;
        int max = 0;
        if (numberFor(option, argv[2], &kilobytes) && numberFor(option, argv[3], &max)) {
            logFileSetSizeLimit(kilobytesToBytes(kilobytes));
            logFileSetMaxCount(maxCountFrom(max));
            logFileSetRotating(true);
        }
    }
}

void logCleanup() {
    installLogFileStage(logFileStage());
    logFileCleanup();
}

}  // namespace Infra
}  // namespace Tovix
