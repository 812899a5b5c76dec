// Failing file operations leave the system's error number as the last error; a missing file and
// an empty one are told apart by it.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>

#include "infra/Error.h"
#include "infra/File.h"
#include "infra/LfsFile.h"
#include "support/TempDir.h"

using namespace Tovix::Infra;
using TestSupport::TempDir;
using TestSupport::writeFile;

TEST(FileErrors, FailuresLeaveTheSystemErrorNumberAndSuccessLeavesItAlone) {
    TempDir dir;
    const std::string missing = dir / "missing";
    const std::string empty = dir / "empty";
    const std::string full = dir / "full";
    writeFile(empty, "");
    writeFile(full, "text");
    CFile file;
    CLfsFile large;
    FileInfo info{};
    struct Case {
        const char* what;
        std::function<bool()> call;  // true when the call reports success
        int error;                   // the last error afterwards (-1: left as it was)
    };
    const Case cases[] = {
        {"load of a missing file", [&] { return file.load(missing.c_str()) != nullptr; }, ENOENT},
        {"load of an empty file", [&] { return file.load(empty.c_str()) != nullptr; }, 0},
        {"large load of a missing file", [&] { return large.load(missing.c_str()) != nullptr; },
         ENOENT},
        {"large load of an empty file", [&] { return large.load(empty.c_str()) != nullptr; }, 0},
        {"open of a null path", [&] { return file.open(nullptr, CFile::modeRead); }, EINVAL},
        {"open with no access mode", [&] { return file.open(full.c_str(), 0x3); }, EINVAL},
        {"open of a missing file", [&] { return file.open(missing.c_str(), CFile::modeRead); },
         ENOENT},
        {"remove of a missing file", [&] { return CFile::remove(missing.c_str()); }, ENOENT},
        {"rename of a missing file",
         [&] { return CFile::rename(missing.c_str(), (dir / "other").c_str()); }, ENOENT},
        {"rename to a null path", [&] { return CFile::rename(full.c_str(), nullptr); }, EINVAL},
        {"makeDirectory of an existing one",
         [&] { return CFile::makeDirectory(dir.path().c_str()); }, EEXIST},
        {"removeDirectory of a missing one",
         [&] { return CFile::removeDirectory(missing.c_str()); }, ENOENT},
        {"stat of a missing file", [&] { return CFile::stat(missing.c_str(), info); }, ENOENT},
        {"access to a missing file", [&] { return CFile::access(missing.c_str(), 0); }, ENOENT},
        {"access to a null path", [&] { return CLfsFile::access(nullptr, 0); }, EINVAL},
        {"load of a full file", [&] { return file.load(full.c_str()) != nullptr; }, -1},
        {"stat of a present file", [&] { return CFile::stat(full.c_str(), info); }, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        file.unload();
        large.unload();
        setLastError(12345);
        EXPECT_EQ(c.call(), c.error == -1);
        EXPECT_EQ(getLastError(), c.error == -1 ? 12345 : c.error);
    }
}
