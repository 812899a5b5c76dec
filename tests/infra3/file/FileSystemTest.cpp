// Which file system serves a path (the hook table and its path normalisation), the static
// operations dispatched by path, the default file system, directory search and directory trees.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "infra/FileFind.h"
#include "infra/LfsFile.h"
#include "infra3/file/FileTestSupport.h"
#if !defined(_WIN32)
#include <fcntl.h>
#endif

using namespace Tovix::Infra;
using namespace FileTestSupport;
namespace stdfs = std::filesystem;
using Names = std::set<std::string>;

namespace {

IFileSystem* const plain = FileDefaultOpt::instance();

IFileSystem* of(const char* path) {
    return Detail::fileSystemOf(path);
}

class FileSystemTest : public ::testing::Test, public HookedDir {
protected:
    std::string path(const std::string& name) const { return dir / name; }
    // The names a search yields, checking that each path is the pattern's directory + name.
    static Names list(const std::string& pattern) {
        const std::string directory = pattern.substr(0, pattern.rfind('/') + 1);
        Names names;
        CFileFind find;
        for (bool found = find.findFile(pattern.c_str()); found; found = find.findNextFile()) {
            names.insert(find.getFileName().c_str());
            EXPECT_EQ(directory + find.getFileName().c_str(), find.getFilePath().c_str());
        }
        return names;
    }
};

}  // namespace

TEST(FileSystemHookTest, FirstMatchingHookWinsOverItsLengthAndFreedSlotsAreReused) {
    CountingFileSystem mnt;
    CountingFileSystem usb;
    hookFileSystem("/mnt", &mnt);
    hookFileSystem("/mnt/usb", &usb);
    EXPECT_EQ(&mnt, of("/mnt/usb/a"));  // not the longest prefix
    EXPECT_EQ(&mnt, of("/mnt2/c"));
    EXPECT_EQ(plain, of("/mn"));
    EXPECT_EQ(plain, of(nullptr));
    hookFileSystem("/mnt", nullptr);
    EXPECT_EQ(&usb, of("/mnt/usb/a"));
    hookFileSystem("/mnt", &mnt);  // into the freed first slot
    EXPECT_EQ(&mnt, of("/mnt/usb/a"));
    for (int i = 3; i < 33; ++i) {  // 31 hooks at most
        hookFileSystem(("/h" + std::to_string(i) + "/").c_str(), &usb);
    }
    EXPECT_EQ(&usb, of("/h31/x"));
    EXPECT_EQ(plain, of("/h32/x"));
    hookFileSystem(nullptr, &mnt);
    hookFileSystem("", &mnt);
    for (int i = 3; i < 33; ++i) {
        hookFileSystem(("/h" + std::to_string(i) + "/").c_str(), nullptr);
    }
    EXPECT_EQ(plain, of("/h31/x"));
    hookFileSystem("/mnt/usb", nullptr);
    hookFileSystem("/mnt", nullptr);
}

TEST(FileSystemHookTest, HooksMatchThePathWithDotsAndRepeatedSeparatorsResolved) {
    CountingFileSystem vault;
    CountingFileSystem local;
    CountingFileSystem here;
    hookFileSystem("/dir/vault/", &vault);
    hookFileSystem("rel/", &local);
    hookFileSystem("./", &here);  // the relative paths that stay below the current directory
    const std::pair<const char*, IFileSystem*> cases[] = {
        {"/dir/./vault/f", &vault},
        {"/dir//vault/f", &vault},
        {"/dir/vault/.", &vault},
        {"/dir/vaultx/f", plain},
        {"/dir/other/../vault/f", &vault},
        {"/dir/vault/../../etc/f", plain},
        {"/dir/vault/..", plain},
        {"/../dir/vault/f", &vault},  // nothing lies above the root
        {"./rel/f", &local},
        {"rel/x/../../rel/f", &local},
        {"rel/../../rel/f", plain},  // climbs above the start: another "rel"
        {"rel", &here},
        {"a/../b", &here},
#if defined(_WIN32)
        {"\\dir\\.\\vault\\f", &vault},
        {"/dir/vault\\..\\..\\etc\\f", plain},
#else
        {"/dir\\vault/f", plain},  // a name character here
#endif
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.second, of(c.first)) << c.first;
    }
    for (const char* prefix : {"/dir/vault/", "rel/", "./"}) {
        hookFileSystem(prefix, nullptr);
    }
}

TEST_F(FileSystemTest, StaticOperationsGoToTheFileSystemOfTheirPathAndSucceedOnlyOnZero) {
    FileInfo info;
    unsigned long long space[3] = {};  // available, total, free
    const std::string f = hooked + "f";
    const std::string g = path("g");  // beyond the hook: a rename goes by its first path
    const std::string d = hooked + "d";
    for (bool fail : {false, true}) {
        counter.failing =
            fail ? Names{"stat", "access", "statfs", "rename", "remove", "mkdir", "rmdir"}
                 : Names{};
        writeFile(f, "xyz");
        EXPECT_EQ(!fail, CFile::stat(f.c_str(), info) && info.size == 3 && f == info.name);
        EXPECT_EQ(!fail, CLfsFile::access(f.c_str(), 6));
        EXPECT_EQ(!fail, CLfsFile::statFS(f.c_str(), space[0], space[1], space[2]));
        EXPECT_EQ(!fail, CFile::rename(f.c_str(), g.c_str()) && stdfs::exists(g));
        writeFile(f, "");
        EXPECT_EQ(!fail, CLfsFile::remove(f.c_str()) && !stdfs::exists(f));
        EXPECT_EQ(!fail, CLfsFile::makeDirectory(d.c_str()) && stdfs::is_directory(d));
        stdfs::create_directory(d);
        EXPECT_EQ(!fail, CFile::removeDirectory(d.c_str()) && !stdfs::exists(d));
    }
    EXPECT_EQ(2, counter.calls["rename"]);
    EXPECT_EQ(stdfs::space(dir.path()).capacity, space[1]);
    EXPECT_TRUE(space[0] <= space[2] && space[2] <= space[1]);
    // The default file system's own failures, and paths that reach no file system.
    EXPECT_FALSE(CFile::rename(path("none").c_str(), g.c_str()) ||
                 CFile::remove(path("none").c_str()) || CFile::makeDirectory(g.c_str()) ||
                 CFile::statFS(path("none").c_str(), space[0], space[1], space[2]) ||
                 CFile::rename(nullptr, "x") || CFile::rename("x", nullptr) ||
                 CFile::remove(nullptr) || CFile::makeDirectory(nullptr) ||
                 CFile::removeDirectory(nullptr) || CFile::access(nullptr, 0) ||
                 CFile::statFS(nullptr, space[0], space[1], space[2]) ||
                 CFile::stat(nullptr, info));
}

TEST_F(FileSystemTest, DefaultFileSystemStatesFilesAndRefusesBadInput) {
    FileDefaultOpt* opt = FileDefaultOpt::instance();
    FileInfo info{};
    // A path longer than the name field is stored cut, and still ends.
    const std::string deep = dir / (std::string(200, 'n') + "/" + std::string(100, 'm'));
    stdfs::create_directory(path(std::string(200, 'n')));
    writeFile(deep, "12");
    if (CFile::stat(deep.c_str(), info)) {
        EXPECT_TRUE((info.attrib & 0170000u) == 0100000u && info.time_write > 0);  // a file's
        EXPECT_EQ(2u, info.size);
        EXPECT_EQ(deep.substr(0, 259),
                  std::string(info.name, std::find(info.name, info.name + 260, '\0')));
    }
    unsigned long long n = 0;
    EXPECT_EQ(
        std::vector<long>(9, -1),
        (std::vector<long>{
            opt->findfirst(nullptr, &info), opt->findnext(12345, &info), opt->findclose(-1),
            opt->stat(nullptr, &info), opt->stat(dir.path().c_str(), nullptr), opt->remove(nullptr),
            opt->rename(nullptr, nullptr), opt->mkdir(nullptr), opt->statfs(nullptr, &n, &n, &n)}));
    char buffer[8] = {'x'};
    EXPECT_TRUE(opt->fopen(nullptr, "rb") == nullptr && opt->fgets(buffer, 8, nullptr) == nullptr);
    writeFile(path("l"), "line\n");
    void* handle = opt->fopen(path("l").c_str(), "rb");
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(nullptr, opt->fgets(buffer, 0, handle));
    EXPECT_EQ(nullptr, opt->fgets(nullptr, 8, handle));
#if !defined(_WIN32)
    EXPECT_EQ(buffer, opt->fgets(buffer, 1, handle));  // room for the terminator alone
#endif
    EXPECT_EQ(0, opt->fclose(handle));
}

TEST_F(FileSystemTest, DefaultFopenMakesPrivateBufferedFilesAndRefusesModesWithoutAccess) {
    FileDefaultOpt* opt = FileDefaultOpt::instance();
    void* handle = opt->fopen(path("f").c_str(), "wbde");
    ASSERT_NE(nullptr, handle);
#if !defined(_WIN32)
    EXPECT_NE(0, ::fcntl(fileno(static_cast<FILE*>(handle)), F_GETFD) & FD_CLOEXEC);
#endif
    ASSERT_EQ(16000u, opt->fwrite(std::string(16000, 'b').data(), 1, 16000, handle));
    EXPECT_EQ(0u, stdfs::file_size(path("f")));  // 16000 bytes fit the 16 KiB buffer
    EXPECT_EQ(0, opt->fclose(handle));
    const stdfs::perms permissions = stdfs::status(path("f")).permissions();
    using P = stdfs::perms;
#if !defined(_WIN32)
    // Windows keeps no group or other permissions: a file is writable or read-only for all.
    EXPECT_EQ(P::none, permissions & (P::group_all | P::others_all));
#endif
    EXPECT_EQ(P::owner_read | P::owner_write, permissions & P::owner_all);
    EXPECT_FALSE(opt->fopen(path("ed").c_str(), "ed") || opt->fopen(path("r").c_str(), "rb+") ||
                 stdfs::exists(path("ed")) || stdfs::exists(path("r")));  // 'r' never creates
}

TEST_F(FileSystemTest, SearchesYieldTheMatchingEntriesWithTheirAttributes) {
    for (const char* name : {"a.txt", "b.txt", "ab.txt", "c.log", "d.txt.bak", ".hidden"}) {
        writeFile(hooked + name, name);
    }
    stdfs::create_directory(hooked + "sub.txt");
    stdfs::permissions(hooked + "c.log", stdfs::perms::owner_write, stdfs::perm_options::remove);
    const std::pair<const char*, Names> cases[] = {
        {"*.txt", {"a.txt", "b.txt", "ab.txt", "sub.txt"}},
        {"?.txt", {"a.txt", "b.txt"}},
        {"*", {".", "..", "a.txt", "b.txt", "ab.txt", "c.log", "d.txt.bak", ".hidden", "sub.txt"}},
        {"*.none", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.second, list(hooked + c.first)) << c.first;
        EXPECT_EQ(hooked, counter.lastFindInput);  // the directory part goes in as the name
    }
    EXPECT_EQ(Names{"c.log"}, list(hooked + "/c.*"));  // the path keeps what was written
    CFileFind find;
    CFileFindEx findEx;
    ASSERT_TRUE(find.findFile((hooked + "d.txt.bak").c_str()));
    ASSERT_TRUE(findEx.findFile((hooked + "s*").c_str()));
    EXPECT_EQ(9u, find.getLength());
    EXPECT_FALSE(find.findNextFile() || findEx.findNextFile());
    EXPECT_EQ("d.txt.bak", find.getFileName());  // the last entry stays current
    EXPECT_EQ(flex_string((hooked + "sub.txt").c_str()), findEx.getFilePath());
    EXPECT_TRUE(findEx.isDirectory() && !findEx.isNormal() && !findEx.isReadOnly());
    ASSERT_TRUE(find.findFile((hooked + "c.log").c_str()));
    EXPECT_TRUE(find.isReadOnly() && !find.isNormal() && !find.isDirectory() && !find.isHidden());
#if !defined(_WIN32)
    // Windows lists its own bits: a new file is "archive", a dot name may or may not be hidden.
    ASSERT_TRUE(find.findFile((hooked + ".hidden").c_str()));
    ASSERT_TRUE(findEx.findFile((hooked + "a.txt").c_str()));
    EXPECT_TRUE(find.isHidden() && !find.isNormal() && !find.isDirectory() && findEx.isNormal());
#endif
    EXPECT_FALSE(find.findFile(path("missing/*").c_str()) || find.findFile(path("").c_str()));
    EXPECT_FALSE(find.findNextFile() || find.findFile(nullptr) || findEx.findFile(nullptr));
}

TEST_F(FileSystemTest, InterleavedRestartedAndConcurrentSearchesAndStreamsKeepApart) {
    for (int d = 0; d < 4; ++d) {
        stdfs::create_directory(path(std::to_string(d)));
        for (int i = 0; i <= d + 2; ++i) {
            writeFile(path(std::to_string(d) + "/f" + std::to_string(i)), "");
        }
    }
    CFileFind first;
    CFileFindEx second;
    Names paths;
    bool more = first.findFile(path("2/f*").c_str());
    bool moreEx = second.findFile(path("3/f*").c_str());
    for (; more || moreEx; more = more && first.findNextFile()) {
        paths.insert(first.getFilePath());
        paths.insert(second.getFilePath().c_str());
        moreEx = moreEx && second.findNextFile();
    }
    EXPECT_EQ(11u, paths.size());
    for (int i = 0; i < 2000; ++i) {  // restarts must not run out of directory handles
        ASSERT_TRUE(first.findFile(path("0/f*").c_str()));
    }
    // Each thread lists its own directory, writes and loads its own file (a stream buffer handed
    // to the wrong stream would mix the contents) and looks up a path hooked meanwhile.
    CountingFileSystem racing;
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50 || !done; ++round) {
                IFileSystem* const found = of("/race/file");
                failures[t] += found != &racing && found != plain;
                std::string content(3000 + round, static_cast<char>('A' + t));
                CFile file;
                file.open(path(std::to_string(t) + "/data").c_str(), CFile::modeWrite);
                file.write(&content[0], static_cast<unsigned int>(content.size()));
                const unsigned char* data = file.load(path(std::to_string(t) + "/data").c_str());
                failures[t] += data == nullptr || file.getLength() != content.size() ||
                               std::memcmp(data, content.data(), content.size()) != 0 ||
                               list(path(std::to_string(t) + "/f*")).size() != t + 3u;
            }
        });
    }
    for (int i = 0; i < 2000; ++i) {
        hookFileSystem("/race/", &racing);
        hookFileSystem("/race/", nullptr);
    }
    done = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(std::vector<int>(4, 0), failures);
}

TEST_F(FileSystemTest, DirectoryTreesAreMadeAndRemovedLevelByLevel) {
    EXPECT_TRUE(CFile::makeDirectoryRecursively(path("tree/a/b/").c_str()));
    // The last directory exists already: false, although every directory exists.
    EXPECT_FALSE(CFile::makeDirectoryRecursively(path("tree/a/b").c_str()));
    for (const char* given : {"tree", "tree/", "tree/*"}) {  // through the hook
        for (bool removeSelf : {false, true}) {
            ASSERT_TRUE(CFile::makeDirectoryRecursively((hooked + "tree/a/b/c").c_str()));
            for (const char* file : {"tree/f", "tree/.hidden", "tree/a/g", "tree/a/b/c/h"}) {
                writeFile(hooked + file, file);
            }
            EXPECT_TRUE(CFile::removeDirectoryRecursively((hooked + given).c_str(), removeSelf));
            EXPECT_EQ(!removeSelf, stdfs::exists(hooked + "tree")) << given;
            EXPECT_TRUE(removeSelf || stdfs::is_empty(hooked + "tree")) << given;
        }
    }
    EXPECT_EQ(24, counter.calls["remove"]);
    EXPECT_EQ(3 * (3 + 4), counter.calls["rmdir"]);  // the levels above the hook are not its own
    TestSupport::LogCapture log;
    EXPECT_FALSE(CFile::makeDirectoryRecursively(nullptr) || CFile::makeDirectoryRecursively(""));
    EXPECT_FALSE(CFile::removeDirectoryRecursively(nullptr, true) ||
                 CFile::removeDirectoryRecursively("", false));
    EXPECT_EQ(4u, occurrences(log.text(), "the path is unvalid"));
    EXPECT_FALSE(CFile::removeDirectoryRecursively(path("missing").c_str(), true));
    EXPECT_TRUE(log.contains("the path does not exist"));
}

TEST_F(FileSystemTest, RemoveDirectoryRecursivelyNeverFollowsALinkOutOfTheTree) {
    ASSERT_TRUE(CFile::makeDirectoryRecursively(path("outside").c_str()));
    writeFile(path("outside/precious"), "keep me");
    ASSERT_TRUE(CFile::makeDirectoryRecursively(path("tree/inner").c_str()));
    std::error_code error;
    stdfs::create_directory_symlink(path("outside"), path("tree/link"), error);
    if (error) {
        GTEST_SKIP() << "symbolic links unavailable: " << error.message();
    }
    stdfs::create_symlink(path("outside/precious"), path("tree/inner/filelink"), error);
    EXPECT_TRUE(CFile::removeDirectoryRecursively(path("tree").c_str(), true));
    EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(path("tree"))));
    // A link given as the tree goes as a link; emptying through it would empty its target.
    stdfs::create_directory_symlink(path("outside"), path("alias"), error);
    EXPECT_FALSE(CFile::removeDirectoryRecursively(path("alias").c_str(), false));
    EXPECT_FALSE(CFile::removeDirectoryRecursively(path("alias/*").c_str(), false));
    EXPECT_TRUE(CFile::removeDirectoryRecursively(path("alias/").c_str(), true));
    EXPECT_FALSE(stdfs::exists(stdfs::symlink_status(path("alias"))));
    EXPECT_EQ("keep me", readFile(path("outside/precious")));
}
