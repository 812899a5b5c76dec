// The hook table and hooked file systems: which file system serves a path, freeing and reusing
// slots, an in-memory file system serving CFile, CFileFind and the directory-tree operations,
// and the cache of position and length observed by counting file-system calls.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "infra3/file/FileTestSupport.h"
#include "infra/File.h"
#include "infra/FileFind.h"
#include "infra/LfsFile.h"
#include "support/LogCapture.h"

using namespace Tovix::Infra;
using FileTestSupport::CountingFileSystem;
using FileTestSupport::MemoryFileSystem;
using FileTestSupport::ScopedHook;
using FileTestSupport::TempDir;

TEST(FileHookTest, FirstMatchingSlotWinsNotTheLongestPrefix) {
    MemoryFileSystem mnt;
    MemoryFileSystem usb;
    ScopedHook first("/mnt", &mnt);
    ScopedHook second("/mnt/usb", &usb);
    EXPECT_EQ(&mnt, Detail::fileSystemOf("/mnt/usb/a"));
    EXPECT_EQ(&mnt, Detail::fileSystemOf("/mnt/b"));
    // The prefix is compared over its length only.
    EXPECT_EQ(&mnt, Detail::fileSystemOf("/mnt2/c"));
    EXPECT_EQ(FileDefaultOpt::instance(), Detail::fileSystemOf("/mn"));
    EXPECT_EQ(FileDefaultOpt::instance(), Detail::fileSystemOf("relative/mnt"));
    EXPECT_EQ(FileDefaultOpt::instance(), Detail::fileSystemOf(nullptr));
}

TEST(FileHookTest, HooksMatchThePathWithDotsAndRepeatedSeparatorsResolved) {
    MemoryFileSystem vault;
    MemoryFileSystem local;
    ScopedHook first("/dir/vault", &vault);
    ScopedHook second("rel/", &local);
    IFileSystem* const plain = FileDefaultOpt::instance();
    const struct {
        const char* path;
        IFileSystem* expected;
    } cases[] = {
        {"/dir/./vault/f", &vault},
        {"/dir//vault/f", &vault},
        {"//dir/vault/f", &vault},
        {"/dir/other/../vault/f", &vault},
        {"/dir/vault/../../etc/f", plain},
        {"/dir/vault/..", plain},
        {"/../dir/vault/f", &vault},  // nothing lies above the root
        {"./rel/f", &local},
        {"rel/x/../../rel/f", &local},
        {"rel/../../rel/f", plain},  // climbs above the start: another "rel"
        {"rel", plain},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, Detail::fileSystemOf(c.path)) << c.path;
    }
#if defined(_WIN32)
    EXPECT_EQ(&vault, Detail::fileSystemOf("\\dir\\.\\vault\\f"));
    EXPECT_EQ(plain, Detail::fileSystemOf("/dir/vault\\..\\..\\etc\\f"));
#else
    EXPECT_EQ(plain, Detail::fileSystemOf("/dir\\vault/f"));  // a name character here
#endif
}

TEST(FileHookTest, UnhookFreesTheSlotAndTheNextHookReusesIt) {
    MemoryFileSystem mnt;
    MemoryFileSystem usb;
    MemoryFileSystem other;
    hookFileSystem("/mnt", &mnt);
    ScopedHook second("/mnt/usb", &usb);
    hookFileSystem("/mnt", nullptr);
    EXPECT_EQ(&usb, Detail::fileSystemOf("/mnt/usb/a"));
    EXPECT_EQ(FileDefaultOpt::instance(), Detail::fileSystemOf("/mnt/b"));
    // The freed first slot comes before /mnt/usb again.
    ScopedHook reuse("/mnt", &other);
    EXPECT_EQ(&other, Detail::fileSystemOf("/mnt/usb/a"));
    // Unhooking a prefix that was never hooked changes nothing.
    hookFileSystem("/nothing", nullptr);
    EXPECT_EQ(&other, Detail::fileSystemOf("/mnt/usb/a"));
}

TEST(FileHookTest, TableHoldsThirtyOneHooksAndIgnoresTheRest) {
    MemoryFileSystem fs;
    MemoryFileSystem late;
    for (int i = 0; i < 31; ++i) {
        hookFileSystem(("/h" + std::to_string(i) + "/").c_str(), &fs);
    }
    hookFileSystem("/late/", &late);
    EXPECT_EQ(FileDefaultOpt::instance(), Detail::fileSystemOf("/late/x"));
    EXPECT_EQ(&fs, Detail::fileSystemOf("/h30/x"));
    hookFileSystem("/h7/", nullptr);
    hookFileSystem("/late/", &late);
    EXPECT_EQ(&late, Detail::fileSystemOf("/late/x"));
    hookFileSystem("/late/", nullptr);
    for (int i = 0; i < 31; ++i) {
        hookFileSystem(("/h" + std::to_string(i) + "/").c_str(), nullptr);
    }
    EXPECT_EQ(FileDefaultOpt::instance(), Detail::fileSystemOf("/h30/x"));
    // Null or empty prefixes are ignored.
    hookFileSystem(nullptr, &fs);
    hookFileSystem("", &fs);
    EXPECT_EQ(FileDefaultOpt::instance(), Detail::fileSystemOf("/anything"));
}

TEST(FileHookTest, LongPrefixesAreCutTo255Characters) {
    MemoryFileSystem fs;
    const std::string prefix = "/" + std::string(300, 'p');
    hookFileSystem(prefix.c_str(), &fs);
    EXPECT_EQ(&fs, Detail::fileSystemOf(prefix.substr(0, 255).c_str()));
    hookFileSystem(prefix.c_str(), nullptr);
    EXPECT_EQ(FileDefaultOpt::instance(), Detail::fileSystemOf(prefix.c_str()));
}

TEST(FileHookTest, LookupsRaceSafelyWithHooking) {
    MemoryFileSystem fs;
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; ++t) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                IFileSystem* found = Detail::fileSystemOf("/race/file");
                if (found != &fs && found != FileDefaultOpt::instance()) {
                    ++wrong;
                }
            }
        });
    }
    for (int i = 0; i < 2000; ++i) {
        hookFileSystem("/race/", &fs);
        hookFileSystem("/race/", nullptr);
    }
    stop = true;
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(0, wrong.load());
}

TEST(FileHookTest, InMemoryFileSystemServesCFile) {
    MemoryFileSystem fs;
    ScopedHook hook("/mem", &fs);
    fs.putDirectory("/mem");
    CFile file;
    ASSERT_TRUE(file.open("/mem/a.txt", CFile::modeReadWrite | CFile::modeCreate));
    EXPECT_EQ("wb+", fs.lastMode());
    char text[] = "hello world";
    EXPECT_EQ(11, file.write(text, 11));
    EXPECT_EQ(11u, file.getPosition());
    EXPECT_EQ(11u, file.getLength());
    EXPECT_EQ(6u, file.seek(6, CFile::seekBegin));
    char buffer[16] = {};
    EXPECT_EQ(5, file.read(buffer, 15));
    EXPECT_STREQ("world", buffer);
    file.close();
    EXPECT_EQ("hello world", fs.content("/mem/a.txt"));
    EXPECT_EQ(0u, fs.openHandles());

    ASSERT_TRUE(file.open("/mem/a.txt", CFile::modeReadWrite | CFile::modeCreate |
                                            CFile::modeNoTruncate | CFile::modeNoInherit |
                                            CFile::modeDirect));
    EXPECT_EQ("ab+ed", fs.lastMode());
    EXPECT_EQ(11u, file.getLength());
    EXPECT_GE(file.puts("!\n"), 0);
    file.close();
    EXPECT_EQ("hello world!\n", fs.content("/mem/a.txt"));

    const unsigned char* data = file.load("/mem/a.txt");
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(0, std::memcmp("hello world!\n", data, 13));
    EXPECT_EQ("rb", fs.lastMode());
    file.unload();

    EXPECT_TRUE(CFile::rename("/mem/a.txt", "/mem/b.txt"));
    EXPECT_TRUE(CFile::access("/mem/b.txt", 0));
    FileInfo info;
    ASSERT_TRUE(CFile::stat("/mem/b.txt", info));
    EXPECT_EQ(13u, info.size);
    unsigned long long available = 0;
    unsigned long long total = 0;
    unsigned long long free = 0;
    ASSERT_TRUE(CFile::statFS("/mem", available, total, free));
    EXPECT_EQ(1000u, available);
    EXPECT_EQ(3000u, total);
    EXPECT_EQ(2000u, free);
    EXPECT_TRUE(CFile::remove("/mem/b.txt"));
    EXPECT_FALSE(fs.exists("/mem/b.txt"));
    EXPECT_EQ(0u, fs.openHandles());
}

TEST(FileHookTest, HookedWritevGoesElementByElementThroughFwrite) {
    MemoryFileSystem fs;
    ScopedHook hook("/vec", &fs);
    fs.putDirectory("/vec");
    CFile file;
    ASSERT_TRUE(file.open("/vec/v", CFile::modeWrite));
    char a[] = "abc";
    char b[] = "defg";
    io_vec elements[] = {{a, 3}, {b, 0}, {b, 4}};
    EXPECT_EQ(7, file.writev(elements, 3));
    EXPECT_EQ(7u, file.getPosition());
    EXPECT_EQ(7u, file.getLength());
    EXPECT_EQ(0, fs.callsOf("writev"));
    file.close();
    EXPECT_EQ("abcdefg", fs.content("/vec/v"));
    // A hooked handle is no standard stream: setvbuf refuses it.
    ASSERT_TRUE(file.open("/vec/v", CFile::modeRead));
    TestSupport::LogCapture log;
    EXPECT_FALSE(file.setvbuf(nullptr, CFile::ioFullBuf, 0));
    EXPECT_TRUE(log.contains("CFile::setvbuf failed\n"));
}

namespace {

// Returns 1 (not 0) from rename: the operation "did something" but did not succeed as the
// standard function defines it.
class OddRenameFileSystem : public MemoryFileSystem {
public:
    int rename(const char*, const char*) override { return 1; }
};

}  // namespace

namespace {

// Reports a file longer than what can be read from it, as a file truncated meanwhile would.
class ShrinkingFileSystem : public MemoryFileSystem {
public:
    int stat(const char* path, FileInfo* out) override {
        const int result = MemoryFileSystem::stat(path, out);
        out->size += 10;
        return result;
    }
};

}  // namespace

TEST(FileHookTest, LoadThatCannotReadTheWholeFileFailsAndCloses) {
    ShrinkingFileSystem fs;
    ScopedHook hook("/shrink/", &fs);
    fs.putDirectory("/shrink");
    fs.putFile("/shrink/f", "0123456789");
    TestSupport::LogCapture log;
    CFile file;
    EXPECT_EQ(nullptr, file.load("/shrink/f"));
    EXPECT_TRUE(log.contains("CFile::load(): length(20), ret(10), "));
    EXPECT_FALSE(file.isOpen());
    EXPECT_EQ(0u, fs.openHandles());
    CLfsFile large;
    EXPECT_EQ(nullptr, large.load("/shrink/f"));
    EXPECT_TRUE(log.contains("CLfsFile::load(): length(20), ret(10), "));
    EXPECT_FALSE(large.isOpen());
    EXPECT_EQ(0u, fs.openHandles());
}

TEST(FileHookTest, StaticOperationsSucceedOnlyOnExactlyZero) {
    OddRenameFileSystem fs;
    ScopedHook hook("/odd", &fs);
    fs.putFile("/odd/a", "x");
    EXPECT_FALSE(CFile::rename("/odd/a", "/odd/b"));
    EXPECT_FALSE(CLfsFile::rename("/odd/a", "/odd/b"));
    // A rename is dispatched by its first path.
    MemoryFileSystem plain;
    ScopedHook hook2("/plain", &plain);
    plain.putFile("/plain/a", "x");
    EXPECT_TRUE(CFile::rename("/plain/a", "/odd/b"));
    EXPECT_TRUE(plain.exists("/odd/b"));
}

TEST(FileHookTest, SeekToTheCurrentPositionMakesNoFileSystemCall) {
    TempDir dir;
    ASSERT_TRUE(dir.valid());
    CountingFileSystem fs;
    ScopedHook hook(dir.path(), &fs);
    const std::string name = dir / "counted";
    CFile file;
    ASSERT_TRUE(file.open(name.c_str(), CFile::modeReadWrite | CFile::modeCreate));
    char data[] = "0123456789";
    ASSERT_EQ(10, file.write(data, 10));

    const int before = fs.total();
    EXPECT_EQ(10u, file.seek(10, CFile::seekBegin));
    EXPECT_EQ(10u, file.seek(0, CFile::seekCurrent));
    EXPECT_EQ(10u, file.getPosition());
    EXPECT_EQ(10u, file.getLength());
    EXPECT_EQ(before, fs.total());

    // A move to the end always asks the file system.
    EXPECT_EQ(10u, file.seek(0, CFile::seekEnd));
    EXPECT_EQ(1, fs.fseekCalls.load());
    EXPECT_EQ(before + 2, fs.total());  // fseek + ftell

    EXPECT_EQ(3u, file.seek(3, CFile::seekBegin));
    EXPECT_EQ(2, fs.fseekCalls.load());
    EXPECT_EQ(3u, file.seek(3, CFile::seekBegin));
    EXPECT_EQ(2, fs.fseekCalls.load());
}

TEST(FileHookTest, LengthIsLearnedOnceAndKept) {
    MemoryFileSystem fs;
    ScopedHook hook("/len", &fs);
    fs.putFile("/len/f", std::string(100, 'z'));
    CFile file;
    ASSERT_TRUE(file.open("/len/f", CFile::modeRead));
    EXPECT_EQ(1, fs.callsOf("stat"));
    const int seeks = fs.callsOf("fseek");
    EXPECT_EQ(100u, file.getLength());
    EXPECT_EQ(100u, file.getLength());
    EXPECT_EQ(seeks, fs.callsOf("fseek"));
    file.close();

    // Truncating opens do not ask for the status; the length is then learned by seeking.
    ASSERT_TRUE(file.open("/len/f", CFile::modeReadWrite | CFile::modeCreate));
    EXPECT_EQ(1, fs.callsOf("stat"));
    char data[] = "abc";
    ASSERT_EQ(3, file.write(data, 3));
    EXPECT_EQ(3u, file.getLength());
}

TEST(FileHookTest, FileSearchRunsOnTheHookedFileSystem) {
    MemoryFileSystem fs;
    ScopedHook hook("/fs", &fs);
    fs.putDirectory("/fs");
    fs.putDirectory("/fs/dir");
    fs.putFile("/fs/dir/a.txt", "1");
    fs.putFile("/fs/dir/b.txt", "22");
    fs.putFile("/fs/dir/c.log", "333");
    fs.putDirectory("/fs/dir/sub");

    CFileFind find;
    std::vector<std::string> paths;
    for (bool found = find.findFile("/fs/dir/*.txt"); found; found = find.findNextFile()) {
        paths.push_back(find.getFilePath());
        EXPECT_EQ("/fs/dir/", fs.lastFindInput());
    }
    EXPECT_EQ((std::vector<std::string>{"/fs/dir/a.txt", "/fs/dir/b.txt"}), paths);
    // After the end the last entry stays current.
    EXPECT_EQ("b.txt", find.getFileName());
    EXPECT_EQ(2u, find.getLength());
    find.close();
    EXPECT_EQ(0u, fs.openSearches());

    CFileFindEx findEx;
    ASSERT_TRUE(findEx.findFile("/fs/dir/s*"));
    EXPECT_EQ(flex_string("/fs/dir/sub"), findEx.getFilePath());
    EXPECT_TRUE(findEx.isDirectory());
    EXPECT_FALSE(findEx.findNextFile());
    EXPECT_FALSE(findEx.findFile("/fs/dir/*.none"));
    EXPECT_EQ(0u, fs.openSearches());
}

TEST(FileHookTest, DirectoryTreesOnTheHookedFileSystem) {
    MemoryFileSystem fs;
    ScopedHook hook("/t", &fs);
    fs.putDirectory("/t");
    EXPECT_TRUE(CFile::makeDirectoryRecursively("/t/one/two/three/"));
    EXPECT_TRUE(fs.isDirectory("/t/one"));
    EXPECT_TRUE(fs.isDirectory("/t/one/two"));
    EXPECT_TRUE(fs.isDirectory("/t/one/two/three"));
    EXPECT_FALSE(CFile::makeDirectoryRecursively("/t/one/two/three"));
    fs.putFile("/t/one/f", "x");
    fs.putFile("/t/one/two/g", "y");
    fs.putFile("/t/one/two/three/h", "z");

    EXPECT_TRUE(CFile::removeDirectoryRecursively("/t/one", false));
    EXPECT_TRUE(fs.isDirectory("/t/one"));
    EXPECT_FALSE(fs.exists("/t/one/f"));
    EXPECT_FALSE(fs.exists("/t/one/two"));
    EXPECT_FALSE(fs.exists("/t/one/two/three/h"));
    fs.putFile("/t/one/f", "x");
    EXPECT_TRUE(CFile::removeDirectoryRecursively("/t/one/", true));
    EXPECT_FALSE(fs.exists("/t/one"));
    EXPECT_EQ(0u, fs.openSearches());
    EXPECT_EQ(0, fs.callsOf("fopen"));
}
