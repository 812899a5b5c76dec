// CFile and CLfsFile alike, checked against a model of the file, on the default file system and
// through a hook; what differs between them; files beyond 32 bits.
#include "infra/File.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <type_traits>

#include "infra/Error.h"
#include "infra/LfsFile.h"
#include "infra3/file/FileTestSupport.h"

using namespace Tovix::Infra;
using namespace FileTestSupport;

namespace {

template <class F>
class FileClassTest : public ::testing::Test, public HookedDir {
public:
    static constexpr bool kLarge = std::is_same<F, CLfsFile>::value;
    static std::string className() { return kLarge ? "CLfsFile" : "CFile"; }
    std::string at(const char* name) const { return hooked + name; }
};
using FileClasses = ::testing::Types<CFile, CLfsFile>;
TYPED_TEST_SUITE(FileClassTest, FileClasses);

template <class T>
long long wide(T value) {
    return static_cast<long long>(value);
}

}  // namespace

// Random writes, reads, seeks from every origin, lines in and out, flushes and reopenings, with
// position and length checked after each step and the content at the end; on the default file
// system, through the hook, and through a hook without status, where length is found by seeking.
TYPED_TEST(FileClassTest, RandomOperationsMatchAModel) {
    using F = TypeParam;
    TestSupport::LogCapture quiet;  // reads at the end are reported
    for (int store = 0; store < 3; ++store) {
        this->counter.failing = {store == 2 ? "stat" : ""};
        const std::string path = store == 0 ? this->dir / "model" : this->at("model");
        std::mt19937 random(17 + store);
        const auto below = [&](long long n) { return static_cast<long long>(random() % n); };
        std::string model;
        long long position = 0;
        bool writing = false;
        F file;
        ASSERT_TRUE(file.open(path.c_str(), CFile::modeReadWrite | CFile::modeCreate));
        for (int step = 0; step < 300; ++step) {
            const long long size = static_cast<long long>(model.size());
            const int op = static_cast<int>(below(8));
            // Streams want a move between reading and writing; a seek to the end always moves.
            if ((op == 0 || op == 5) != writing && (op <= 1 || op == 5 || op == 6)) {
                file.seek(0, F::seekEnd);
                file.seek(position, F::seekBegin);
                writing = !writing;
            }
            if (op == 0 || op == 5) {
                std::string data;
                for (long long n = 1 + below(30); n > 0; --n) {
                    data += "abc\n"[below(4)];
                }
                ASSERT_TRUE(op == 0 ? file.write(&data[0], data.size()) == wide(data.size())
                                    : file.puts(data.c_str()) >= 0);
                model.resize(std::max<std::size_t>(model.size(), position + data.size()));
                model.replace(position, data.size(), data);
                position += wide(data.size());
            } else if (op == 1) {
                const long long wanted = below(40);
                const long long expected = std::min(wanted, size - position);
                std::string buffer(wanted + 1, '\0');
                ASSERT_EQ(expected, file.read(&buffer[0], static_cast<unsigned>(wanted)));
                EXPECT_EQ(model.substr(position, expected), buffer.substr(0, expected));
                position += expected;
            } else if (op <= 4) {
                const long long base = op == 2 ? 0 : op == 3 ? position : size;
                const long long target = std::min(below(size + 11) - 5, size);
                const auto whence = static_cast<typename F::SeekPosition>(op - 2);
                EXPECT_EQ(std::max(target, 0LL), wide(file.seek(target - base, whence))) << op;
                position = target < 0 ? position : target;  // a failed seek moves nothing
            } else if (op == 6) {
                char line[32];
                const long long room = 2 + below(20);
                const char* got = file.gets(line, static_cast<unsigned>(room));
                std::string expected = model.substr(position, room - 1);
                if (expected.find('\n') != std::string::npos) {
                    expected.resize(expected.find('\n') + 1);
                }
                ASSERT_EQ(expected.empty() ? "(null)" : expected, got != nullptr ? got : "(null)");
                position += wide(expected.size());
            } else {
                file.flush();
                ASSERT_TRUE(file.open(path.c_str(), CFile::modeReadWrite));
                position = 0;
                writing = false;
            }
            ASSERT_EQ(position, wide(file.getPosition())) << store << " " << step;
            ASSERT_EQ(wide(model.size()), wide(file.getLength())) << store << " " << step;
        }
        file.close();
        EXPECT_EQ(model, readFile(path));
    }
}

TYPED_TEST(FileClassTest, OpenFlagsChooseTheModeTheLengthAndWhatBecomesOfTheFile) {
    const std::string d = this->kLarge ? "" : "d";  // the large file asks for no direct I/O
    const unsigned int rw = CFile::modeReadWrite;
    const unsigned int create = CFile::modeCreate;
    const unsigned int keep = CFile::modeNoTruncate;
    const struct {
        unsigned int flags;
        std::string mode;   // a missing file is created unless it is read; 'w' truncates
        std::string after;  // "old-content" opened, "new" written
    } cases[] = {
        {CFile::modeRead, "rb", "old-content"},
        {CFile::modeRead | create, "rb", "old-content"},
        {CFile::modeWrite, "wb", "new"},
        {CFile::modeWrite | keep, "ab", "old-contentnew"},
        {CFile::modeWrite | CFile::modeNoInherit, "wbe", "new"},
        {rw, "rb+", "new-content"},
        {rw | create, "wb+", "new"},
        {rw | create | keep, "ab+", "old-contentnew"},
        {rw | create | CFile::modeNoInherit | CFile::modeDirect, "wb+e" + d, "new"},
    };
    const std::string path = this->at("f");
    TestSupport::LogCapture log;
    for (const auto& c : cases) {
        std::filesystem::remove(path);
        TypeParam file;
        EXPECT_EQ(c.mode[0] != 'r', file.open(path.c_str(), c.flags)) << c.mode;
        EXPECT_EQ(c.mode[0] != 'r', std::filesystem::exists(path)) << c.mode;
        writeFile(path, "old-content");
        const int stats = this->counter.calls["stat"];
        ASSERT_TRUE(file.open(path.c_str(), c.flags));
        EXPECT_EQ(c.mode, this->counter.lastMode);
        // Only a truncating open knows its length without asking for the status.
        EXPECT_EQ(stats + ((c.flags & create) == 0 || (c.flags & keep) != 0),
                  this->counter.calls["stat"]);
        EXPECT_EQ(c.mode[0] == 'w' ? 0 : 11, wide(file.getLength())) << c.mode;
        file.write(&std::string("new")[0], 3);
        file.close();
        EXPECT_EQ(c.after, readFile(path)) << c.mode;
    }
    for (unsigned int bad : {3u, 3u | CFile::modeNoInherit | create, 15u}) {
        TypeParam file;
        EXPECT_FALSE(file.open(this->at("bad").c_str(), bad) || file.open(nullptr, 0));
        EXPECT_TRUE(log.contains(this->className() + "::open(): dwFlags(" + std::to_string(bad) +
                                 ") is invalid\n"));
    }
    EXPECT_FALSE(std::filesystem::exists(this->at("bad")));
}

TYPED_TEST(FileClassTest, ClosedFileAndBadArgumentsGiveTheFailureResults) {
    TestSupport::LogCapture log;
    TypeParam file;
    char buffer[8] = {};
    io_vec element{buffer, 8};
    for (char* given : {buffer, static_cast<char*>(nullptr)}) {  // closed, then open
        EXPECT_EQ(-1, file.read(given, 8));
        EXPECT_EQ(-1, file.write(given, 8));
        EXPECT_EQ(-1, file.writev(given != nullptr ? &element : nullptr, 1));
        EXPECT_EQ(nullptr, file.gets(given, 8));
        EXPECT_EQ(given != nullptr ? 0 : -1, file.puts(given));
        ASSERT_TRUE(file.open(this->at("f").c_str(), CFile::modeReadWrite | CFile::modeCreate));
    }
    EXPECT_EQ(1, this->counter.openHandles);  // opening again closed the first
    EXPECT_EQ(0, file.writev(&element, 0));
    EXPECT_EQ(0, this->counter.calls["fread"] + this->counter.calls["fwrite"] +
                     this->counter.calls["fgets"] + this->counter.calls["fputs"]);
    EXPECT_FALSE(file.open(this->at("missing").c_str(), CFile::modeRead));
    EXPECT_EQ(0, this->counter.openHandles);
    EXPECT_EQ(0, wide(file.seek(0, TypeParam::seekEnd)) + wide(file.getPosition()) +
                     wide(file.getLength()));
    EXPECT_FALSE(file.setvbuf(nullptr, TypeParam::ioFullBuf, 0));
    EXPECT_TRUE(log.contains("CFile::setvbuf failed, file has not been opened!\n"));
    EXPECT_FALSE(file.resv1() || file.resv2() || file.resv3() || file.resv4() || file.isOpen());
}

TYPED_TEST(FileClassTest, LoadReadsWholeFilesAndFailsCleanlyOnShortReads) {
    const std::string content(70000, 'q');
    writeFile(this->at("big"), content);
    writeFile(this->at("empty"), "");
    TypeParam file;
    const unsigned char* data = file.load(this->at("big").c_str());
    ASSERT_NE(nullptr, data);
    EXPECT_EQ("rb", this->counter.lastMode);
    EXPECT_EQ(0, std::memcmp(data, content.data(), content.size()));
    EXPECT_EQ(data, file.load("other"));  // the loaded buffer, whatever the path
    file.unload();
    EXPECT_FALSE(file.isOpen());
    EXPECT_EQ(nullptr, file.load(this->at("missing").c_str()));
    EXPECT_EQ(nullptr, file.load(this->at("empty").c_str()));
    EXPECT_TRUE(file.isOpen());
    this->counter.statExtra = 10;  // more promised than there is, as for a file cut meanwhile
    TestSupport::LogCapture log;
    EXPECT_EQ(nullptr, file.load(this->at("big").c_str()));
    EXPECT_TRUE(log.contains(this->className() + "::load(): length(70010), ret(70000), "));
    EXPECT_EQ(0, this->counter.openHandles);
}

TYPED_TEST(FileClassTest, CachedLengthAndPositionSaveFileSystemCalls) {
    const std::string seek = this->kLarge ? "fseek64" : "fseek";
    writeFile(this->at("f"), std::string(100, 'z'));
    this->counter.failing = {"stat"};
    TypeParam file;
    ASSERT_TRUE(file.open(this->at("f").c_str(), CFile::modeRead));
    char buffer[10];
    ASSERT_EQ(10, file.read(buffer, 10));
    EXPECT_EQ(100, wide(file.getLength()));  // found at the end, once
    const int seeks = this->counter.calls[seek];
    const auto calls = this->counter.calls;
    EXPECT_EQ(110, wide(file.getLength()) + wide(file.getPosition()));
    EXPECT_EQ(10, wide(file.seek(10, TypeParam::seekBegin)));
    EXPECT_EQ(10, wide(file.seek(0, TypeParam::seekCurrent)));
    EXPECT_EQ(calls, this->counter.calls);
    EXPECT_EQ(100, wide(file.seek(0, TypeParam::seekEnd)));  // the end is always asked for
    EXPECT_EQ(3, wide(file.seek(3, TypeParam::seekBegin)));
    EXPECT_EQ(seeks + 2, this->counter.calls[seek]);
    this->counter.failing = {"stat", "ftell", "ftell64"};  // no end to be told
    ASSERT_TRUE(file.open(this->at("f").c_str(), CFile::modeRead));
    EXPECT_EQ(0, wide(file.getLength()) + wide(file.getPosition()));
}

TYPED_TEST(FileClassTest, WritevAndSetvbufDependOnWhoseStreamItIs) {
    char a[] = "abc";
    char b[] = "defg";
    io_vec elements[] = {{a, 3}, {b, 0}, {b, 4}};
    TypeParam file;
    ASSERT_TRUE(file.open(this->at("v").c_str(), CFile::modeWrite));
    EXPECT_EQ(7, file.writev(elements, 3));  // through a hook: element by element
    EXPECT_EQ(14, wide(file.getPosition()) + wide(file.getLength()));
    this->counter.failing = {"fwrite"};
    EXPECT_EQ(-1, file.writev(elements, 3));
    TestSupport::LogCapture log;
    EXPECT_FALSE(file.setvbuf(nullptr, TypeParam::ioFullBuf, 0));
    EXPECT_TRUE(log.contains("CFile::setvbuf failed\n"));
    file.close();
    EXPECT_EQ("abcdefg", readFile(this->at("v")));
    // The default file system writes no vector: the stream's buffer would be overtaken.
    ASSERT_TRUE(file.open((this->dir / "v").c_str(), CFile::modeWrite));
    EXPECT_EQ(-1, file.writev(elements, 3));
    EXPECT_EQ(0, wide(file.getLength()));
    EXPECT_TRUE(file.setvbuf(nullptr, TypeParam::ioNoBuf, 0));
    EXPECT_EQ(3, file.write(a, 3));
    EXPECT_EQ("abc", readFile(this->dir / "v"));  // in the file before any flush
}

TEST(FileTest, FilesBeyondFourGibibytesKeepTheirWholeLengthOrRefuseIt) {
    TempDir dir;
    const std::string name = dir / "sparse";
    const long long offset = 5 * 1024LL * 1024 * 1024 + 3;
    char payload[] = "beyond four GiB";  // 15 characters
    CLfsFile file;
    ASSERT_TRUE(file.open(name.c_str(), CFile::modeReadWrite | CFile::modeCreate));
    if (file.seek(offset, CLfsFile::seekBegin) != offset || file.write(payload, 15) != 15) {
        GTEST_SKIP() << "the temporary file system refuses sparse files this large";
    }
    ASSERT_TRUE(file.open(name.c_str(), CFile::modeRead));
    EXPECT_EQ(offset + 15, file.getLength());  // the whole length from the status
    EXPECT_EQ(offset - 1, file.seek(-16, CLfsFile::seekEnd));
    char buffer[16] = {'?'};
    EXPECT_EQ(16, file.read(buffer, 16));
    EXPECT_EQ(std::string(1, '\0') + payload, std::string(buffer, 16));  // the hole reads as 0
    // Neither class loads it whole; the 32-bit one gives no cut length either.
    TestSupport::LogCapture log;
    EXPECT_EQ(nullptr, file.load(name.c_str()));
    EXPECT_TRUE(log.contains("CLfsFile::load(): length(" + std::to_string(offset + 15) + ")"));
    CFile small;
    ASSERT_TRUE(small.open(name.c_str(), CFile::modeRead));
    setLastError(0);
    EXPECT_EQ(0xFFFFFFFFu, small.getLength());
    EXPECT_EQ(CFile::errorFileTooLarge, getLastError());
    setLastError(0);
    EXPECT_EQ(nullptr, small.load(name.c_str()));
    EXPECT_EQ(CFile::errorFileTooLarge, getLastError());
    EXPECT_FALSE(small.isOpen() || file.isOpen());
}

TEST(LfsFileTest, ZeroTransfersStopWithOneWarningAndLinesAreLimitedToAnInt) {
    HookedDir area;
    writeFile(area.hooked + "f", std::string(36, 's') + "one\n");
    CLfsFile file;
    ASSERT_TRUE(file.open((area.hooked + "f").c_str(), CFile::modeRead));
    TestSupport::LogCapture log;
    char buffer[100];
    ASSERT_EQ(nullptr, file.gets(buffer, 2147483648LL));
    EXPECT_TRUE(log.contains("Bytes need to be seeked has been over the _MAX_INT_VALUE.\n"));
    EXPECT_EQ(0, area.counter.calls["fgets"]);
    EXPECT_EQ(36, file.seek(36, CLfsFile::seekBegin));
    ASSERT_NE(nullptr, file.gets(buffer, 2147483647LL));  // handed on as it is
    EXPECT_STREQ("one\n", buffer);
    EXPECT_EQ(0, file.seek(0, CLfsFile::seekBegin));
    EXPECT_EQ(40, file.read(buffer, 100));
    EXPECT_EQ(40, file.getPosition());
    EXPECT_EQ(1u, occurrences(log.text(), "fread get error"));
    EXPECT_TRUE(log.contains("fread get error,total 100 has read 40,expected 60 return 0\n"));
    const int tells = area.counter.calls["ftell64"];
    EXPECT_EQ(0, file.write(buffer, 7));  // a read-only file takes nothing
    EXPECT_TRUE(log.contains("fwrite get error,total 7 has write 0,expected 7 return 0"));
    EXPECT_EQ(0, file.write(buffer, 0));  // no transfer, but the position is asked for
    EXPECT_EQ(1, area.counter.calls["fwrite"]);
    EXPECT_EQ(tells + 2, area.counter.calls["ftell64"]);
    area.counter.failing = {"fseek64"};  // as a file system without the 64-bit slots
    EXPECT_EQ(0,
              file.seek(4, CLfsFile::seekBegin) + area.counter.IFileSystem::writev(1, nullptr, 0));
    EXPECT_EQ(40, file.getPosition());
}

TEST(FileTest, FailedLoadNamesTheOpenFileWithoutStartingAProgram) {
#if defined(_WIN32)
    GTEST_SKIP() << "the stand-in program is a shell script";
#else
    TempDir dir;
    // A directory opens for reading but cannot be read, so the whole-file read fails.
    const std::string unreadable = dir / "unreadable";
    std::filesystem::create_directory(unreadable);
    writeFile(unreadable + "/entry", "x");
    FileInfo info;
    if (!CFile::stat(unreadable.c_str(), info) || info.size == 0) {
        GTEST_SKIP() << "directories have no length here";
    }
    // Whoever controls PATH must not get to run code in this process's name.
    std::filesystem::create_directory(dir / "bin");
    writeFile(dir / "bin/ls", "#!/bin/sh\ntouch '" + (dir / "ran") + "'\n");
    std::filesystem::permissions(dir / "bin/ls", std::filesystem::perms::owner_all);
    const std::string saved = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    ::setenv("PATH", ((dir / "bin") + ":" + saved).c_str(), 1);
    TestSupport::LogCapture log;
    CFile file;
    const unsigned char* const data = file.load(unreadable.c_str());
    ::setenv("PATH", saved.c_str(), 1);
    EXPECT_EQ(nullptr, data);
    EXPECT_FALSE(std::filesystem::exists(dir / "ran"));
    EXPECT_TRUE(log.contains(std::filesystem::canonical(unreadable).string())) << log.text();
#endif
}
