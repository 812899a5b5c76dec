// Directory search and directory trees on the default file system, checked against
// std::filesystem.
#include "infra/FileFind.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "infra3/file/FileTestSupport.h"
#include "infra/File.h"
#include "support/LogCapture.h"

using namespace Tovix::Infra;
using FileTestSupport::readFile;
using FileTestSupport::TempDir;
using FileTestSupport::writeFile;
namespace fs = std::filesystem;

namespace {

class FileFindTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.valid()); }
    std::string path(const std::string& name) const { return m_dir / name; }

    std::set<std::string> list(const std::string& pattern) {
        std::set<std::string> names;
        CFileFind find;
        for (bool found = find.findFile(pattern.c_str()); found; found = find.findNextFile()) {
            names.insert(find.getFileName());
        }
        return names;
    }

    TempDir m_dir;
};

}  // namespace

TEST_F(FileFindTest, PatternSelectsNamesAndPathsCarryTheDirectoryPart) {
    writeFile(path("a.txt"), "1");
    writeFile(path("b.txt"), "22");
    writeFile(path("c.log"), "333");
    writeFile(path("d.txt.bak"), "");
    fs::create_directory(path("sub.txt"));

    CFileFind find;
    std::set<std::string> paths;
    for (bool found = find.findFile(path("*.txt").c_str()); found; found = find.findNextFile()) {
        paths.insert(find.getFilePath());
        EXPECT_EQ(path(find.getFileName()), find.getFilePath());
    }
    EXPECT_EQ((std::set<std::string>{path("a.txt"), path("b.txt"), path("sub.txt")}), paths);
    EXPECT_EQ((std::set<std::string>{"a.txt", "b.txt"}), list(path("?.txt")));
    EXPECT_EQ((std::set<std::string>{"c.log"}), list(path("c.*")));
    EXPECT_EQ((std::set<std::string>{}), list(path("*.none")));
    // "*" lists everything, "." and ".." included, like the platform's own listing.
    std::set<std::string> all = list(path("*"));
    EXPECT_EQ(7u, all.size());
    EXPECT_EQ(1u, all.count("."));
    EXPECT_EQ(1u, all.count(".."));
}

TEST_F(FileFindTest, PatternWithoutDirectoryListsTheCurrentDirectory) {
    const fs::path saved = fs::current_path();
    fs::current_path(m_dir.path());
    writeFile("here.dat", "12345");
    CFileFind find;
    const bool found = find.findFile("here.*");
    const std::string name = find.getFileName();
    const std::string filePath = find.getFilePath();
    const unsigned int length = find.getLength();
    find.close();
    fs::current_path(saved);
    ASSERT_TRUE(found);
    EXPECT_EQ("here.dat", name);
    EXPECT_EQ("here.dat", filePath);
    EXPECT_EQ(5u, length);
}

TEST_F(FileFindTest, AttributesDescribeDirectoriesHiddenAndReadOnlyEntries) {
    writeFile(path("plain"), "x");
    writeFile(path(".hidden"), "y");
    writeFile(path("locked"), "z");
    fs::permissions(path("locked"), fs::perms::owner_write, fs::perm_options::remove);
    fs::create_directory(path("dir"));

    CFileFind find;
    ASSERT_TRUE(find.findFile(path("plain").c_str()));
#if !defined(_WIN32)
    // Windows lists the runtime's own bits: a new file carries "archive", so it is not normal.
    EXPECT_TRUE(find.isNormal());
#endif
    EXPECT_FALSE(find.isDirectory() || find.isHidden() || find.isReadOnly());
    EXPECT_EQ(1u, find.getLength());

    ASSERT_TRUE(find.findFile(path(".hidden").c_str()));
#if defined(_WIN32)
    // Hidden is an attribute of its own there, which the system may or may not set for a dot
    // name (Windows does not, Wine does): only the rest is certain.
    EXPECT_FALSE(find.isDirectory() || find.isReadOnly());
#else
    EXPECT_TRUE(find.isHidden());
    EXPECT_FALSE(find.isNormal());
#endif

    ASSERT_TRUE(find.findFile(path("locked").c_str()));
    EXPECT_TRUE(find.isReadOnly());
    EXPECT_FALSE(find.isNormal());

    ASSERT_TRUE(find.findFile(path("dir").c_str()));
    EXPECT_TRUE(find.isDirectory());
    EXPECT_FALSE(find.isNormal());

    CFileFindEx findEx;
    ASSERT_TRUE(findEx.findFile(path("dir").c_str()));
    EXPECT_TRUE(findEx.isDirectory());
    EXPECT_EQ(flex_string("dir"), findEx.getFileName());
    EXPECT_EQ(flex_string(path("dir").c_str()), findEx.getFilePath());
}

TEST_F(FileFindTest, SearchWithoutResultsAndBadInput) {
    CFileFind find;
    EXPECT_FALSE(find.findNextFile());
    EXPECT_EQ("", find.getFileName());
    EXPECT_EQ(0u, find.getLength());
    EXPECT_TRUE(find.isNormal());
    EXPECT_FALSE(find.findFile(nullptr));
    EXPECT_FALSE(find.findFile(path("missing/*").c_str()));
    EXPECT_FALSE(find.findFile(path("").c_str()));  // an empty last component matches nothing
    EXPECT_FALSE(find.findNextFile());
    find.close();
    find.close();

    CFileFindEx findEx;
    EXPECT_FALSE(findEx.findFile(nullptr));
    EXPECT_FALSE(findEx.findNextFile());
    EXPECT_EQ(flex_string(""), findEx.getFilePath());
}

TEST_F(FileFindTest, RestartingASearchClosesTheFirst) {
    for (int i = 0; i < 5; ++i) {
        writeFile(path("f" + std::to_string(i)), "");
    }
    CFileFind find;
    // Many restarts without close must not run out of directory handles.
    for (int i = 0; i < 2000; ++i) {
        ASSERT_TRUE(find.findFile(path("f*").c_str()));
    }
    int count = 1;
    while (find.findNextFile()) {
        ++count;
    }
    EXPECT_EQ(5, count);
}

TEST_F(FileFindTest, SearchesOnSeveralThreadsStayApart) {
    for (int d = 0; d < 4; ++d) {
        fs::create_directory(path("d" + std::to_string(d)));
        for (int i = 0; i <= d + 2; ++i) {
            writeFile(path("d" + std::to_string(d) + "/f" + std::to_string(i)), "");
        }
    }
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int d = 0; d < 4; ++d) {
        threads.emplace_back([&, d] {
            const std::string pattern = path("d" + std::to_string(d) + "/f*");
            for (int round = 0; round < 200; ++round) {
                CFileFindEx find;
                int count = 0;
                for (bool found = find.findFile(pattern.c_str()); found;
                     found = find.findNextFile()) {
                    ++count;
                }
                if (count != d + 3) {
                    ++failures[d];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int d = 0; d < 4; ++d) {
        EXPECT_EQ(0, failures[d]) << d;
    }
}

TEST_F(FileFindTest, MakeDirectoryRecursivelyCreatesEveryLevel) {
    EXPECT_TRUE(CFile::makeDirectoryRecursively(path("one/two/three/").c_str()));
    EXPECT_TRUE(fs::is_directory(path("one")));
    EXPECT_TRUE(fs::is_directory(path("one/two")));
    EXPECT_TRUE(fs::is_directory(path("one/two/three")));
    // The last directory exists already: false, although every directory exists.
    EXPECT_FALSE(CFile::makeDirectoryRecursively(path("one/two/three").c_str()));
    EXPECT_TRUE(CFile::makeDirectoryRecursively(path("one/two/four").c_str()));

    // Relative paths start at the current directory.
    const fs::path saved = fs::current_path();
    fs::current_path(m_dir.path());
    const bool relative = CFile::makeDirectoryRecursively("rel/a/b");
    fs::current_path(saved);
    EXPECT_TRUE(relative);
    EXPECT_TRUE(fs::is_directory(path("rel/a/b")));

    // A file in the way makes the deeper levels fail.
    writeFile(path("file"), "");
    EXPECT_FALSE(CFile::makeDirectoryRecursively(path("file/x/y").c_str()));
}

TEST_F(FileFindTest, RecursiveOperationsRefuseNullAndEmptyPaths) {
    TestSupport::LogCapture log;
    EXPECT_FALSE(CFile::makeDirectoryRecursively(nullptr));
    EXPECT_FALSE(CFile::makeDirectoryRecursively(""));
    EXPECT_FALSE(CFile::removeDirectoryRecursively(nullptr, true));
    EXPECT_FALSE(CFile::removeDirectoryRecursively("", false));
    const std::string text = log.text();
    std::size_t count = 0;
    for (std::size_t at = text.find("the path is unvalid"); at != std::string::npos;
         at = text.find("the path is unvalid", at + 1)) {
        ++count;
    }
    EXPECT_EQ(4u, count);
    EXPECT_NE(std::string::npos, text.find(" tid:"));
}

TEST_F(FileFindTest, RemoveDirectoryRecursivelyRemovesTheWholeTree) {
    ASSERT_TRUE(CFile::makeDirectoryRecursively(path("tree/a/b/c").c_str()));
    writeFile(path("tree/f"), "1");
    writeFile(path("tree/.hidden"), "2");
    writeFile(path("tree/a/g"), "3");
    writeFile(path("tree/a/b/c/h"), "4");
    fs::create_directory(path("tree/empty"));
    EXPECT_TRUE(CFile::removeDirectoryRecursively(path("tree").c_str(), true));
    EXPECT_FALSE(fs::exists(path("tree")));
}

TEST_F(FileFindTest, RemoveWithoutSelfEmptiesTheDirectory) {
    ASSERT_TRUE(CFile::makeDirectoryRecursively(path("keep/a").c_str()));
    writeFile(path("keep/a/x"), "1");
    writeFile(path("keep/y"), "2");
    EXPECT_TRUE(CFile::removeDirectoryRecursively(path("keep/").c_str(), false));
    EXPECT_TRUE(fs::is_directory(path("keep")));
    EXPECT_TRUE(fs::is_empty(path("keep")));
}

TEST_F(FileFindTest, RemoveOfAMissingDirectoryIsLoggedAndFalse) {
    TestSupport::LogCapture log;
    EXPECT_FALSE(CFile::removeDirectoryRecursively(path("missing").c_str(), true));
    EXPECT_TRUE(log.contains("the path does not exist"));
}

TEST_F(FileFindTest, PatternEndingInSlashStarIsUsedUnchanged) {
    ASSERT_TRUE(CFile::makeDirectoryRecursively(path("star/sub").c_str()));
    writeFile(path("star/f"), "");
    EXPECT_TRUE(CFile::removeDirectoryRecursively(path("star/*").c_str(), false));
    EXPECT_TRUE(fs::is_directory(path("star")));
    EXPECT_TRUE(fs::is_empty(path("star")));
    // With removeSelf the directory of the pattern goes too.
    writeFile(path("star/g"), "");
    EXPECT_TRUE(CFile::removeDirectoryRecursively(path("star/*").c_str(), true));
    EXPECT_FALSE(fs::exists(path("star")));
}

TEST_F(FileFindTest, RemoveDirectoryRecursivelyNeverFollowsALinkOutOfTheTree) {
    // outside/ must survive the removal of tree/, which links to it.
    ASSERT_TRUE(CFile::makeDirectoryRecursively(path("outside/deep").c_str()));
    writeFile(path("outside/precious"), "keep me");
    writeFile(path("outside/deep/also"), "keep me too");
    ASSERT_TRUE(CFile::makeDirectoryRecursively(path("tree/inner").c_str()));
    writeFile(path("tree/inner/f"), "x");
    std::error_code error;
    fs::create_directory_symlink(path("outside"), path("tree/link"), error);
    if (error) {
        GTEST_SKIP() << "symbolic links unavailable: " << error.message();
    }
    fs::create_directory_symlink(path("outside"), path("tree/inner/link2"), error);
    fs::create_symlink(path("outside/precious"), path("tree/filelink"), error);
    fs::create_symlink(path("nowhere"), path("tree/dangling"), error);

    CFileFind find;
    ASSERT_TRUE(find.findFile(path("tree/link").c_str()));
    EXPECT_TRUE(find.isDirectory());  // a search describes what a link points to
    find.close();

    EXPECT_TRUE(CFile::removeDirectoryRecursively(path("tree").c_str(), true));
    EXPECT_FALSE(fs::exists(fs::symlink_status(path("tree"))));
    EXPECT_EQ("keep me", readFile(path("outside/precious")));
    EXPECT_EQ("keep me too", readFile(path("outside/deep/also")));
}

TEST_F(FileFindTest, ALinkGivenAsTheTreeIsRemovedAsALink) {
    ASSERT_TRUE(CFile::makeDirectoryRecursively(path("target").c_str()));
    writeFile(path("target/precious"), "keep");
    std::error_code error;
    fs::create_directory_symlink(path("target"), path("alias"), error);
    if (error) {
        GTEST_SKIP() << "symbolic links unavailable: " << error.message();
    }
    // Emptying through the link would empty the target: refused.
    EXPECT_FALSE(CFile::removeDirectoryRecursively(path("alias").c_str(), false));
    EXPECT_FALSE(CFile::removeDirectoryRecursively(path("alias/*").c_str(), false));
    EXPECT_TRUE(fs::is_symlink(path("alias")));
    EXPECT_TRUE(CFile::removeDirectoryRecursively(path("alias/").c_str(), true));
    EXPECT_FALSE(fs::exists(fs::symlink_status(path("alias"))));
    EXPECT_EQ("keep", readFile(path("target/precious")));
}
