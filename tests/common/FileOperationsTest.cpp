#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "common/FileOperations.h"
#include "platform/FileSystem.h"
#include "support/ManualClock.h"
#include "support/TempDir.h"

using namespace Telvar;
using Telvar::Testing::TempDir;
namespace fs = std::filesystem;

namespace {

// Records the retry waits instead of sleeping; runs an action at a given wait.
struct SleepRecorder {
    std::vector<int> waits;
    size_t actAt = 0;
    std::function<void()> action;
    Telvar::Testing::ManualClock clock{Clock::system().nowSeconds()};

    SleepRecorder()
    {
        clock.sleepWith([this](int ms) {
            waits.push_back(ms);
            if (action && waits.size() == actAt)
                action();
        });
    }
};

std::vector<std::string> names(const std::vector<DirectoryEntry>& entries)
{
    std::vector<std::string> out;
    for (const DirectoryEntry& e : entries)
        out.push_back(e.name);
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

TEST(FileOperationsTest, FileExistsForFilesDirectoriesAndTrailingSeparator)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("a.txt", "x"));
    EXPECT_TRUE(fileExists(dir.file("a.txt")));
    EXPECT_TRUE(fileExists(dir.path()));
    EXPECT_TRUE(fileExists(dir.path() + "/"));
    EXPECT_TRUE(fileExists("/"));
    EXPECT_FALSE(fileExists(""));
    EXPECT_FALSE(fileExists(dir.file("missing")));
}

TEST(FileOperationsTest, FileInfoMapsAttributesAndFullPath)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("plain.txt", "12345"));
    ASSERT_TRUE(dir.write(".hidden", ""));
    ASSERT_TRUE(dir.makeDirectory("sub"));

    FileInfo info;
    ASSERT_TRUE(getFileInfo(dir.file("plain.txt"), info));
    EXPECT_TRUE(info.exists);
    EXPECT_EQ(dir.file("plain.txt"), info.fullPath);
    EXPECT_EQ(5u, info.size);
    EXPECT_EQ(0u, info.sizeHigh);
    EXPECT_EQ(0u, info.attributes);
    EXPECT_GE(info.lastWritten.year, 2020);
    EXPECT_FALSE(info.lastWritten.local);

    ASSERT_TRUE(getFileInfo(dir.file(".hidden"), info));
    EXPECT_EQ(uint32_t(FILE_ATTR_HIDDEN), info.attributes);

    ASSERT_TRUE(getFileInfo(dir.file("sub/../sub/."), info));
    EXPECT_EQ(dir.file("sub"), info.fullPath);
    EXPECT_EQ(uint32_t(FILE_ATTR_DIRECTORY), info.attributes);

    ASSERT_TRUE(setFileAttributes(dir.file("plain.txt"), FILE_ATTR_READONLY | FILE_ATTR_ARCHIVE));
    ASSERT_TRUE(getFileInfo(dir.file("plain.txt"), info));
    EXPECT_EQ(uint32_t(FILE_ATTR_READONLY), info.attributes);
    ASSERT_TRUE(setFileAttributes(dir.file("plain.txt"), FILE_ATTR_NORMAL));
    ASSERT_TRUE(getFileInfo(dir.file("plain.txt"), info));
    EXPECT_EQ(0u, info.attributes);

    EXPECT_FALSE(getFileInfo(dir.file("nothing"), info));
    EXPECT_FALSE(info.exists);
}

TEST(FileOperationsTest, FileInfoWithWildcardTakesAMatch)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("data.make", "abc"));
    ASSERT_TRUE(dir.write("other.log", "x"));
    FileInfo info;
    ASSERT_TRUE(getFileInfo(dir.file("*.make"), info));
    EXPECT_EQ(dir.file("data.make"), info.fullPath);
    EXPECT_EQ(3u, info.size);
    EXPECT_FALSE(getFileInfo(dir.file("*.none"), info));
}

TEST(FileOperationsTest, FileSizeKeepsSizesBeyondFourGiB)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("big", ""));
    std::error_code ec;
    fs::resize_file(dir.file("big"), (uint64_t(1) << 32) + 17, ec);
    if (ec)
        GTEST_SKIP() << "no sparse files here";
    EXPECT_EQ((uint64_t(1) << 32) + 17, fileSize(dir.file("big")));
    FileInfo info;
    ASSERT_TRUE(getFileInfo(dir.file("big"), info));
    EXPECT_EQ(1u, info.sizeHigh);
    EXPECT_EQ(0u, fileSize(dir.file("missing")));
}

TEST(FileOperationsTest, CopyRespectsOverwrite)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("from", "new content"));
    ASSERT_TRUE(dir.write("to", "old"));
    EXPECT_FALSE(copyFile(dir.file("from"), dir.file("to"), false));
    EXPECT_EQ("old", dir.read("to"));
    EXPECT_TRUE(copyFile(dir.file("from"), dir.file("to"), true));
    EXPECT_EQ("new content", dir.read("to"));
    EXPECT_TRUE(copyFile(dir.file("from"), dir.file("fresh"), false));
    EXPECT_EQ("new content", dir.read("fresh"));
    EXPECT_EQ("new content", dir.read("from"));
    EXPECT_FALSE(copyFile(dir.file("missing"), dir.file("x"), true));
    EXPECT_FALSE(dir.exists("x"));
    // Nothing but the three files: no copy leftovers.
    EXPECT_EQ((std::vector<std::string>{".", "..", "fresh", "from", "to"}),
              names(listDirectory(dir.path(), "*")));
}

TEST(FileOperationsTest, MoveWithoutReplaceOntoExistingFailsAfterSixAttempts)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("from", "a"));
    ASSERT_TRUE(dir.write("to", "b"));
    SleepRecorder sleeps;
    EXPECT_FALSE(moveFile(dir.file("from"), dir.file("to"), false));
    EXPECT_EQ(std::vector<int>(5, 2000), sleeps.waits);
    EXPECT_EQ(uint32_t(Platform::FILE_ERROR_ALREADY_EXISTS), lastFileError());
    EXPECT_EQ("a", dir.read("from"));
    EXPECT_EQ("b", dir.read("to"));
}

TEST(FileOperationsTest, MoveSucceedsOnTheSixthAttempt)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("from", "a"));
    ASSERT_TRUE(dir.write("to", "b"));
    SleepRecorder sleeps;
    EXPECT_FALSE(moveFile(dir.file("nothing"), dir.file("x"), true));
    EXPECT_EQ(uint32_t(Platform::FILE_ERROR_FILE_NOT_FOUND), lastFileError());
    sleeps.waits.clear();
    // The target goes away during the fifth wait.
    sleeps.actAt = 5;
    sleeps.action = [&] { fs::remove(dir.file("to")); };
    EXPECT_TRUE(moveFile(dir.file("from"), dir.file("to"), false));
    EXPECT_EQ(5u, sleeps.waits.size());
    EXPECT_EQ(0u, lastFileError());
    EXPECT_EQ("a", dir.read("to"));
    EXPECT_FALSE(dir.exists("from"));
}

TEST(FileOperationsTest, MoveWithReplaceReplacesAtOnce)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("from", "fresh"));
    ASSERT_TRUE(dir.write("to", "stale"));
    SleepRecorder sleeps;
    EXPECT_TRUE(moveFile(dir.file("from"), dir.file("to"), true));
    EXPECT_TRUE(sleeps.waits.empty());
    EXPECT_EQ("fresh", dir.read("to"));
    EXPECT_FALSE(dir.exists("from"));
}

TEST(FileOperationsTest, MoveAcrossFileSystemsCopiesThenDeletes)
{
    TempDir dir;
    std::error_code ec;
    fs::path other = fs::path("/dev/shm") / fs::path(dir.path()).filename();
    if (!fs::create_directory(other, ec))
        GTEST_SKIP() << "no second file system";
    struct Cleanup {
        fs::path p;
        ~Cleanup() { std::error_code e; fs::remove_all(p, e); }
    } cleanup{other};
    if (fs::status(other).type() != fs::file_type::directory)
        GTEST_SKIP();
    ASSERT_TRUE(dir.write("from", "payload"));
    std::string target = (other / "to").string();
    ASSERT_TRUE(TempDir::writeFile(target, "old"));

    SleepRecorder sleeps;
    EXPECT_FALSE(moveFile(dir.file("from"), target, false));
    EXPECT_EQ(5u, sleeps.waits.size());
    EXPECT_EQ(uint32_t(Platform::FILE_ERROR_ALREADY_EXISTS), lastFileError());
    EXPECT_EQ("old", TempDir::readFile(target));
    EXPECT_TRUE(dir.exists("from"));

    EXPECT_TRUE(moveFile(dir.file("from"), target, true));
    EXPECT_EQ("payload", TempDir::readFile(target));
    EXPECT_FALSE(dir.exists("from"));
    // Only the target in the other directory: no temporary copies left.
    EXPECT_EQ((std::vector<std::string>{".", "..", "to"}),
              names(listDirectory(other.string(), "*")));
}

TEST(FileOperationsTest, RemoveHonoursReadOnlyUnlessForced)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("ro", "keep"));
    ASSERT_TRUE(setFileAttributes(dir.file("ro"), FILE_ATTR_READONLY));
    EXPECT_FALSE(removeFile(dir.file("ro"), false));
    EXPECT_EQ("keep", dir.read("ro"));
    EXPECT_TRUE(removeFile(dir.file("ro"), true));
    EXPECT_FALSE(dir.exists("ro"));
    EXPECT_FALSE(removeFile(dir.file("ro"), true));
    ASSERT_TRUE(dir.write("rw", ""));
    EXPECT_TRUE(removeFile(dir.file("rw"), false));
    EXPECT_FALSE(dir.exists("rw"));
    EXPECT_FALSE(deleteFile(dir.file("rw")));
    EXPECT_FALSE(deleteFile(dir.path()));
}

TEST(FileOperationsTest, MakeParentDirectoriesCreatesOnlyTheAncestors)
{
    TempDir dir;
    std::string failed;
    EXPECT_TRUE(makeParentDirectories(dir.file("x/y/file.txt"), failed));
    EXPECT_TRUE(fs::is_directory(dir.file("x")));
    EXPECT_TRUE(fs::is_directory(dir.file("x/y")));
    EXPECT_FALSE(dir.exists("x/y/file.txt"));
    EXPECT_TRUE(failed.empty());
    EXPECT_TRUE(makeParentDirectories(dir.file("x/y/z/"), failed));
    EXPECT_TRUE(fs::is_directory(dir.file("x/y/z")));
    EXPECT_TRUE(makeParentDirectories("", failed));

    // A plain file in the way: the level below it cannot be made.
    ASSERT_TRUE(dir.write("plain", ""));
    EXPECT_FALSE(makeParentDirectories(dir.file("plain/a/b/file"), failed));
    EXPECT_EQ(dir.file("plain/a"), failed);
    EXPECT_TRUE(createDirectory(dir.file("one")));
    EXPECT_FALSE(createDirectory(dir.file("one")));
    EXPECT_FALSE(createDirectory(dir.file("two/three")));
}

TEST(FileOperationsTest, CurrentDirectoryEndsInSeparator)
{
    std::string saved = Platform::currentDirectory();
    TempDir dir;
    ASSERT_TRUE(Platform::setCurrentDirectory(dir.path()));
    EXPECT_EQ(dir.path() + "/", currentDirectory());
    // Relative names resolve against it.
    ASSERT_TRUE(dir.write("rel", "1"));
    FileInfo info;
    ASSERT_TRUE(getFileInfo("rel", info));
    EXPECT_EQ(dir.file("rel"), info.fullPath);
    ASSERT_TRUE(Platform::setCurrentDirectory("/"));
    EXPECT_EQ("/", currentDirectory());
    ASSERT_TRUE(Platform::setCurrentDirectory(saved));
}

TEST(FileOperationsTest, ListDirectoryMatchesPatterns)
{
    TempDir dir;
    EXPECT_EQ((std::vector<std::string>{".", ".."}), names(listDirectory(dir.path(), "*")));
    for (const DirectoryEntry& e : listDirectory(dir.path(), "*"))
        EXPECT_FALSE(e.isFile) << e.name;

    ASSERT_TRUE(dir.write("a.make", ""));
    ASSERT_TRUE(dir.write("b.make.tmp", ""));
    ASSERT_TRUE(dir.write("c.data", ""));
    ASSERT_TRUE(dir.write("noext", ""));
    ASSERT_TRUE(dir.makeDirectory("d.make"));
    EXPECT_EQ((std::vector<std::string>{"a.make", "b.make.tmp", "d.make"}),
              names(listDirectory(dir.path(), "*.make*")));
    EXPECT_EQ((std::vector<std::string>{"a.make", "d.make"}),
              names(listDirectory(dir.path() + "/", "?.make")));
    EXPECT_EQ((std::vector<std::string>{".", "..", "a.make", "b.make.tmp", "c.data", "d.make", "noext"}),
              names(listDirectory(dir.path(), "*.*")));
    for (const DirectoryEntry& e : listDirectory(dir.path(), "?.*"))
        EXPECT_EQ(fs::is_regular_file(dir.file(e.name)), e.isFile) << e.name;
    EXPECT_TRUE(listDirectory(dir.path(), "*.none").empty());
    EXPECT_TRUE(listDirectory(dir.file("missing"), "*").empty());
    // A pattern may carry a directory part.
    EXPECT_EQ((std::vector<std::string>{".", ".."}), names(listDirectory(dir.path(), "d.make/*")));
}

TEST(FileOperationsTest, PatternMatching)
{
    EXPECT_TRUE(matchesPattern("abc", "*"));
    EXPECT_TRUE(matchesPattern("", "*"));
    EXPECT_TRUE(matchesPattern("abc", "a?c"));
    EXPECT_FALSE(matchesPattern("ac", "a?c"));
    EXPECT_TRUE(matchesPattern("x.make.tmp", "*.make*"));
    EXPECT_FALSE(matchesPattern("x.mak", "*.make*"));
    EXPECT_TRUE(matchesPattern("aXbXc", "a*b*c"));
    EXPECT_FALSE(matchesPattern("aXbXd", "a*b*c"));
    EXPECT_TRUE(matchesPattern("noext", "*.*"));
    EXPECT_FALSE(matchesPattern("abc", ""));
    EXPECT_EQ(!Platform::FILE_NAMES_IGNORE_CASE, !matchesPattern("A.MESS", "*.mess"));
}

TEST(FileOperationsTest, AppendTextCreatesAndAppends)
{
    TempDir dir;
    EXPECT_TRUE(appendText(dir.file("log"), "one\n"));
    EXPECT_TRUE(appendText(dir.file("log"), "two\n"));
    EXPECT_EQ("one\ntwo\n", dir.read("log"));
    EXPECT_FALSE(appendText(dir.file("nodir/log"), "x"));
    EXPECT_FALSE(dir.exists("nodir"));
    EXPECT_FALSE(appendText(dir.path(), "x"));
}

TEST(FileOperationsTest, FileTimesAreUtcCalendarParts)
{
    TempDir dir;
    int64_t before = DateTime::now().seconds();
    ASSERT_TRUE(dir.write("f", "x"));
    int64_t after = DateTime::now().seconds();
    FileInfo info;
    ASSERT_TRUE(getFileInfo(dir.file("f"), info));
    for (const DateTimeParts* parts : {&info.lastWritten, &info.lastAccessed, &info.created}) {
        EXPECT_FALSE(parts->local);
        int64_t seconds = DateTime(*parts).seconds();
        EXPECT_GE(seconds, before - 1);
        EXPECT_LE(seconds, after + 1);
    }
}
