#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "common/Exception.h"
#include "common/FileGZ.h"
#include "common/FileOperations.h"
#include "common/FilePlain.h"
#include "support/AccessFlags.h"
#include "support/FileSizeLimit.h"
#include "support/ManualClock.h"
#include "support/TempDir.h"

using namespace Telvar;
using Telvar::Testing::TempDir;
using namespace Telvar::Testing::AccessFlags;
using Telvar::Testing::thrown;
namespace fs = std::filesystem;

namespace {

// Runs f and returns the FileException it throws (code -1 when none).
} // namespace

TEST(FilePlainTest, SafeUpdateChangesTheRealFileOnlyAtClose)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("f", "old\n"));
    FilePlain f(dir.file("f"));
    f.open(W);
    EXPECT_TRUE(f.safeUpdate());
    f.writeLine("new");
    f.flush();
    EXPECT_EQ("old\n", dir.read("f"));
    EXPECT_EQ("new\n", dir.read("f.tmp"));
    EXPECT_TRUE(dir.exists("f.lock"));
    f.close();
    EXPECT_FALSE(f.isOpen());
    EXPECT_EQ("new\n", dir.read("f"));
    EXPECT_FALSE(dir.exists("f.tmp"));
    EXPECT_FALSE(dir.exists("f.lock"));
}

TEST(FilePlainTest, AbortKeepsTheOldContentOrNoFile)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("f", "old\n"));
    FilePlain f(dir.file("f"));
    f.open(W | A);
    f.write("more");
    f.abort();
    EXPECT_EQ("old\n", dir.read("f"));
    EXPECT_FALSE(dir.exists("f.tmp"));
    EXPECT_FALSE(dir.exists("f.lock"));
    f.abort();   // closed: nothing

    FilePlain fresh(dir.file("fresh"));
    fresh.open(W);
    fresh.write("x");
    fresh.abort();
    EXPECT_EQ((std::vector<DirectoryEntry>{}.size()), listDirectory(dir.path(), "fresh*").size());
}

TEST(FilePlainTest, AppendStartsAtTheOldEnd)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("f", "0123456789"));
    FilePlain f(dir.file("f"));
    f.open(W | A);
    EXPECT_EQ(10, f.tell());
    f.write("ab");
    EXPECT_EQ(12, f.tell());
    f.close();
    EXPECT_EQ("0123456789ab", dir.read("f"));

    f.open(R | W | A);
    EXPECT_EQ(12, f.tell());
    std::string line;
    EXPECT_EQ(FileException::FL_EOF, thrown([&] { f.readLine(line); }).code());
    f.seek(0, FileBase::SEEK_BEGIN);
    EXPECT_EQ("0123456789ab", f.readLine(line));
    f.writeLine("cd");
    f.close();
    EXPECT_EQ("0123456789abcd\n", dir.read("f"));

    f.open(R | W | T);
    f.write("z");
    f.close();
    EXPECT_EQ("z", dir.read("f"));

    f.open(R | W);
    f.seek(0, FileBase::SEEK_END_OF_FILE);
    f.write("!");
    f.close();
    EXPECT_EQ("z!", dir.read("f"));
}

TEST(FilePlainTest, RefusedFlagCombinations)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("f", "x"));
    FilePlain f(dir.file("f"));
    for (uint16_t flags : {uint16_t(R | A), uint16_t(R | T), uint16_t(R | C), uint16_t(W | T | A),
                           uint16_t(R | W | T | A), uint16_t(0), uint16_t(U | N)}) {
        FileException e = thrown([&] { f.open(flags); });
        EXPECT_EQ(FileException::FL_ACCESS_COMB, e.code()) << flags;
        EXPECT_EQ(dir.file("f"), e.message());
        EXPECT_FALSE(f.isOpen());
    }
    EXPECT_FALSE(dir.exists("f.lock"));
}

TEST(FilePlainTest, ReadingAMissingFile)
{
    TempDir dir;
    FilePlain f(dir.file("missing"));
    FileException e = thrown([&] { f.open(R); });
    EXPECT_EQ(FileException::FL_EXISTS_NOT, e.code());
    EXPECT_EQ(dir.file("missing") + "-->File does not exist.", e.message());
    ASSERT_EQ(1u, e.trace().size());
    EXPECT_EQ("FilePlain", e.trace()[0].module);
}

// A failed open or write says first what the system said, with the path,
// and then the internal code.
TEST(FilePlainTest, FailuresCarryTheSystemsReasonBeforeTheCode)
{
    TempDir dir;
    const std::string inMissing = dir.file("no-such-dir") + "/x";
    FilePlain open(inMissing);
    FileException e = thrown([&] { open.open(W | U | N); });
    EXPECT_EQ(0u, e.fullText().find(inMissing + ": No such file or directory (File: ")) << e.fullText();
    // The device that is always full.
    FilePlain full("/dev/full");
    full.open(W | U | N);
    e = thrown([&] {
        full.writeLine(std::string(1 << 16, 'x'));
        full.flush();
    });
    EXPECT_EQ(0u, e.fullText().find("/dev/full: No space left on device (File: ")) << e.fullText();
    thrown([&] { full.close(); });
    // Locking needs a directory that can take the lock file.
    FilePlain locked(dir.file("no-such-dir") + "/y");
    e = thrown([&] { locked.open(W); });
    EXPECT_EQ(FileException::FL_CANNOT_LOCK, e.code());
    EXPECT_EQ(0u, e.fullText().find("cannot lock " + dir.file("no-such-dir") + "/y: ")) << e.fullText();
    EXPECT_NE(std::string::npos, e.fullText().find(": No such file or directory (File: ")) << e.fullText();
}

TEST(FilePlainTest, SecondWriterIsLockedOutUntilTheFirstCloses)
{
    TempDir dir;
    FilePlain first(dir.file("f"));
    FilePlain second(dir.file("f"));
    first.open(W);
    EXPECT_EQ(FileException::FL_IS_OPEN, thrown([&] { first.open(W); }).code());
    EXPECT_EQ(FileException::FL_IS_LOCKED, thrown([&] { second.open(W | U); }).code());
    EXPECT_FALSE(second.isOpen());
    first.write("one");
    // Readers take no lock and see the previous content.
    FilePlain reader(dir.file("f"));
    reader.open(R);
    std::string s;
    EXPECT_FALSE(reader.read(s, 3));
    EXPECT_EQ("", s);
    reader.close();
    first.close();
    second.open(W | A);
    second.write("two");
    second.close();
    EXPECT_EQ("onetwo", dir.read("f"));
}

TEST(FilePlainTest, ExpiredForeignLockFileIsTakenOver)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("f.lock", "20000101T000000Z\n20000101T000030Z\nsomebody\nmissing\n"));
    FilePlain f(dir.file("f"));
    f.open(W);
    f.write("mine");
    EXPECT_NE(std::string::npos, dir.read("f.lock").find("\noriginal\n"));
    f.close();
    EXPECT_EQ("mine", dir.read("f"));
    EXPECT_FALSE(dir.exists("f.lock"));
}

TEST(FilePlainTest, UnsafeAndNoLockWriteInPlace)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("f", "old"));
    FilePlain f(dir.file("f"));
    f.open(W | U);
    EXPECT_FALSE(f.safeUpdate());
    f.write("new");
    f.flush();
    EXPECT_EQ("new", dir.read("f"));
    EXPECT_TRUE(dir.exists("f.lock"));
    EXPECT_FALSE(dir.exists("f.tmp"));
    f.close();
    EXPECT_FALSE(dir.exists("f.lock"));

    f.open(W | N | A);
    f.write("er");
    f.flush();
    EXPECT_EQ("newer", dir.read("f"));
    EXPECT_FALSE(dir.exists("f.lock"));
    EXPECT_FALSE(dir.exists("f.tmp"));
    f.close();
}

TEST(FilePlainTest, ReadLineAndBlockReads)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("f", "first\r\nsec\x01ond\nthird"));
    FilePlain f(dir.file("f"));
    f.open(R);
    std::string line;
    EXPECT_EQ("first", f.readLine(line));
    EXPECT_EQ(7, f.tell());
    FileException e = thrown([&] { f.readLine(line); });
    EXPECT_EQ(27, e.code());
    EXPECT_EQ(dir.file("f"), e.message());
    EXPECT_FALSE(f.eof());
    EXPECT_EQ("third", f.readLine(line));
    EXPECT_TRUE(f.eof());
    EXPECT_EQ(FileException::FL_EOF, thrown([&] { f.readLine(line); }).code());

    f.seek(2, FileBase::SEEK_BEGIN);
    char buffer[6];
    EXPECT_EQ(5, f.read(buffer, 5));
    EXPECT_EQ(std::string("rst\r\n"), std::string(buffer));
    std::string text;
    EXPECT_TRUE(f.read(text, 3));
    EXPECT_EQ("sec", text);
    EXPECT_FALSE(f.read(text, 100));
    EXPECT_EQ("\x01ond\nthird", text);
    EXPECT_EQ(FileException::FL_EOF, thrown([&] { f.read(buffer, 5); }).code());
    EXPECT_EQ(FileException::FL_CANNOT_WRITE, thrown([&] { f.write("x", 1); }).code());
    EXPECT_EQ(FileException::FL_CANNOT_WRITE, thrown([&] { f.flush(); }).code());
    e = thrown([&] { f.write(std::string("x")); });
    EXPECT_EQ(FileException::FL_WRITE, e.code());
    EXPECT_EQ(dir.file("f") + " - BFile error: 9 - Access: 1", e.message());
    f.close();
    EXPECT_EQ("first\r\nsec\x01ond\nthird", dir.read("f"));
}

TEST(FilePlainTest, ClosedAndWrongAccessErrors)
{
    TempDir dir;
    FilePlain f(dir.file("f"));
    char buffer[4];
    std::string s;
    EXPECT_EQ(FileException::FL_IS_CLOSED, thrown([&] { f.read(buffer, 1); }).code());
    EXPECT_EQ(FileException::FL_IS_CLOSED, thrown([&] { f.write("x", 1); }).code());
    EXPECT_EQ(FileException::FL_IS_CLOSED, thrown([&] { f.readLine(s); }).code());
    EXPECT_EQ(FileException::FL_IS_CLOSED, thrown([&] { f.flush(); }).code());
    EXPECT_EQ(FileException::FL_IS_CLOSED, thrown([&] { f.seek(0, 0); }).code());
    EXPECT_EQ(FileException::FL_READ, thrown([&] { f.read(s, 1); }).code());
    FileException e = thrown([&] { f.write(std::string("x")); });
    EXPECT_EQ(FileException::FL_WRITE, e.code());
    EXPECT_EQ(dir.file("f") + " - BFile error: 1 - Access: 0", e.message());
    EXPECT_EQ(FileException::FL_WRITE, thrown([&] { f.writeLine("x"); }).code());

    f.open(W);
    EXPECT_EQ(FileException::FL_READ, thrown([&] { f.read(buffer, 1); }).code());
    EXPECT_EQ(FileException::FL_CANNOT_READ, thrown([&] { f.readLine(s); }).code());
    EXPECT_EQ(FileException::FL_POSITION, thrown([&] { f.seek(-5, FileBase::SEEK_BEGIN); }).code());
    EXPECT_EQ(3, f.write("abc", 3));
    f.close();
    EXPECT_EQ("abc", dir.read("f"));
}

TEST(FilePlainTest, FailedOpenLeavesNothingBehind)
{
    TempDir dir;
    // Read and write needs an existing file.
    FilePlain f(dir.file("f"));
    FileException e = thrown([&] { f.open(R | W); });
    EXPECT_EQ(FileException::FL_CANNOT_OPEN, e.code());
    EXPECT_EQ(dir.file("f.tmp"), e.message());
    EXPECT_EQ((std::vector<std::string>{}), [&] {
        std::vector<std::string> names;
        for (const DirectoryEntry& d : listDirectory(dir.path(), "f*"))
            names.push_back(d.name);
        return names;
    }());
    EXPECT_FALSE(f.isOpen());

    FilePlain nowhere(dir.file("no/dir/f"));
    EXPECT_EQ(FileException::FL_CANNOT_LOCK, thrown([&] { nowhere.open(W); }).code());
    EXPECT_EQ(FileException::FL_CANNOT_OPEN, thrown([&] { nowhere.open(W | N); }).code());
    EXPECT_FALSE(dir.exists("no"));
}

TEST(FilePlainTest, CommitThatCannotRenameReportsAndKeepsTheCopy)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("f", "old"));
    int waits = 0;
    Testing::ManualClock clock(Clock::system().nowSeconds());
    clock.sleepWith([&](int) { ++waits; });
    FilePlain f(dir.file("f"));
    f.open(W);
    f.write("new");
    // A non-empty directory in the real file's place cannot be replaced.
    fs::remove(dir.file("f"));
    ASSERT_TRUE(dir.makeDirectory("f/inside"));
    FileException e = thrown([&] { f.close(); });
    clock.sleepWith(nullptr);
    EXPECT_EQ(FileException::FL_RENAME, e.code());
    EXPECT_EQ("Failed to update the file \"" + dir.file("f") + "\"", e.message());
    EXPECT_EQ(10 * 5 + 9, waits);
    EXPECT_EQ("new", dir.read("f.tmp"));
    EXPECT_FALSE(dir.exists("f.lock"));
    EXPECT_FALSE(f.isOpen());

    // The next writer starts again from the real file.
    fs::remove_all(dir.file("f"));
    ASSERT_TRUE(dir.write("f", "real"));
    f.open(W | A);
    f.write("+");
    f.close();
    EXPECT_EQ("real+", dir.read("f"));
    EXPECT_FALSE(dir.exists("f.tmp"));
}

TEST(FilePlainTest, DestructionCommits)
{
    TempDir dir;
    {
        FilePlain f(dir.file("f"));
        f.open(W);
        f.write("kept");
    }
    EXPECT_EQ("kept", dir.read("f"));
    EXPECT_FALSE(dir.exists("f.tmp"));
    EXPECT_FALSE(dir.exists("f.lock"));
}

TEST(FilePlainTest, FactoryChoosesByExtensionAndLockTimeoutDefaults)
{
    TempDir dir;
    SmartPointer<FileBase> gz = FileBase::create(dir.file("a.gz"));
    SmartPointer<FileBase> plain = FileBase::create(dir.file("a.gzip"));
    SmartPointer<FileBase> bare = FileBase::create(dir.file("gz"));
    EXPECT_NE(nullptr, dynamic_cast<FileGZ*>(gz.get()));
    EXPECT_NE(nullptr, dynamic_cast<FilePlain*>(plain.get()));
    EXPECT_NE(nullptr, dynamic_cast<FilePlain*>(bare.get()));
    EXPECT_FALSE(gz->isOpen());
    EXPECT_EQ("a.gz", gz->baseName());
    EXPECT_EQ(dir.file("a.gz"), gz->name());

    EXPECT_EQ(TimeSpan(30), plain->lockTimeout());
    FileBase::setDefaultLockTimeout(TimeSpan(90));
    FilePlain later(dir.file("later"));
    FileBase::clearDefaultLockTimeout();
    EXPECT_EQ(TimeSpan(90), later.lockTimeout());
    EXPECT_EQ(TimeSpan(30), FileBase::defaultLockTimeout());

    ASSERT_TRUE(dir.write("sized", "12345"));
    EXPECT_EQ(5, FilePlain(dir.file("sized")).size());
}

// A full disk halfway through a safe update: neither close nor destruction
// may move the fragment over the good file.
TEST(FilePlainTest, FailedWriteIsNeverCommitted)
{
    TempDir dir;
    const std::string good = "23 bytes of good data.\n";
    ASSERT_TRUE(dir.write("f", good));
    const std::string big(10000, 'x');
    {
        FilePlain f(dir.file("f"));
        f.open(W);
        Testing::FileSizeLimit full(4096);
        EXPECT_EQ(FileException::FL_WRITE, thrown([&] { f.write(big); }).code());
        EXPECT_TRUE(f.writeFailed());
        EXPECT_EQ(FileException::FL_WRITE, thrown([&] { f.close(); }).code());
        EXPECT_FALSE(f.isOpen());
    }
    EXPECT_EQ(good, dir.read("f"));
    EXPECT_FALSE(dir.exists("f.tmp"));
    EXPECT_FALSE(dir.exists("f.lock"));

    {
        FilePlain f(dir.file("f"));
        f.open(W | A);
        Testing::FileSizeLimit full(4096);
        EXPECT_EQ(FileException::FL_WRITE, thrown([&] { f.writeLine(big); }).code());
        // Destroyed without close.
    }
    EXPECT_EQ(good, dir.read("f"));
    EXPECT_FALSE(dir.exists("f.tmp"));

    // A file that did not exist is not left behind as a fragment either.
    {
        FilePlain f(dir.file("new"));
        f.open(W);
        Testing::FileSizeLimit full(4096);
        EXPECT_EQ(FileException::FL_WRITE, thrown([&] { f.write(big.data(), 10000); }).code());
    }
    EXPECT_FALSE(dir.exists("new"));
    EXPECT_FALSE(dir.exists("new.tmp"));
}

TEST(FilePlainTest, TruncateLeadsBackToAWholeCopy)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("f", "old\n"));
    FilePlain f(dir.file("f"));
    f.open(W | A);
    f.write(std::string("rec1\n"));
    {
        Testing::FileSizeLimit full(64);
        EXPECT_EQ(FileException::FL_WRITE, thrown([&] { f.write(std::string(10000, 'y')); }).code());
        // Back to the end of the last whole record while the disk is still full.
        f.truncate(9);
    }
    EXPECT_FALSE(f.writeFailed());
    EXPECT_EQ(9, f.tell());
    f.write(std::string("rec2\n"));
    f.close();
    EXPECT_EQ("old\nrec1\nrec2\n", dir.read("f"));

    FilePlain reader(dir.file("f"));
    reader.open(R);
    EXPECT_EQ(FileException::FL_CANNOT_WRITE, thrown([&] { reader.truncate(0); }).code());
    reader.close();
    EXPECT_EQ(FileException::FL_IS_CLOSED, thrown([&] { reader.truncate(0); }).code());
}
