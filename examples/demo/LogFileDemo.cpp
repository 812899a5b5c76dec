// Log files: every shown line also goes to a file that rotates by size, keeping a few old ones.
#include <cstdio>
#include <filesystem>
#include <string>

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

}  // namespace

void logFileSection() {
    std::printf("Log files\n");
    const std::string dir =
        (std::filesystem::temp_directory_path() / "infra-demo-logs").string() + "/";
    if (CFile::access(dir.c_str(), 0)) {
        CFile::removeDirectoryRecursively(dir.c_str(), true);
    }
    CFile::makeDirectoryRecursively(dir.c_str());
    const std::string path = dir + "demo.log";

    // Rotate at 1 KB and keep at most three rotated files.
    command("-logpath", path);
    command("-logsavesetting", "bysize", "1", "3");
    setLogPrinter(TFunction1<void, const char*>(&quiet));  // the lines go to the file only
    for (int i = 0; i < 60; ++i) {
        logWarn("line %d of the rotating log demo\n", i);
    }
    setLogPrinter(TFunction1<void, const char*>());
    logCleanup();
    command("-logpath", "");

    std::printf("  files in %s:\n", dir.c_str());
    CFileFind find;
    for (bool found = find.findFile((dir + "demo.log*").c_str()); found;
         found = find.findNextFile()) {
        std::printf("    %-40s %5u bytes\n", find.getFileName().c_str(), find.getLength());
    }
    find.close();
    CFile::removeDirectoryRecursively(dir.c_str(), true);
}
