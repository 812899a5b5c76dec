// Files, directory search: CFileFind and CFileFindEx over the file system of the pattern's prefix.
#include "infra/FileFind.h"

#include <cstring>

#include "infra/File.h"

namespace Tovix {
namespace Infra {

struct FileFindInternal {
    long m_handle = -1;
    FileInfo m_entry = {};
    IFileSystem* m_opt = FileDefaultOpt::instance();
    flex_string m_directory;
};

namespace {

constexpr std::uint32_t kReadOnly = 0x01;
constexpr std::uint32_t kHidden = 0x02;
constexpr std::uint32_t kDirectory = 0x10;

// The entry handed to the file system carries the directory part on entry (a hooked file
// system may use it); the current entry changes only when the call finds one.
void prepareRequest(const FileFindInternal& self, FileInfo& request) {
    request = self.m_entry;
    std::size_t length = self.m_directory.size();
    if (length >= sizeof(request.name)) {
        length = sizeof(request.name) - 1;
    }
    std::memcpy(request.name, self.m_directory.data(), length);
    request.name[length] = '\0';
}

void closeSearch(FileFindInternal& self) {
    if (self.m_handle != -1) {
        self.m_opt->findclose(self.m_handle);
        self.m_handle = -1;
    }
}

bool findFirst(FileFindInternal& self, const char* pattern) {
    closeSearch(self);
    if (pattern == nullptr) {
        return false;
    }
    const char* const slash = std::strrchr(pattern, '/');
    if (slash != nullptr) {
        self.m_directory.assign(pattern, static_cast<std::size_t>(slash - pattern) + 1);
    } else {
        self.m_directory.clear();
    }
    self.m_opt = Detail::fileSystemOf(pattern);
    FileInfo request;
    prepareRequest(self, request);
    const long handle = self.m_opt->findfirst(pattern, &request);
    if (handle < 0) {
        return false;
    }
    self.m_handle = handle;
    self.m_entry = request;
    return true;
}

bool findNext(FileFindInternal& self) {
    if (self.m_handle == -1) {
        return false;
    }
    FileInfo request;
    prepareRequest(self, request);
    if (self.m_opt->findnext(self.m_handle, &request) < 0) {
        return false;
    }
    self.m_entry = request;
    return true;
}

std::string entryPath(const FileFindInternal& self) {
    std::string path(self.m_directory.data(), self.m_directory.size());
    path += self.m_entry.name;
    return path;
}

}  // namespace

// ---- CFileFind ------------------------------------------------------------------------------

CFileFind::CFileFind() : m_internal(new FileFindInternal) {}

CFileFind::~CFileFind() {
    closeSearch(*m_internal);
    delete m_internal;
    m_internal = nullptr;
}

bool CFileFind::findFile(const char* pattern) {
    return findFirst(*m_internal, pattern);
}

bool CFileFind::findNextFile() {
    return findNext(*m_internal);
}

void CFileFind::close() {
    closeSearch(*m_internal);
}

unsigned int CFileFind::getLength() {
    return static_cast<unsigned int>(m_internal->m_entry.size);
}

std::string CFileFind::getFileName() {
    return std::string(m_internal->m_entry.name);
}

std::string CFileFind::getFilePath() {
    return entryPath(*m_internal);
}

bool CFileFind::isReadOnly() {
    return (m_internal->m_entry.attrib & kReadOnly) != 0;
}

bool CFileFind::isDirectory() {
    return (m_internal->m_entry.attrib & kDirectory) != 0;
}

bool CFileFind::isHidden() {
    return (m_internal->m_entry.attrib & kHidden) != 0;
}

bool CFileFind::isNormal() {
    return (m_internal->m_entry.attrib & 0xFFFFu) == 0;
}

// ---- CFileFindEx ----------------------------------------------------------------------------

CFileFindEx::CFileFindEx() : m_internal(new FileFindInternal) {}

CFileFindEx::~CFileFindEx() {
    closeSearch(*m_internal);
    delete m_internal;
    m_internal = nullptr;
}

bool CFileFindEx::findFile(const char* pattern) {
    return findFirst(*m_internal, pattern);
}

bool CFileFindEx::findNextFile() {
    return findNext(*m_internal);
}

void CFileFindEx::close() {
    closeSearch(*m_internal);
}

unsigned int CFileFindEx::getLength() {
    return static_cast<unsigned int>(m_internal->m_entry.size);
}

flex_string CFileFindEx::getFileName() {
    return flex_string(m_internal->m_entry.name);
}

flex_string CFileFindEx::getFilePath() {
    flex_string path(m_internal->m_directory);
    path += m_internal->m_entry.name;
    return path;
}

bool CFileFindEx::isReadOnly() {
    return (m_internal->m_entry.attrib & kReadOnly) != 0;
}

bool CFileFindEx::isDirectory() {
    return (m_internal->m_entry.attrib & kDirectory) != 0;
}

bool CFileFindEx::isHidden() {
    return (m_internal->m_entry.attrib & kHidden) != 0;
}

bool CFileFindEx::isNormal() {
    return (m_internal->m_entry.attrib & 0xFFFFu) == 0;
}

}  // namespace Infra
}  // namespace Tovix
