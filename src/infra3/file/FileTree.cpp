// Files, directory trees: CFile::makeDirectoryRecursively and CFile::removeDirectoryRecursively,
// served through the file system of each path like every other file operation.
#include <string>

#include "infra/File.h"
#include "infra/FileFind.h"
#include "infra3/core/Diagnostics.h"
#include "infra3/file/FileInternal.h"
#include "platform/FileSystem.h"

namespace Tovix {
namespace Infra {

using Detail::kLevelWarn;

namespace {

// A symbolic link must be removed as a link: following it would remove what lies outside the
// tree. Only the default file system knows of links; hooked ones report none.
bool isLink(const std::string& path) {
    return Detail::fileHandlesAreStreams(Detail::fileSystemOf(path.c_str())) &&
           Platform::fileIsLink(path.c_str());
}

// Removes a link itself, never what it points to: a link to a file, or on POSIX to anything,
// goes with remove(); a Windows link to a folder (symbolic link or junction) is a folder entry,
// which only the folder removal takes away, and that leaves the target untouched.
bool removeLink(const std::string& path) {
    return CFile::remove(path.c_str()) || CFile::removeDirectory(path.c_str());
}

}  // namespace

bool CFile::makeDirectoryRecursively(const char* path) {
    if (path == nullptr || path[0] == '\0') {
        INFRA_DIAG(kLevelWarn, "the path is unvalid");
        return false;
    }
    std::string full(path);
    if (full.back() == '/') {
        full.pop_back();
    }
    std::size_t offset = 0;
    while (offset < full.size()) {
        const std::size_t slash = full.find('/', offset);
        if (slash == std::string::npos) {
            break;
        }
        if (slash > 0) {
            // An intermediate directory that exists already is no failure.
            makeDirectory(full.substr(0, slash).c_str());
        }
        offset = slash + 1;
    }
    return makeDirectory(full.c_str());
}

bool CFile::removeDirectoryRecursively(const char* path, bool removeSelf) {
    if (path == nullptr || path[0] == '\0') {
        INFRA_DIAG(kLevelWarn, "the path is unvalid");
        return false;
    }
    // Built without a length limit: a pattern cut short would name another directory.
    std::string pattern(path);
    if (pattern.back() == '/') {
        pattern += '*';
    } else if (pattern.size() < 2 || pattern.compare(pattern.size() - 2, 2, "/*") != 0) {
        pattern += "/*";
    }
    const std::string root = pattern.substr(0, pattern.size() - 2);
    if (!root.empty() && isLink(root)) {
        return removeSelf && removeLink(root);
    }

    CFileFind find;
    if (!find.findFile(pattern.c_str())) {
        INFRA_DIAG(kLevelWarn, "the path does not exist");
        return false;
    }
    do {
        const std::string name = find.getFileName();
        if (name == "." || name == "..") {
            continue;
        }
        const std::string entry = find.getFilePath();
        if (!find.isDirectory()) {
            remove(entry.c_str());
        } else if (isLink(entry)) {
            removeLink(entry);
        } else {
            removeDirectoryRecursively(entry.c_str(), true);
        }
    } while (find.findNextFile());
    find.close();

    if (!removeSelf) {
        return true;
    }
    pattern.pop_back();
    return removeDirectory(pattern.c_str());
}

}  // namespace Infra
}  // namespace Tovix
