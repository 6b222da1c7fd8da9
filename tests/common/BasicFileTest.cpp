#include <gtest/gtest.h>

#include "common/BasicFile.h"
#include "support/TempDir.h"

using namespace Telvar;
using Telvar::Testing::TempDir;

TEST(BasicFileTest, ReadLineDropsCarriageReturnsAndFlagsControlBytes)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("f", std::string("one\r\ntab\there\r\nbell\x07line\nhigh\xe9\xff\n\nlast")));
    BasicFile f;
    ASSERT_TRUE(f.open(dir.file("f"), BasicFile::MODE_READ));
    EXPECT_EQ("one", f.readLine());
    EXPECT_EQ(BasicFile::ERROR_NONE, f.errorCode());
    EXPECT_EQ(5, f.lineCounter());
    EXPECT_EQ("tab\there", f.readLine());
    EXPECT_EQ("", f.readLine());
    EXPECT_EQ(BasicFile::ERROR_CONTROL_BYTE, f.errorCode());
    EXPECT_EQ("high\xe9\xff", f.readLine());
    EXPECT_EQ(BasicFile::ERROR_NONE, f.errorCode());
    EXPECT_EQ("", f.readLine());
    EXPECT_EQ(BasicFile::ERROR_NONE, f.errorCode());
    EXPECT_FALSE(f.atEnd());
    EXPECT_EQ("last", f.readLine());
    EXPECT_EQ(BasicFile::ERROR_NONE, f.errorCode());
    EXPECT_TRUE(f.atEnd());
    EXPECT_EQ(37, f.lineCounter());
    EXPECT_EQ("", f.readLine());
    EXPECT_EQ(BasicFile::ERROR_END_OF_FILE, f.errorCode());
    EXPECT_TRUE(f.close());
}

TEST(BasicFileTest, AtEndRightAfterTheLastTerminatedLine)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("f", "a\nb\n"));
    BasicFile f;
    ASSERT_TRUE(f.open(dir.file("f"), BasicFile::MODE_READ));
    EXPECT_EQ("a", f.readLine());
    EXPECT_FALSE(f.atEnd());
    EXPECT_EQ("b", f.readLine());
    EXPECT_TRUE(f.atEnd());
    EXPECT_EQ("", f.readLine());
    EXPECT_EQ(BasicFile::ERROR_END_OF_FILE, f.errorCode());
    EXPECT_EQ(0, f.seek(0, BasicFile::ORIGIN_START));
    EXPECT_FALSE(f.atEnd());
    EXPECT_EQ("a", f.readLine());
}

TEST(BasicFileTest, OpenErrors)
{
    TempDir dir;
    BasicFile f;
    EXPECT_FALSE(f.open(dir.file("missing"), BasicFile::MODE_READ));
    EXPECT_EQ(BasicFile::ERROR_CANNOT_OPEN, f.errorCode());
    EXPECT_FALSE(f.open(dir.file("missing"), BasicFile::MODE_READ_WRITE));
    EXPECT_EQ(BasicFile::ERROR_CANNOT_OPEN, f.errorCode());
    EXPECT_FALSE(dir.exists("missing"));
    EXPECT_FALSE(f.open(dir.path(), BasicFile::MODE_READ));
    EXPECT_EQ(BasicFile::ERROR_CANNOT_OPEN, f.errorCode());
    EXPECT_FALSE(f.open(dir.file("x"), 0));
    EXPECT_EQ(BasicFile::ERROR_UNKNOWN_MODE, f.errorCode());
    EXPECT_FALSE(f.open(dir.file("x"), 7));
    EXPECT_EQ(BasicFile::ERROR_UNKNOWN_MODE, f.errorCode());
    EXPECT_FALSE(f.isOpen());
    ASSERT_TRUE(f.open(dir.file("x"), BasicFile::MODE_WRITE));
    EXPECT_FALSE(f.open(dir.file("y"), BasicFile::MODE_READ));
    EXPECT_EQ(BasicFile::ERROR_ALREADY_OPEN, f.errorCode());
    EXPECT_EQ(dir.file("x"), f.path());
    EXPECT_TRUE(f.close());
    EXPECT_FALSE(f.close());
    EXPECT_EQ(BasicFile::ERROR_NOT_OPEN, f.errorCode());
    EXPECT_EQ("", f.readLine());
    EXPECT_EQ(BasicFile::ERROR_NOT_OPEN, f.errorCode());
    EXPECT_FALSE(f.write("x"));
    EXPECT_EQ(BasicFile::ERROR_NOT_OPEN, f.errorCode());
    EXPECT_EQ(-1, f.tell());
}

TEST(BasicFileTest, WriteModesTruncateOrAppend)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("f", "0123456789"));
    BasicFile f;

    ASSERT_TRUE(f.open(dir.file("f"), BasicFile::MODE_APPEND));
    EXPECT_EQ(10, f.endPositionAtOpen());
    ASSERT_TRUE(f.write("ab"));
    EXPECT_EQ(2, f.bytesWritten());
    ASSERT_TRUE(f.close());
    EXPECT_EQ("0123456789ab", dir.read("f"));

    ASSERT_TRUE(f.open(dir.file("f"), BasicFile::MODE_READ_WRITE));
    EXPECT_EQ(0, f.tell());
    ASSERT_TRUE(f.write("XY"));
    EXPECT_EQ("23456789ab", f.readLine());   // switching from write to read
    ASSERT_TRUE(f.seek(-3, BasicFile::ORIGIN_END) == 9);
    ASSERT_TRUE(f.write("Z"));
    ASSERT_TRUE(f.close());
    EXPECT_EQ("XY2345678Zab", dir.read("f"));

    ASSERT_TRUE(f.open(dir.file("f"), BasicFile::MODE_READ_APPEND));
    EXPECT_EQ("XY2345678Zab", f.readLine());
    ASSERT_TRUE(f.seek(0, BasicFile::ORIGIN_START) == 0);
    ASSERT_TRUE(f.write("+"));   // always at the end
    ASSERT_TRUE(f.close());
    EXPECT_EQ("XY2345678Zab+", dir.read("f"));

    ASSERT_TRUE(f.open(dir.file("f"), BasicFile::MODE_READ_WRITE_TRUNCATE));
    EXPECT_EQ(0, f.endPositionAtOpen());
    ASSERT_TRUE(f.write("new\n"));
    EXPECT_EQ(2, f.seek(2, BasicFile::ORIGIN_START));
    EXPECT_EQ(3, f.seek(1, BasicFile::ORIGIN_CURRENT));
    EXPECT_EQ(-1, f.seek(0, 3));
    EXPECT_EQ(BasicFile::ERROR_UNKNOWN_ORIGIN, f.errorCode());
    ASSERT_TRUE(f.seek(0, BasicFile::ORIGIN_START) == 0);
    EXPECT_EQ("new", f.readLine());
    ASSERT_TRUE(f.close());

    ASSERT_TRUE(f.open(dir.file("f"), BasicFile::MODE_WRITE));
    ASSERT_TRUE(f.write(std::string("a\0b", 3)));
    EXPECT_EQ("", f.readLine());
    EXPECT_EQ(BasicFile::ERROR_NOT_OPEN, f.errorCode());
    ASSERT_TRUE(f.flush());
    EXPECT_EQ(std::string("a\0b", 3), dir.read("f"));
    ASSERT_TRUE(f.close());
}

TEST(BasicFileTest, ReadOnlyRefusesWritesAndReadsBlocks)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("f", "abcdef"));
    BasicFile f;
    ASSERT_TRUE(f.open(dir.file("f"), BasicFile::MODE_READ));
    EXPECT_FALSE(f.write("x"));
    EXPECT_EQ(BasicFile::ERROR_WRITE, f.errorCode());
    char buffer[8];
    EXPECT_EQ(4u, f.read(buffer, 4));
    EXPECT_EQ("abcd", std::string(buffer, 4));
    EXPECT_FALSE(f.atEnd());
    EXPECT_EQ(2u, f.read(buffer, 8));
    EXPECT_TRUE(f.atEnd());
    EXPECT_EQ(BasicFile::ERROR_NONE, f.errorCode());
    EXPECT_EQ(0u, f.read(buffer, 8));
    EXPECT_EQ(BasicFile::ERROR_END_OF_FILE, f.errorCode());
    f.close();
    EXPECT_EQ("abcdef", dir.read("f"));
}
