// Log files: every shown line also goes to a file that rotates by size, keeping a few old ones,
// set up by the typed call and by the command language.
#include <cstdio>
#include <filesystem>
#include <string>

#include "infra/Error.h"
#include "infra/File.h"
#include "infra/FileFind.h"
#include "infra/PrintLog.h"

using namespace Tovix::Infra;

namespace {

void command(std::string option, std::string a = "", std::string b = "", std::string c = "") {
    char* argv[] = {option.data(), a.data(), b.data(), c.data()};
    int argc = 1;
    for (const std::string* word : {&a, &b, &c}) {
        if (word->empty()) {
            break;
        }
        ++argc;
    }
    setLogFilter(argc, argv);
}

void quiet(const char*) {}

void listFiles(const std::string& dir) {
    std::printf("  files in %s:\n", dir.c_str());
    CFileFind find;
    for (bool found = find.findFile((dir + "demo.log*").c_str()); found;
         found = find.findNextFile()) {
        std::printf("    %-40s %5u bytes\n", find.getFileName().c_str(), find.getLength());
    }
    find.close();
}

}  // namespace

void logFileSection() {
    std::printf("Log files\n");
    const std::string dir =
        (std::filesystem::temp_directory_path() / "infra-demo-logs").string() + "/";
    if (CFile::access(dir.c_str(), 0)) {
        CFile::removeDirectoryRecursively(dir.c_str(), true);
    }
    const std::string path = dir + "demo.log";

    // The directory does not exist yet: the path is refused, with one line saying why.
    if (!setLogFile(path.c_str(), LogFileOptions::bySize(1, 3))) {
        std::printf("  refused as expected, last error %d\n", getLastError());
    }
    CFile::makeDirectoryRecursively(dir.c_str());

    // Rotate at 1 KB and keep three renamed copies beside the active file.
    setLogFile(path.c_str(), LogFileOptions::bySize(1, 3));
    setLogPrinter(TFunction1<void, const char*>(&quiet));  // the lines go to the file only
    for (int i = 0; i < 60; ++i) {
        logWarn("line %d of the rotating log demo\n", i);
    }
    setLogPrinter(TFunction1<void, const char*>());
    flushLog();
    listFiles(dir);

    // The command language sets the same state.
    command("-logpath", path);
    command("-logsavesetting", "bysize", "1", "3");
    logWarn("one more line, set up by commands\n");
    logCleanup();
    command("-logpath", "");
    CFile::removeDirectoryRecursively(dir.c_str(), true);
}
