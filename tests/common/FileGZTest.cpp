#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <zlib.h>

#include "common/Exception.h"
#include "common/FileGZ.h"
#include "common/FileOperations.h"
#include "support/AccessFlags.h"
#include "support/FileSizeLimit.h"
#include "support/TempDir.h"

using namespace Telvar;
using Telvar::Testing::TempDir;
using namespace Telvar::Testing::AccessFlags;
using Telvar::Testing::thrown;

namespace {

const std::string DATA = std::string(TEST_SOURCE_DIR) + "/data/files/";

std::string shellQuoted(const std::string& s) { return "'" + s + "'"; }

bool haveGzip() { return std::system("gzip --version >/dev/null 2>&1") == 0; }

// The system gzip's view of a file: its decompressed content.
std::string gunzip(TempDir& dir, const std::string& path)
{
    std::string out = dir.file("gunzip.out");
    if (std::system(("gzip -dc " + shellQuoted(path) + " > " + shellQuoted(out)).c_str()) != 0)
        return "<gzip -d failed>";
    return TempDir::readFile(out);
}

// Inflates exactly one gzip member; false when the data is not one whole
// member followed by nothing.
bool singleMember(const std::string& compressed, std::string& out)
{
    z_stream s{};
    if (inflateInit2(&s, 16 + MAX_WBITS) != Z_OK)
        return false;
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    s.avail_in = static_cast<uInt>(compressed.size());
    char buffer[4096];
    int rc;
    do {
        s.next_out = reinterpret_cast<Bytef*>(buffer);
        s.avail_out = sizeof buffer;
        rc = inflate(&s, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - s.avail_out);
    } while (rc == Z_OK);
    bool whole = rc == Z_STREAM_END && s.avail_in == 0;
    inflateEnd(&s);
    return whole;
}

std::string sampleText()
{
    std::string text;
    for (int i = 0; i < 5000; ++i)
        text += "line " + std::to_string(i * 7919 % 10007) + "\tvalue\n";
    return text;
}

} // namespace

TEST(FileGZTest, WrittenFilesAreReadByTheSystemGzip)
{
    if (!haveGzip())
        GTEST_SKIP() << "no gzip";
    TempDir dir;
    std::string text = sampleText();
    FileGZ f(dir.file("out.gz"));
    f.open(W);
    EXPECT_TRUE(f.write(text.substr(0, 1000)));
    f.writeLine("middle");
    EXPECT_TRUE(f.write(text.substr(1000)));
    EXPECT_EQ(int64_t(text.size() + 7), f.uncompressedLength());
    EXPECT_EQ(int64_t(text.size() + 7), f.tell());
    f.flush();
    f.close();
    EXPECT_EQ(text.substr(0, 1000) + "middle\n" + text.substr(1000), gunzip(dir, dir.file("out.gz")));
    EXPECT_LT(TempDir::readFile(dir.file("out.gz")).size(), text.size() / 2);
    EXPECT_EQ(0, std::system(("gzip -t " + shellQuoted(dir.file("out.gz"))).c_str()));
}

TEST(FileGZTest, FilesOfTheSystemGzipAreRead)
{
    if (!haveGzip())
        GTEST_SKIP() << "no gzip";
    TempDir dir;
    std::string text = sampleText();
    ASSERT_TRUE(dir.write("in", text));
    ASSERT_EQ(0, std::system(("gzip -9 " + shellQuoted(dir.file("in"))).c_str()));
    FileGZ f(dir.file("in.gz"));
    f.open(R);
    EXPECT_EQ(int64_t(text.size()), f.uncompressedLength());
    std::string all, line;
    while (!f.eof())
        all += f.readLine(line) + "\n";
    EXPECT_EQ(text, all);
    EXPECT_EQ(FileException::FL_EOF, thrown([&] { f.readLine(line); }).code());
    f.close();

    // The stored fixture, and its uncompressed twin read through the same class.
    for (const char* name : {"sample.txt.gz", "sample.txt"}) {
        FileGZ g(DATA + name);
        g.open(R);
        std::vector<std::string> lines;
        while (!g.eof())
            lines.push_back(g.readLine(line));
        g.close();
        EXPECT_EQ((std::vector<std::string>{"# counters of a scheme\r", "Processor\t% Processor Time", "",
                                            "Memory\tAvailable Bytes", "last line without end"}),
                  lines)
            << name;
    }
}

TEST(FileGZTest, AppendMakesOneStreamOfOldAndNew)
{
    if (!haveGzip())
        GTEST_SKIP() << "no gzip";
    TempDir dir;
    ASSERT_TRUE(dir.write("a", "old line\n"));
    ASSERT_EQ(0, std::system(("gzip " + shellQuoted(dir.file("a"))).c_str()));
    FileGZ f(dir.file("a.gz"));
    f.open(W | A);
    EXPECT_EQ(9, f.tell());
    EXPECT_FALSE(dir.exists("a.gz.tmp.orig.copy"));
    f.writeLine("new line");
    f.close();
    std::string content;
    EXPECT_TRUE(singleMember(dir.read("a.gz"), content));
    EXPECT_EQ("old line\nnew line\n", content);
    EXPECT_EQ(content, gunzip(dir, dir.file("a.gz")));

    // In place, and creating a missing file.
    FileGZ g(dir.file("b.gz"));
    g.open(W | U | A | C);
    g.write("first\n");
    g.close();
    g.open(U | A);
    g.write("second\n");
    g.close();
    content.clear();
    EXPECT_TRUE(singleMember(dir.read("b.gz"), content));
    EXPECT_EQ("first\nsecond\n", content);
    std::vector<std::string> names;
    for (const DirectoryEntry& e : listDirectory(dir.path(), "*"))
        names.push_back(e.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{".", "..", "a.gz", "b.gz", "gunzip.out"}), names);
}

TEST(FileGZTest, SafeUpdateCommitAndAbort)
{
    TempDir dir;
    FileGZ f(dir.file("s.gz"));
    f.open(W);
    f.write("one");
    f.close();
    std::string before = dir.read("s.gz");

    f.open(W | A);
    f.write("two");
    EXPECT_TRUE(dir.exists("s.gz.tmp"));
    EXPECT_TRUE(dir.exists("s.gz.lock"));
    EXPECT_EQ(before, dir.read("s.gz"));
    f.abort();
    EXPECT_EQ(before, dir.read("s.gz"));
    EXPECT_FALSE(dir.exists("s.gz.tmp"));
    EXPECT_FALSE(dir.exists("s.gz.lock"));

    FileGZ other(dir.file("s.gz"));
    f.open(W | A);
    EXPECT_EQ(FileException::FL_IS_LOCKED, thrown([&] { other.open(W); }).code());
    f.write("three");
    f.close();
    other.open(R);
    std::string text;
    EXPECT_FALSE(other.read(text, 100));
    EXPECT_EQ("onethree", text);
    other.close();

    FileGZ fresh(dir.file("fresh.gz"));
    fresh.open(W);
    fresh.write("x");
    fresh.abort();
    EXPECT_TRUE(listDirectory(dir.path(), "fresh*").empty());
}

TEST(FileGZTest, RefusedCombinationsAndMissingFiles)
{
    TempDir dir;
    FileGZ f(dir.file("x.gz"));
    FileException e = thrown([&] { f.open(R | W); });
    EXPECT_EQ(FileException::FL_ACCESS_COMB, e.code());
    EXPECT_EQ("Cannot open gzip file: " + dir.file("x.gz") + "\tfor both reading and writing.", e.message());
    e = thrown([&] { f.open(A | C); });
    EXPECT_EQ(FileException::FL_ACCESS_COMB, e.code());
    EXPECT_EQ("Only ACCESS_READ or ACCESS_WRITE or ACCESS_WRITE + ACCESS_UNSAFE allowed for gzip file: " +
                  dir.file("x.gz"),
              e.message());
    e = thrown([&] { f.open(R); });
    EXPECT_EQ(FileException::FL_EXISTS_NOT, e.code());
    EXPECT_EQ(dir.file("x.gz"), e.message());
    ASSERT_EQ(1u, e.trace().size());
    EXPECT_EQ("FileGZ", e.trace()[0].module);
    f.open(W | N);
    EXPECT_EQ(FileException::FL_IS_OPEN, thrown([&] { f.open(W); }).code());
    EXPECT_FALSE(dir.exists("x.gz.lock"));
    f.close();
}

TEST(FileGZTest, DamagedStreamIsAnError)
{
    TempDir dir;
    FileGZ f(dir.file("d.gz"));
    f.open(W);
    f.write(sampleText());
    f.close();
    std::string whole = dir.read("d.gz");
    ASSERT_TRUE(dir.write("d.gz", whole.substr(0, whole.size() / 2)));
    EXPECT_EQ(FileException::FL_ERROR, thrown([&] { f.open(R); }).code());
    EXPECT_FALSE(f.isOpen());

    // Appending to a damaged file keeps the damaged file as it was.
    EXPECT_EQ(FileException::FL_ERROR, thrown([&] { f.open(W | A); }).code());
    EXPECT_EQ(whole.substr(0, whole.size() / 2), dir.read("d.gz"));
    EXPECT_FALSE(dir.exists("d.gz.tmp"));
    EXPECT_FALSE(dir.exists("d.gz.tmp.orig.copy"));
    EXPECT_FALSE(dir.exists("d.gz.lock"));
}

TEST(FileGZTest, LinesAndEnd)
{
    TempDir dir;
    FileGZ f(dir.file("l.gz"));
    f.open(W | C);
    f.close();
    f.open(R);
    EXPECT_TRUE(f.eof());
    std::string line;
    EXPECT_EQ(FileException::FL_EOF, thrown([&] { f.readLine(line); }).code());
    char buffer[4];
    EXPECT_EQ(FileException::FL_EOF, thrown([&] { f.read(buffer, 3); }).code());
    f.close();

    f.open(W);
    f.writeLine("ok\tline\r");
    f.writeLine("bad \x80 byte");
    f.writeLine("bell\x07");
    f.writeLine("after");
    f.close();
    f.open(R);
    EXPECT_EQ("ok\tline\r", f.readLine(line));
    EXPECT_EQ(9, f.tell());
    FileException e = thrown([&] { f.readLine(line); });
    EXPECT_EQ(27, e.code());
    EXPECT_EQ(dir.file("l.gz"), e.message());
    EXPECT_EQ(27, thrown([&] { f.readLine(line); }).code());
    EXPECT_EQ("after", f.readLine(line));
    EXPECT_TRUE(f.eof());
    f.close();
}

TEST(FileGZTest, SeekingRules)
{
    TempDir dir;
    FileGZ f(dir.file("k.gz"));
    f.open(W);
    f.write("0123456789");
    EXPECT_EQ(10, f.seek(0, FileBase::SEEK_CURRENT));
    EXPECT_EQ(13, f.seek(3, FileBase::SEEK_CURRENT));   // forward: zeros
    FileException e = thrown([&] { f.seek(2, FileBase::SEEK_BEGIN); });
    EXPECT_EQ(FileException::FL_ERROR, e.code());
    EXPECT_EQ("FileGZ negative seek for FILE_WRITE.", e.message());
    f.write("x");
    f.close();

    f.open(R);
    EXPECT_EQ(14, f.uncompressedLength());
    EXPECT_EQ(4, f.seek(4, FileBase::SEEK_BEGIN));
    char buffer[8];
    EXPECT_EQ(3, f.read(buffer, 3));
    EXPECT_EQ(std::string("456"), buffer);
    EXPECT_EQ(5, f.seek(-2, FileBase::SEEK_CURRENT));
    e = thrown([&] { f.seek(-6, FileBase::SEEK_CURRENT); });
    EXPECT_EQ("FileGZ seek underflow.", e.message());
    EXPECT_EQ(FileException::FL_ERROR, e.code());
    e = thrown([&] { f.seek(15, FileBase::SEEK_END_OF_FILE); });
    EXPECT_EQ("FileGZ seek overflow.", e.message());
    EXPECT_EQ(10, f.seek(4, FileBase::SEEK_END_OF_FILE));
    std::string rest;
    EXPECT_FALSE(f.read(rest, 10));
    EXPECT_EQ(std::string("\0\0\0x", 4), rest);
    EXPECT_TRUE(f.eof());
    EXPECT_EQ(0, f.seek(0, FileBase::SEEK_BEGIN));
    EXPECT_FALSE(f.eof());
    EXPECT_TRUE(f.read(rest, 2));
    EXPECT_EQ("01", rest);
    f.close();
}

TEST(FileGZTest, WrongAccessAndClosedErrors)
{
    TempDir dir;
    FileGZ f(dir.file("w.gz"));
    std::string s;
    char buffer[4];
    EXPECT_EQ(FileException::FL_IS_CLOSED, thrown([&] { f.read(buffer, 1); }).code());
    EXPECT_EQ(FileException::FL_IS_CLOSED, thrown([&] { f.read(s, 1); }).code());
    EXPECT_EQ(FileException::FL_IS_CLOSED, thrown([&] { f.write("x"); }).code());
    EXPECT_EQ(FileException::FL_IS_CLOSED, thrown([&] { f.readLine(s); }).code());
    EXPECT_EQ(FileException::FL_IS_CLOSED, thrown([&] { f.seek(1, 0); }).code());
    EXPECT_EQ(FileException::FL_IS_CLOSED, thrown([&] { f.flush(); }).code());

    f.open(W);
    EXPECT_EQ(FileException::FL_READ, thrown([&] { f.read(buffer, 1); }).code());
    EXPECT_EQ(FileException::FL_CANNOT_READ, thrown([&] { f.readLine(s); }).code());
    EXPECT_EQ(0, f.write("", 0));
    f.write("abc");
    f.close();
    f.open(R);
    EXPECT_EQ(FileException::FL_CANNOT_WRITE, thrown([&] { f.write("x"); }).code());
    f.flush();
    EXPECT_EQ(3, f.read(buffer, 3));
    f.close();
}

TEST(FileGZTest, DestructionCommits)
{
    TempDir dir;
    {
        FileGZ f(dir.file("z.gz"));
        f.open(W);
        f.write("kept");
    }
    FileGZ r(dir.file("z.gz"));
    r.open(R);
    std::string s;
    EXPECT_TRUE(r.read(s, 4));
    EXPECT_EQ("kept", s);
    EXPECT_FALSE(dir.exists("z.gz.tmp"));
    EXPECT_FALSE(dir.exists("z.gz.lock"));
}

// Random bytes do not compress, so the stream reaches the disk while written.
TEST(FileGZTest, FailedWriteIsNeverCommitted)
{
    TempDir dir;
    {
        FileGZ f(dir.file("f.gz"));
        f.open(W);
        f.write(std::string("good\n"));
        f.close();
    }
    const std::string before = dir.read("f.gz");
    std::string noise(512 * 1024, '\0');
    uint32_t x = 12345;
    for (char& c : noise) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    for (bool destroyOnly : {false, true}) {
        {
            FileGZ f(dir.file("f.gz"));
            f.open(W);
            Testing::FileSizeLimit full(64 * 1024);
            EXPECT_EQ(FileException::FL_WRITE, thrown([&] { f.write(noise); }).code());
            if (!destroyOnly) {
                EXPECT_EQ(FileException::FL_WRITE, thrown([&] { f.close(); }).code());
            }
        }
        EXPECT_EQ(before, dir.read("f.gz"));
        EXPECT_FALSE(dir.exists("f.gz.tmp"));
        EXPECT_FALSE(dir.exists("f.gz.lock"));
    }
    FileGZ f(dir.file("f.gz"));
    f.open(W | A);
    EXPECT_EQ(FileException::FL_ERROR, thrown([&] { f.truncate(0); }).code());
    f.abort();
}
