// CFile over the default file system: open modes, cached length and position, load, line
// input and output, closed-file results, bad input, the static operations, and the default
// file system's stream settings.
#include "infra/File.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "infra3/file/FileTestSupport.h"
#include "infra/Error.h"
#include "support/LogCapture.h"

using namespace Tovix::Infra;
using FileTestSupport::readFile;
using FileTestSupport::TempDir;
using FileTestSupport::writeFile;

namespace {

class FileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.valid()); }
    std::string path(const std::string& name) const { return m_dir / name; }
    TempDir m_dir;
};

}  // namespace

TEST_F(FileTest, InvalidAccessValueIsLoggedAndRefused) {
    TestSupport::LogCapture log;
    CFile file;
    EXPECT_FALSE(file.open(path("a").c_str(), 3));
    EXPECT_TRUE(log.contains("CFile::open(): dwFlags(3) is invalid\n"));
    EXPECT_TRUE(log.contains(" this:"));
    // Option bits alone name no access either, and create nothing.
    EXPECT_FALSE(file.open(path("b").c_str(), 3 | CFile::modeNoInherit | CFile::modeCreate));
    EXPECT_FALSE(std::filesystem::exists(path("b")));
    EXPECT_FALSE(file.isOpen());
}

TEST_F(FileTest, ReadWriteCreateTruncatesAndNoTruncateKeepsLength) {
    writeFile(path("f"), "0123456789");
    CFile file;
    ASSERT_TRUE(file.open(path("f").c_str(), CFile::modeReadWrite | CFile::modeCreate));
    EXPECT_EQ(0u, file.getLength());
    file.close();
    EXPECT_EQ("", readFile(path("f")));

    writeFile(path("f"), "0123456789");
    ASSERT_TRUE(file.open(path("f").c_str(),
                          CFile::modeReadWrite | CFile::modeCreate | CFile::modeNoTruncate));
    EXPECT_EQ(10u, file.getLength());
    char text[] = "ab";
    EXPECT_EQ(2, file.write(text, 2));  // appended
#if !defined(_WIN32)
    // The position after a buffered append: the Windows runtime's ftell counts from where the
    // stream was opened (2 here), the C library here from the start of the file (12).
    EXPECT_EQ(12u, file.getLength());
#endif
    file.close();
    EXPECT_EQ("0123456789ab", readFile(path("f")));
}

TEST_F(FileTest, ReadWithCreateStillOpensReadOnly) {
    CFile file;
    EXPECT_FALSE(file.open(path("missing").c_str(), CFile::modeRead | CFile::modeCreate));
    EXPECT_FALSE(std::filesystem::exists(path("missing")));
    EXPECT_FALSE(file.open(path("missing").c_str(), CFile::modeReadWrite));
}

TEST_F(FileTest, WriteOnlyModesTruncateOrAppend) {
    writeFile(path("w"), "old");
    CFile file;
    ASSERT_TRUE(file.open(path("w").c_str(), CFile::modeWrite));
    char text[] = "new";
    EXPECT_EQ(3, file.write(text, 3));
    file.close();
    EXPECT_EQ("new", readFile(path("w")));
    ASSERT_TRUE(file.open(path("w").c_str(), CFile::modeWrite | CFile::modeNoTruncate));
    EXPECT_EQ(3, file.write(text, 3));
    file.close();
    EXPECT_EQ("newnew", readFile(path("w")));
    // A write-only file cannot be read.
    ASSERT_TRUE(file.open(path("w").c_str(), CFile::modeWrite | CFile::modeNoTruncate));
    char buffer[8];
    EXPECT_EQ(0, file.read(buffer, sizeof(buffer)));
}

TEST_F(FileTest, PositionAndLengthFollowWritesReadsAndSeeks) {
    CFile file;
    ASSERT_TRUE(file.open(path("p").c_str(), CFile::modeReadWrite | CFile::modeCreate));
    char data[] = "0123456789";
    EXPECT_EQ(10, file.write(data, 10));
    EXPECT_EQ(10u, file.getPosition());
    EXPECT_EQ(10u, file.getLength());

    EXPECT_EQ(4u, file.seek(4, CFile::seekBegin));
    char buffer[16] = {};
    EXPECT_EQ(3, file.read(buffer, 3));
    EXPECT_STREQ("456", buffer);
    EXPECT_EQ(7u, file.getPosition());
    EXPECT_EQ(5u, file.seek(-2, CFile::seekCurrent));
    EXPECT_EQ(8u, file.seek(-2, CFile::seekEnd));
    EXPECT_EQ(2, file.read(buffer, 10));
    EXPECT_EQ(10u, file.getPosition());
    // Seeking before the start fails: 0, and the cached position stays.
    EXPECT_EQ(0u, file.seek(-100, CFile::seekCurrent));
    EXPECT_EQ(10u, file.getPosition());
    // Writing past the end raises the length.
    EXPECT_EQ(14u, file.seek(4, CFile::seekEnd));
    EXPECT_EQ(2, file.write(data, 2));
    EXPECT_EQ(16u, file.getLength());
    file.flush();
    EXPECT_EQ(16u, std::filesystem::file_size(path("p")));
}

TEST_F(FileTest, LengthOfAnOpenFileIsFoundAndPositionKept) {
    writeFile(path("l"), std::string(1000, 'x'));
    CFile file;
    ASSERT_TRUE(file.open(path("l").c_str(), CFile::modeRead));
    char buffer[100];
    EXPECT_EQ(100, file.read(buffer, 100));
    EXPECT_EQ(1000u, file.getLength());
    EXPECT_EQ(100u, file.getPosition());
}

TEST_F(FileTest, LoadReadsTheWholeFileAndKeepsItOpen) {
    std::string content;
    for (int i = 0; i < 70000; ++i) {
        content += static_cast<char>('a' + i % 26);
    }
    writeFile(path("big"), content);
    CFile file;
    const unsigned char* data = file.load(path("big").c_str());
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(content.size(), file.getLength());
    EXPECT_EQ(0, std::memcmp(content.data(), data, content.size()));
    EXPECT_TRUE(file.isOpen());
    // A second load returns the same buffer, whatever the path.
    EXPECT_EQ(data, file.load(path("other").c_str()));
    file.unload();
    EXPECT_FALSE(file.isOpen());
    EXPECT_EQ(nullptr, file.load(path("missing").c_str()));
}

TEST_F(FileTest, FileBeyondThirtyTwoBitsIsNeitherLoadedNorGivenACutLength) {
    const std::string name = path("sparse");
    const std::uintmax_t size = (std::uintmax_t{1} << 32) + 10;
    writeFile(name, "");
    std::error_code error;
    std::filesystem::resize_file(name, size, error);
    if (error || std::filesystem::file_size(name, error) != size) {
        GTEST_SKIP() << "the temporary file system refuses sparse files this large";
    }
    CFile file;
    ASSERT_TRUE(file.open(name.c_str(), CFile::modeRead));
    setLastError(0);
    EXPECT_EQ(0xFFFFFFFFu, file.getLength());
    EXPECT_EQ(CFile::errorFileTooLarge, getLastError());
    TestSupport::LogCapture log;
    setLastError(0);
    EXPECT_EQ(nullptr, file.load(name.c_str()));
    EXPECT_EQ(CFile::errorFileTooLarge, getLastError());
    EXPECT_FALSE(file.isOpen());
}

TEST_F(FileTest, FailedLoadNamesTheOpenFileWithoutStartingAProgram) {
#if defined(_WIN32)
    GTEST_SKIP() << "the stand-in program is a shell script";
#else
    // A directory opens for reading but cannot be read, so the whole-file read fails.
    const std::string unreadable = path("unreadable");
    std::filesystem::create_directory(unreadable);
    writeFile(unreadable + "/entry", "x");
    FileInfo info;
    if (!CFile::stat(unreadable.c_str(), info) || info.size == 0) {
        GTEST_SKIP() << "directories have no length here";
    }
    // Whoever controls PATH must not get to run code in this process's name.
    const std::string bin = path("bin");
    const std::string marker = path("ran");
    std::filesystem::create_directory(bin);
    std::ofstream(bin + "/ls") << "#!/bin/sh\ntouch '" << marker << "'\n";
    std::filesystem::permissions(bin + "/ls", std::filesystem::perms::owner_all);
    const char* const inherited = std::getenv("PATH");
    const std::string saved = inherited != nullptr ? inherited : "";
    ::setenv("PATH", (bin + ":" + saved).c_str(), 1);
    TestSupport::LogCapture log;
    CFile file;
    const unsigned char* const data = file.load(unreadable.c_str());
    ::setenv("PATH", saved.c_str(), 1);
    EXPECT_EQ(nullptr, data);
    EXPECT_FALSE(std::filesystem::exists(marker));
    EXPECT_TRUE(log.contains(std::filesystem::canonical(unreadable).string())) << log.text();
#endif
}

TEST_F(FileTest, LoadOfAnEmptyFileIsNullAndLeavesItOpen) {
    writeFile(path("empty"), "");
    CFile file;
    EXPECT_EQ(nullptr, file.load(path("empty").c_str()));
    EXPECT_TRUE(file.isOpen());
}

TEST_F(FileTest, LinesGoInAndOutWithThePosition) {
    CFile file;
    ASSERT_TRUE(file.open(path("lines").c_str(), CFile::modeReadWrite | CFile::modeCreate));
    EXPECT_GE(file.puts("first line\n"), 0);
    EXPECT_GE(file.puts("second\n"), 0);
    EXPECT_EQ(18u, file.getPosition());
    EXPECT_EQ(18u, file.getLength());
    EXPECT_EQ(0u, file.seek(0, CFile::seekBegin));
    char line[64];
    ASSERT_NE(nullptr, file.gets(line, sizeof(line)));
    EXPECT_STREQ("first line\n", line);
    EXPECT_EQ(11u, file.getPosition());
    // A short buffer takes part of a line.
    ASSERT_NE(nullptr, file.gets(line, 4));
    EXPECT_STREQ("sec", line);
    EXPECT_EQ(14u, file.getPosition());
    ASSERT_NE(nullptr, file.gets(line, sizeof(line)));
    EXPECT_EQ(nullptr, file.gets(line, sizeof(line)));
}

TEST_F(FileTest, ClosedFileAndBadArgumentsGiveTheFailureResults) {
    TestSupport::LogCapture log;
    CFile file;
    char buffer[8] = {};
    EXPECT_EQ(-1, file.read(buffer, 8));
    EXPECT_EQ(-1, file.write(buffer, 8));
    io_vec element{buffer, 8};
    EXPECT_EQ(-1, file.writev(&element, 1));
    EXPECT_EQ(0u, file.seek(0, CFile::seekEnd));
    EXPECT_EQ(0u, file.getPosition());
    EXPECT_EQ(0u, file.getLength());
    EXPECT_EQ(nullptr, file.gets(buffer, 8));
    EXPECT_EQ(0, file.puts("x"));
    file.flush();
    EXPECT_FALSE(file.setvbuf(nullptr, CFile::ioFullBuf, 0));
    EXPECT_TRUE(log.contains("CFile::setvbuf failed, file has not been opened!\n"));
    EXPECT_FALSE(file.resv1() || file.resv2() || file.resv3() || file.resv4());

    EXPECT_FALSE(file.open(nullptr, CFile::modeRead));
    EXPECT_EQ(nullptr, file.load(nullptr));
    ASSERT_TRUE(file.open(path("n").c_str(), CFile::modeReadWrite | CFile::modeCreate));
    EXPECT_EQ(-1, file.read(nullptr, 8));
    EXPECT_EQ(-1, file.write(nullptr, 8));
    EXPECT_EQ(nullptr, file.gets(nullptr, 8));
    EXPECT_EQ(-1, file.puts(nullptr));
    EXPECT_EQ(-1, file.writev(nullptr, 1));
    EXPECT_EQ(0, file.writev(&element, 0));
    // An undefined origin moves nothing.
    EXPECT_EQ(0u, file.seek(1, static_cast<CFile::SeekPosition>(7)));
    EXPECT_EQ(0u, file.getPosition());
}

TEST_F(FileTest, WritevOfTheDefaultFileSystemIsUnsupported) {
    CFile file;
    ASSERT_TRUE(file.open(path("v").c_str(), CFile::modeReadWrite | CFile::modeCreate));
    char a[] = "abc";
    io_vec elements[] = {{a, 3}, {a, 2}};
    EXPECT_EQ(-1, file.writev(elements, 2));
    EXPECT_EQ(0u, file.getPosition());
    EXPECT_EQ(0u, file.getLength());
}

TEST_F(FileTest, SetvbufReplacesTheBuffer) {
    CFile file;
    ASSERT_TRUE(file.open(path("s").c_str(), CFile::modeWrite));
    EXPECT_TRUE(file.setvbuf(nullptr, CFile::ioNoBuf, 0));
    char text[] = "unbuffered";
    EXPECT_EQ(10, file.write(text, 10));
    // Without buffering the bytes are in the file before any flush.
    EXPECT_EQ("unbuffered", readFile(path("s")));
    TestSupport::LogCapture log;
    EXPECT_FALSE(file.setvbuf(nullptr, static_cast<CFile::IOMode>(12345), 0));
    EXPECT_TRUE(log.contains("CFile::setvbuf failed\n"));
}

TEST_F(FileTest, StaticOperationsReportTheFileSystemResult) {
    writeFile(path("a"), "x");
    EXPECT_TRUE(CFile::rename(path("a").c_str(), path("b").c_str()));
    EXPECT_FALSE(CFile::rename(path("a").c_str(), path("c").c_str()));
    EXPECT_TRUE(CFile::access(path("b").c_str(), 0));
    EXPECT_TRUE(CFile::access(path("b").c_str(), 6));
    EXPECT_FALSE(CFile::access(path("a").c_str(), 0));

    FileInfo info;
    std::memset(&info, 0, sizeof(info));
    ASSERT_TRUE(CFile::stat(path("b").c_str(), info));
    EXPECT_EQ(path("b"), info.name);
    EXPECT_EQ(1u, info.size);
    EXPECT_EQ(0100000u, info.attrib & 0170000u);  // a regular file's mode word
    EXPECT_GT(info.time_write, 0);
    EXPECT_FALSE(CFile::stat(path("a").c_str(), info));

    EXPECT_TRUE(CFile::makeDirectory(path("d").c_str()));
    EXPECT_FALSE(CFile::makeDirectory(path("d").c_str()));
    ASSERT_TRUE(CFile::stat(path("d").c_str(), info));
    EXPECT_EQ(0040000u, info.attrib & 0170000u);
    EXPECT_TRUE(CFile::removeDirectory(path("d").c_str()));
    EXPECT_FALSE(CFile::removeDirectory(path("d").c_str()));
    EXPECT_TRUE(CFile::remove(path("b").c_str()));
    EXPECT_FALSE(CFile::remove(path("b").c_str()));

    unsigned long long available = 0;
    unsigned long long total = 0;
    unsigned long long free = 0;
    ASSERT_TRUE(CFile::statFS(m_dir.path().c_str(), available, total, free));
    const std::filesystem::space_info space = std::filesystem::space(m_dir.path());
    EXPECT_EQ(space.capacity, total);
    EXPECT_GT(total, 0u);
    EXPECT_LE(free, total);
    EXPECT_LE(available, free);
    EXPECT_FALSE(CFile::statFS(path("missing").c_str(), available, total, free));
}

TEST_F(FileTest, NullPathsGiveFalseFromEveryStaticOperation) {
    FileInfo info;
    unsigned long long a = 0;
    unsigned long long b = 0;
    unsigned long long c = 0;
    EXPECT_FALSE(CFile::rename(nullptr, "x"));
    EXPECT_FALSE(CFile::rename(path("x").c_str(), nullptr));
    EXPECT_FALSE(CFile::remove(nullptr));
    EXPECT_FALSE(CFile::makeDirectory(nullptr));
    EXPECT_FALSE(CFile::removeDirectory(nullptr));
    EXPECT_FALSE(CFile::statFS(nullptr, a, b, c));
    EXPECT_FALSE(CFile::access(nullptr, 0));
    EXPECT_FALSE(CFile::stat(nullptr, info));
    // The default file system itself refuses them too.
    FileDefaultOpt* fs = FileDefaultOpt::instance();
    EXPECT_EQ(nullptr, fs->fopen(nullptr, "rb"));
    EXPECT_EQ(-1, fs->rename(nullptr, nullptr));
    EXPECT_EQ(-1, fs->findfirst(nullptr, &info));
    EXPECT_EQ(-1, fs->findnext(12345, &info));
    EXPECT_EQ(-1, fs->findclose(-1));
    EXPECT_EQ(-1, fs->stat(nullptr, &info));
    EXPECT_EQ(-1, fs->mkdir(nullptr));
    EXPECT_EQ(-1, fs->statfs(nullptr, &a, &b, &c));
}

TEST_F(FileTest, DefaultFopenCreatesPrivateFilesAndRefusesModesWithoutAccess) {
    FileDefaultOpt* fs = FileDefaultOpt::instance();
    void* handle = fs->fopen(path("private").c_str(), "wb");
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(0, fs->fclose(handle));
    const auto permissions = std::filesystem::status(path("private")).permissions();
    using std::filesystem::perms;
#if !defined(_WIN32)
    // Windows keeps no group or other permissions: a file is writable or read-only for all.
    EXPECT_EQ(perms::none, permissions & (perms::group_all | perms::others_all));
#endif
    EXPECT_NE(perms::none, permissions & perms::owner_read);
    EXPECT_NE(perms::none, permissions & perms::owner_write);

    // 'e' and 'd' alone name no access: nothing is opened or created.
    EXPECT_EQ(nullptr, fs->fopen(path("ed").c_str(), "ed"));
    EXPECT_FALSE(std::filesystem::exists(path("ed")));
    // 'r' never creates.
    EXPECT_EQ(nullptr, fs->fopen(path("none").c_str(), "rb+"));
    EXPECT_FALSE(std::filesystem::exists(path("none")));
}

namespace {

// The kernel's flags (octal) of the descriptor open on `path`, from /proc; -1 when they cannot
// be read there.
long descriptorFlags(const std::string& path) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        std::error_code linkError;
        if (std::filesystem::read_symlink(entry.path(), linkError) != path) {
            continue;
        }
        std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
        std::string key;
        while (info >> key) {
            std::string value;
            if (key == "flags:" && (info >> value)) {
                return std::stol(value, nullptr, 8);
            }
        }
    }
    return -1;
}

}  // namespace

TEST_F(FileTest, DefaultFopenAppendsAndMakesCloseOnExecDescriptors) {
    FileDefaultOpt* fs = FileDefaultOpt::instance();
    writeFile(path("log"), "head\n");
    void* handle = fs->fopen(path("log").c_str(), "abe");
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(0, fs->fseek(handle, 0, SEEK_SET));
    EXPECT_GE(fs->fputs("tail\n", handle), 0);
    EXPECT_EQ(0, fs->fflush(handle));
    EXPECT_EQ("head\ntail\n", readFile(path("log")));
    // O_CLOEXEC is 02000000 on Linux.
    const long flags = descriptorFlags(path("log"));
    fs->fclose(handle);
    if (flags == -1) {
        GTEST_SKIP() << "descriptor flags cannot be read from /proc";
    }
    EXPECT_NE(0L, flags & 02000000L);

    handle = fs->fopen(path("log").c_str(), "rb");
    ASSERT_NE(nullptr, handle);
    EXPECT_EQ(0L, descriptorFlags(path("log")) & 02000000L);
    fs->fclose(handle);
}

TEST_F(FileTest, DefaultStreamsBufferSixteenKibibytes) {
    FileDefaultOpt* fs = FileDefaultOpt::instance();
    void* handle = fs->fopen(path("buffered").c_str(), "wb");
    ASSERT_NE(nullptr, handle);
    const std::string chunk(1000, 'b');
    for (int i = 0; i < 16; ++i) {
        ASSERT_EQ(1u, fs->fwrite(chunk.data(), chunk.size(), 1, handle));
    }
    // 16000 bytes fit the buffer: nothing has reached the file yet.
    EXPECT_EQ(0u, std::filesystem::file_size(path("buffered")));
    ASSERT_EQ(1u, fs->fwrite(chunk.data(), chunk.size(), 1, handle));
    EXPECT_GE(std::filesystem::file_size(path("buffered")), 16000u);
    EXPECT_EQ(0, fs->fclose(handle));
    EXPECT_EQ(17000u, std::filesystem::file_size(path("buffered")));
}

TEST_F(FileTest, StreamsOpenedAndClosedOnManyThreadsKeepTheirData) {
    // Each thread writes its own files through buffered streams; a buffer handed to the
    // wrong stream would mix the contents.
    constexpr int kThreads = 4;
    constexpr int kRounds = 50;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                const std::string name = path("t" + std::to_string(t));
                const std::string content(3000 + round, static_cast<char>('A' + t));
                CFile file;
                if (!file.open(name.c_str(), CFile::modeWrite)) {
                    ++failures[t];
                    continue;
                }
                std::string copy = content;
                file.write(&copy[0], static_cast<unsigned int>(copy.size()));
                file.close();
                CFile reader;
                const unsigned char* data = reader.load(name.c_str());
                if (data == nullptr || reader.getLength() != content.size() ||
                    std::memcmp(data, content.data(), content.size()) != 0) {
                    ++failures[t];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(0, failures[t]) << "thread " << t;
    }
}

TEST_F(FileTest, ReopeningClosesThePreviousFile) {
    writeFile(path("one"), "1");
    writeFile(path("two"), "22");
    CFile file;
    ASSERT_TRUE(file.open(path("one").c_str(), CFile::modeRead));
    ASSERT_TRUE(file.open(path("two").c_str(), CFile::modeRead));
    EXPECT_EQ(2u, file.getLength());
    // A failed open leaves the object closed.
    EXPECT_FALSE(file.open(path("three").c_str(), CFile::modeRead));
    EXPECT_FALSE(file.isOpen());
    EXPECT_EQ(0u, file.getLength());
}
