// CLfsFile: files beyond 4 GiB (sparse, on the default file system), transfers split below
// 2 GiB per call, the short-transfer warnings, and the 64-bit edge cases.
#include "infra/LfsFile.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <string>

#include "infra3/file/FileTestSupport.h"
#include "support/LogCapture.h"

using namespace Tovix::Infra;
using FileTestSupport::CountingFileSystem;
using FileTestSupport::MemoryFileSystem;
using FileTestSupport::ScopedHook;
using FileTestSupport::TempDir;
using FileTestSupport::writeFile;

namespace {

constexpr long long kGiB = 1024LL * 1024 * 1024;

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// A file system whose files are a length and nothing else: transfers move nothing but are
// counted, so transfers of several GiB cost no memory.
class VirtualFileSystem : public MemoryFileSystem {
public:
    explicit VirtualFileSystem(unsigned long long size) : m_size(size) {}

    unsigned long long position = 0;
    int transfers = 0;
    std::size_t largest = 0;

    void* fopen(const char*, const char*) override { return &m_size; }
    int fclose(void*) override { return 0; }
    std::size_t fread(void*, std::size_t size, std::size_t count, void*) override {
        return move(size * count);
    }
    std::size_t fwrite(const void*, std::size_t size, std::size_t count, void*) override {
        return move(size * count);
    }
    int stat(const char* path, FileInfo* out) override {
        std::snprintf(out->name, sizeof(out->name), "%s", path);
        out->size = m_size;
        return 0;
    }
    int fseek64(void*, long long offset, int origin) override {
        position = static_cast<unsigned long long>(origin == SEEK_END ? m_size + offset : offset);
        return 0;
    }
    long long ftell64(void*) override { return static_cast<long long>(position); }
    long ftell(void*) override { return static_cast<long>(position); }

private:
    std::size_t move(std::size_t bytes) {
        ++transfers;
        largest = std::max(largest, bytes);
        const unsigned long long room = m_size > position ? m_size - position : 0;
        const std::size_t moved = bytes < room ? bytes : static_cast<std::size_t>(room);
        position += moved;
        return moved;
    }
    unsigned long long m_size;
};

// A file system written before the 64-bit slots existed.
class OldFileSystem : public MemoryFileSystem {
public:
    int fseek64(void* handle, long long offset, int origin) override {
        return IFileSystem::fseek64(handle, offset, origin);
    }
    long long ftell64(void* handle) override { return IFileSystem::ftell64(handle); }
    long writev(int descriptor, const io_vec* vector, int count) override {
        return IFileSystem::writev(descriptor, vector, count);
    }
};

}  // namespace

TEST(LfsFileTest, SparseFileBeyondFourGibibytesRoundTrips) {
    TempDir dir;
    ASSERT_TRUE(dir.valid());
    const std::string name = dir / "sparse";
    const long long offset = 5 * kGiB + 3;
    char payload[] = "beyond four GiB";  // 15 characters
    {
        CLfsFile file;
        ASSERT_TRUE(file.open(name.c_str(), CFile::modeReadWrite | CFile::modeCreate));
        if (file.seek(offset, CLfsFile::seekBegin) != offset) {
            GTEST_SKIP() << "the temporary file system refuses offsets beyond 4 GiB";
        }
        EXPECT_EQ(offset, file.getPosition());
        if (file.write(payload, 15) != 15) {
            GTEST_SKIP() << "the temporary file system refuses sparse files this large";
        }
        file.flush();
        if (file.getPosition() != offset + 15) {
            GTEST_SKIP() << "the temporary file system refuses sparse files this large";
        }
        EXPECT_EQ(offset + 15, file.getLength());
        EXPECT_EQ(offset + 15, file.seek(0, CLfsFile::seekEnd));
    }
    std::error_code error;
    EXPECT_EQ(static_cast<std::uintmax_t>(offset + 15), std::filesystem::file_size(name, error));
    FileInfo info;
    ASSERT_TRUE(CLfsFile::stat(name.c_str(), info));
    EXPECT_EQ(static_cast<unsigned long long>(offset + 15), info.size);

    CLfsFile file;
    ASSERT_TRUE(file.open(name.c_str(), CFile::modeRead));
    EXPECT_EQ(offset + 15, file.getLength());  // the full 64-bit length from the status
    EXPECT_EQ(offset - 1, file.seek(-16, CLfsFile::seekEnd));
    char buffer[32] = {'?'};
    EXPECT_EQ(16, file.read(buffer, 16));
    EXPECT_EQ('\0', buffer[0]);  // the hole reads as zeros
    EXPECT_EQ(0, std::memcmp(payload, buffer + 1, 15));
    EXPECT_EQ(offset + 15, file.getPosition());
    EXPECT_EQ(4 * kGiB, file.seek(4 * kGiB, CLfsFile::seekBegin));
    EXPECT_EQ(4 * kGiB + 2, file.seek(2, CLfsFile::seekCurrent));
    // A file this large is never loaded whole.
    CLfsFile loader;
    TestSupport::LogCapture log;
    EXPECT_EQ(nullptr, loader.load(name.c_str()));
    EXPECT_TRUE(
        log.contains("CLfsFile::load(): length(" + std::to_string(offset + 15) + "), ret(-1), "));
    EXPECT_FALSE(loader.isOpen());
}

TEST(LfsFileTest, TransfersAreSplitBelowTwoGibibytes) {
    const long long size = 5000000000LL;
    VirtualFileSystem fs(static_cast<unsigned long long>(size));
    ScopedHook hook("/virtual/", &fs);
    CLfsFile file;
    ASSERT_TRUE(file.open("/virtual/big", CFile::modeReadWrite));
    EXPECT_EQ(size, file.getLength());
    // The buffer is never touched by this file system.
    char buffer[1];
    EXPECT_EQ(size, file.read(buffer, size));
    EXPECT_EQ(3, fs.transfers);  // 2147483647 + 2147483647 + 705032706
    EXPECT_EQ(static_cast<std::size_t>(INT_MAX), fs.largest);
    EXPECT_EQ(size, file.getPosition());

    fs.transfers = 0;
    fs.largest = 0;
    EXPECT_EQ(0, file.seek(0, CLfsFile::seekBegin));
    EXPECT_EQ(size, file.write(buffer, size));
    EXPECT_EQ(3, fs.transfers);
    EXPECT_EQ(static_cast<std::size_t>(INT_MAX), fs.largest);
    EXPECT_EQ(size, file.getPosition());
    EXPECT_EQ(size, file.getLength());
}

TEST(LfsFileTest, ShortReadStopsWithOneWarning) {
    MemoryFileSystem fs;
    ScopedHook hook("/short/", &fs);
    fs.putFile("/short/f", std::string(40, 's'));
    CLfsFile file;
    ASSERT_TRUE(file.open("/short/f", CFile::modeRead));
    TestSupport::LogCapture log;
    char buffer[100];
    EXPECT_EQ(40, file.read(buffer, 100));
    EXPECT_EQ(40, file.getPosition());
    EXPECT_EQ(1u, occurrences(log.text(),
                              "fread get error,total 100 has read 40,expected 60 "
                              "return 0\n"));
    EXPECT_EQ(1u, occurrences(log.text(), " this:"));
}

TEST(LfsFileTest, EmptyWriteCallsNoFwriteButRefreshesThePosition) {
    TempDir dir;
    ASSERT_TRUE(dir.valid());
    CountingFileSystem fs;
    ScopedHook hook(dir.path(), &fs);
    CLfsFile file;
    ASSERT_TRUE(file.open((dir / "e").c_str(), CFile::modeReadWrite | CFile::modeCreate));
    char data[] = "abc";
    const int tells = fs.ftell64Calls.load();
    EXPECT_EQ(0, file.write(data, 0));
    EXPECT_EQ(0, fs.fwriteCalls.load());
    EXPECT_EQ(tells + 1, fs.ftell64Calls.load());
    EXPECT_EQ(3, file.write(data, 3));
    EXPECT_EQ(1, fs.fwriteCalls.load());
    EXPECT_EQ(3, file.getPosition());
    EXPECT_EQ(3, file.getLength());

    // A seek to the current position makes no call; one to the end always does.
    const int seeks = fs.fseek64Calls.load();
    EXPECT_EQ(3, file.seek(3, CLfsFile::seekBegin));
    EXPECT_EQ(3, file.seek(0, CLfsFile::seekCurrent));
    EXPECT_EQ(seeks, fs.fseek64Calls.load());
    EXPECT_EQ(3, file.seek(0, CLfsFile::seekEnd));
    EXPECT_EQ(seeks + 1, fs.fseek64Calls.load());
    EXPECT_EQ(0, fs.fseekCalls.load());
    EXPECT_EQ(0, fs.ftellCalls.load());
}

TEST(LfsFileTest, GetsRefusesSizesBeyondAnInt) {
    TempDir dir;
    ASSERT_TRUE(dir.valid());
    writeFile(dir / "lines", "one\ntwo\n");
    CountingFileSystem fs;
    ScopedHook hook(dir.path(), &fs);
    CLfsFile file;
    ASSERT_TRUE(file.open((dir / "lines").c_str(), CFile::modeRead));
    char line[16];
    TestSupport::LogCapture log;
    EXPECT_EQ(nullptr, file.gets(line, 2147483648LL));
    EXPECT_TRUE(log.contains("Bytes need to be seeked has been over the _MAX_INT_VALUE.\n"));
    EXPECT_EQ(0, fs.fgetsCalls.load());
    // 2147483647 is handed on as it is (the line is short, the buffer big enough).
    ASSERT_NE(nullptr, file.gets(line, 2147483647LL));
    EXPECT_EQ(INT_MAX, fs.lastFgetsSize.load());
    EXPECT_STREQ("one\n", line);
    EXPECT_EQ(4, file.getPosition());
    ASSERT_NE(nullptr, file.gets(line, sizeof(line)));
    EXPECT_EQ(nullptr, file.gets(line, sizeof(line)));
    EXPECT_EQ(8, file.getPosition());
}

TEST(LfsFileTest, DirectAddsNothingToTheMode) {
    MemoryFileSystem fs;
    ScopedHook hook("/mode/", &fs);
    fs.putDirectory("/mode");
    CLfsFile file;
    ASSERT_TRUE(file.open("/mode/a", CFile::modeReadWrite | CFile::modeCreate | CFile::modeDirect));
    EXPECT_EQ("wb+", fs.lastMode());
    ASSERT_TRUE(file.open("/mode/a", CFile::modeWrite | CFile::modeNoTruncate |
                                         CFile::modeNoInherit | CFile::modeDirect));
    EXPECT_EQ("abe", fs.lastMode());
    TestSupport::LogCapture log;
    EXPECT_FALSE(file.open("/mode/a", 3));
    EXPECT_TRUE(log.contains("CLfsFile::open(): dwFlags(3) is invalid\n"));
    EXPECT_FALSE(file.isOpen());
}

TEST(LfsFileTest, ClosedFileAndBadArgumentsGiveTheFailureResults) {
    CLfsFile file;
    char buffer[8] = {};
    io_vec element{buffer, 8};
    EXPECT_EQ(-1, file.read(buffer, 8));
    EXPECT_EQ(-1, file.write(buffer, 8));
    EXPECT_EQ(-1, file.writev(&element, 1));
    EXPECT_EQ(0, file.seek(0, CLfsFile::seekEnd));
    EXPECT_EQ(0, file.getPosition());
    EXPECT_EQ(0, file.getLength());
    EXPECT_EQ(nullptr, file.gets(buffer, 8));
    EXPECT_EQ(0, file.puts("x"));
    EXPECT_FALSE(file.setvbuf(nullptr, CLfsFile::ioFullBuf, 0));
    EXPECT_FALSE(file.resv1() || file.resv2() || file.resv3() || file.resv4());
    EXPECT_FALSE(file.open(nullptr, CFile::modeRead));

    MemoryFileSystem fs;
    ScopedHook hook("/bad/", &fs);
    fs.putDirectory("/bad");
    ASSERT_TRUE(file.open("/bad/f", CFile::modeReadWrite | CFile::modeCreate));
    EXPECT_EQ(-1, file.read(nullptr, 8));
    EXPECT_EQ(-1, file.write(nullptr, 8));
    EXPECT_EQ(-1, file.read(buffer, -1));
    EXPECT_EQ(-1, file.write(buffer, -5));
    EXPECT_EQ(nullptr, file.gets(nullptr, 8));
    EXPECT_EQ(nullptr, file.gets(buffer, 0));
    EXPECT_EQ(-1, file.puts(nullptr));
    EXPECT_EQ(0, fs.callsOf("fread") + fs.callsOf("fwrite") + fs.callsOf("fgets"));
    EXPECT_GE(file.puts("line\n"), 0);
    EXPECT_EQ(5, file.getPosition());
    EXPECT_EQ(5, file.getLength());
    char more[] = "xy";
    io_vec elements[] = {{more, 2}};
    EXPECT_EQ(2, file.writev(elements, 1));
    EXPECT_EQ(7, file.getLength());
    file.close();
    EXPECT_EQ("line\nxy", fs.content("/bad/f"));
}

TEST(LfsFileTest, FileSystemWithoutSixtyFourBitSlotsFailsCleanly) {
    OldFileSystem fs;
    ScopedHook hook("/old/", &fs);
    fs.putFile("/old/f", "0123456789");
    CLfsFile file;
    ASSERT_TRUE(file.open("/old/f", CFile::modeRead));
    EXPECT_EQ(10, file.getLength());
    EXPECT_EQ(0, file.getPosition());
    EXPECT_EQ(0, file.seek(4, CLfsFile::seekBegin));  // fseek64 is not provided
    EXPECT_EQ(0, file.getPosition());
    char buffer[4];
    EXPECT_EQ(4, file.read(buffer, 4));
    EXPECT_EQ(4, file.getPosition());
    // The default writev of the interface writes nothing.
    EXPECT_EQ(0, fs.writev(1, nullptr, 0));
}

TEST(LfsFileTest, LoadReadsSmallFilesWhole) {
    TempDir dir;
    ASSERT_TRUE(dir.valid());
    const std::string content(100000, 'q');
    writeFile(dir / "small", content);
    CLfsFile file;
    const unsigned char* data = file.load((dir / "small").c_str());
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(static_cast<long long>(content.size()), file.getLength());
    EXPECT_EQ(0, std::memcmp(content.data(), data, content.size()));
    EXPECT_EQ(data, file.load("elsewhere"));
    file.unload();
    writeFile(dir / "empty", "");
    EXPECT_EQ(nullptr, file.load((dir / "empty").c_str()));
    EXPECT_TRUE(file.isOpen());
}
