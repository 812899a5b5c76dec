/// @file
/// Directory search: the entries of one directory whose names match a pattern.
///
/// A pattern is a directory part ending in '/' (or none: the current directory) followed by a
/// last component that may hold '*' and '?', e.g. "logs/app.log*". The search is served by the
/// file system of the pattern's prefix (see hookFileSystem in File.h). The default file system
/// lists "." and ".." like any other entry.
///
/// A search object belongs to one thread at a time.
#ifndef INFRA_FILEFIND_H
#define INFRA_FILEFIND_H

#include <string>

#include "infra/Defs.h"
#include "infra/FlexString.h"

namespace Tovix {
namespace Infra {

struct FileFindInternal;

/// Typical use:
///   CFileFind find;
///   for (bool found = find.findFile("dir/*.txt"); found; found = find.findNextFile()) {
///       use(find.getFilePath());
///   }
/// The getters describe the current entry. Before a successful findFile (or after the search
/// ran out) they return what the last entry held: empty names, length 0, all attributes clear
/// when there was none.
class INFRA_API CFileFind {
public:
    CFileFind();
    /// Ends the search.
    virtual ~CFileFind();
    CFileFind(const CFileFind&) = delete;
    CFileFind& operator=(const CFileFind&) = delete;

    /// Ends any open search and starts one for `pattern`; true when an entry was found (it
    /// becomes the current entry). A null pattern gives false.
    virtual bool findFile(const char* pattern);
    /// Moves to the next matching entry; false at the end or when no search is open.
    virtual bool findNextFile();
    /// Ends the search (nothing when none is open).
    virtual void close();
    /// The size of the current entry (its low 32 bits).
    virtual unsigned int getLength();
    /// The current entry's name.
    virtual std::string getFileName();
    /// The directory part of the pattern followed by the current entry's name.
    virtual std::string getFilePath();
    virtual bool isReadOnly();
    virtual bool isDirectory();
    virtual bool isHidden();
    /// True when no attribute bit is set (a plain, visible, writable file).
    virtual bool isNormal();

private:
    FileFindInternal* m_internal;
};

/// CFileFind with flex_string names and no virtual operations.
class INFRA_API CFileFindEx {
public:
    CFileFindEx();
    ~CFileFindEx();
    CFileFindEx(const CFileFindEx&) = delete;
    CFileFindEx& operator=(const CFileFindEx&) = delete;

    bool findFile(const char* pattern);
    bool findNextFile();
    void close();
    unsigned int getLength();
    flex_string getFileName();
    flex_string getFilePath();
    bool isReadOnly();
    bool isDirectory();
    bool isHidden();
    bool isNormal();

private:
    FileFindInternal* m_internal;
};

}  // namespace Infra
}  // namespace Tovix

#endif  // INFRA_FILEFIND_H
