#include "common/ConfReader.h"
#include "common/Exception.h"
#include "platform/PathSeparator.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

using namespace Telvar;
namespace fs = std::filesystem;

namespace {

const std::string SEP(1, Platform::PATH_SEPARATOR);

struct Logged {
    std::vector<std::pair<int32_t, std::string>> debug;
    std::vector<std::pair<int32_t, std::vector<std::string>>> messages;

    bool hasDebug(int32_t level, const std::string& text) const
    {
        for (const auto& d : debug)
            if (d.first == level && d.second == text)
                return true;
        return false;
    }
};

class ConfReaderTest : public ::testing::Test {
protected:
    ConfReaderTest()
    {
        ConfReader::LogSink sink;
        sink.debug = [this](int32_t level, const std::string& text) { log.debug.emplace_back(level, text); };
        sink.message = [this](int32_t severity, int32_t id, const std::vector<std::string>& params) {
            EXPECT_EQ(ConfReader::SEVERITY_ERROR, severity);
            log.messages.emplace_back(id, params);
        };
        reader.reset(new ConfReader(sink));
        dir = fs::temp_directory_path() / ("confreader-" + std::to_string(std::random_device()()));
        fs::create_directories(dir);
    }
    ~ConfReaderTest() override
    {
        reader.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    void load(const std::string& text)
    {
        reader->readText(text, "test.conf");
        ASSERT_EQ(ConfReader::LoadStatus::LOAD_OK, reader->lastLoad().kind) << reader->lastLoad().errorText;
    }

    std::string writeFile(const std::string& name, const std::string& text)
    {
        std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    Logged log;
    std::unique_ptr<ConfReader> reader;
    fs::path dir;
};

const char* const SAMPLE = "ravlon() = \"\" {\n"
                           "  name(String) = \"  Local Host \" {}\n"
                           "  flag(Bool) = TrUe {}\n"
                           "  off(Bool) = FALSE {}\n"
                           "  maybe(Bool) = yes {}\n"
                           "  count(Integer) = 12abc {}\n"
                           "  word(Integer) = abc {}\n"
                           "  negative(Integer) = \" -7x\" {}\n"
                           "  data(DirName) = \"C:/data//in\" {}\n"
                           "  empty(DirName) = \"\" {}\n"
                           "  blank(DirName) = \" \t \" {}\n"
                           "  padded(DirName) = \" C:/data \" {}\n"
                           "  tmp(DirName) = \"C:\\\\tmp\" {}\n"
                           "  under(String) = \"${ravlon.tmp}rest\" {}\n"
                           "  twice(String) = \"${ravlon.under}+${ravlon.name}\" {}\n"
                           "  open(String) = \"a${ravlon.name\" {}\n"
                           "  missing(String) = \"${ravlon.nothing}\" {}\n"
                           "  container(String) = \"${ravlon}\" {}\n"
                           "  log(FileName) = \"logs//ravlon.log\" {}\n"
                           "  dirlike(FileName) = \"logs/\" {}\n"
                           "  wild(FileName) = \"*.log\" {}\n"
                           "  spaced(FileName) = \"logs/ \" {}\n"
                           "  interval(TimeSpan) = P1DT2H3M4S {}\n"
                           "  badspan(TimeSpan) = 5M {}\n"
                           "  schemes() = \"\" { one() = \"\" {} two() = \"\" {} three() = \"\" {} }\n"
                           "}\n"
                           "ravlon() = \"\" { name(String) = second {} }\n";

} // namespace

TEST_F(ConfReaderTest, WithoutATreeEveryGetterFindsNothing)
{
    std::string s = "unchanged";
    bool b = true;
    int32_t i = 42;
    TimeSpanParts t;
    t.days = 9;
    std::vector<std::string> list;
    EXPECT_EQ(2, reader->getString("a.b", s));
    EXPECT_EQ(2, reader->getBool("a.b", b));
    EXPECT_EQ(2, reader->getInteger("a.b", i));
    EXPECT_EQ(2, reader->getDirName("a.b", s));
    EXPECT_EQ(2, reader->getFileName("a.b", s));
    EXPECT_EQ(2, reader->getTimeSpan("a.b", t));
    EXPECT_EQ(2, reader->getSubObjects("a.b", list));
    EXPECT_EQ("unchanged", s);
    EXPECT_TRUE(b);
    EXPECT_EQ(42, i);
    EXPECT_EQ(9, t.days);
    EXPECT_TRUE(log.hasDebug(5, "ConfReader: Not found."));
    EXPECT_TRUE(log.hasDebug(5, "ConfReader: Getting String a.b..."));
    EXPECT_TRUE(log.hasDebug(5, "ConfReader: None found."));
    EXPECT_EQ(nullptr, reader->findNode("a"));
}

TEST_F(ConfReaderTest, GettersWithoutReaderReturnSeven)
{
    std::string s;
    bool b;
    int32_t i;
    TimeSpanParts t;
    std::vector<std::string> list;
    EXPECT_EQ(7, ConfReader::getString(nullptr, "a", s));
    EXPECT_EQ(7, ConfReader::getBool(nullptr, "a", b));
    EXPECT_EQ(7, ConfReader::getInteger(nullptr, "a", i));
    EXPECT_EQ(7, ConfReader::getDirName(nullptr, "a", s));
    EXPECT_EQ(7, ConfReader::getFileName(nullptr, "a", s));
    EXPECT_EQ(7, ConfReader::getTimeSpan(nullptr, "a", t));
    EXPECT_EQ(7, ConfReader::getSubObjects(nullptr, "a", list));
    load(SAMPLE);
    EXPECT_EQ(0, ConfReader::getString(reader.get(), "ravlon.name", s, true));
    EXPECT_EQ("Local Host", s);
}

TEST_F(ConfReaderTest, StringsBoolsAndIntegers)
{
    load(SAMPLE);
    std::string s;
    EXPECT_EQ(0, reader->getString("ravlon.name", s));
    EXPECT_EQ("  Local Host ", s);
    EXPECT_EQ(0, reader->getString("ravlon.name", s, true, true));
    EXPECT_EQ("local host", s);
    // The first entry of a name wins, also when a later one would match.
    EXPECT_EQ(0, reader->getString("ravlon.name.", s, true));
    EXPECT_EQ("Local Host", s);

    bool b = false;
    EXPECT_EQ(0, reader->getBool("ravlon.flag", b));
    EXPECT_TRUE(b);
    EXPECT_EQ(0, reader->getBool("ravlon.off", b));
    EXPECT_FALSE(b);
    b = true;
    EXPECT_EQ(4, reader->getBool("ravlon.maybe", b));
    EXPECT_TRUE(b);

    int32_t i = 1;
    EXPECT_EQ(0, reader->getInteger("ravlon.count", i));
    EXPECT_EQ(12, i);
    EXPECT_EQ(0, reader->getInteger("ravlon.word", i));
    EXPECT_EQ(0, i);
    EXPECT_EQ(0, reader->getInteger("ravlon.negative", i));
    EXPECT_EQ(-7, i);
    EXPECT_EQ(2147483647, ConfReader::leadingInteger("99999999999999999999"));
    EXPECT_EQ(-2147483647 - 1, ConfReader::leadingInteger("-99999999999999999999"));
}

TEST_F(ConfReaderTest, ContainersAndWrongTypes)
{
    load(SAMPLE);
    std::string s = "unchanged";
    EXPECT_EQ(1, reader->getString("ravlon.schemes", s));
    EXPECT_TRUE(log.hasDebug(5, "ConfReader: Found, but has no value."));
    int32_t i = 5;
    EXPECT_EQ(3, reader->getInteger("ravlon.name", i));
    EXPECT_TRUE(log.hasDebug(1, "ConfReader: Found, but type is \"String\", not \"Integer\"."));
    EXPECT_EQ(3, reader->getString("ravlon.data", s));
    EXPECT_EQ("unchanged", s);
    EXPECT_EQ(5, i);
}

TEST_F(ConfReaderTest, DirAndFileNamesAreNormalised)
{
    load(SAMPLE);
    std::string s;
    EXPECT_EQ(0, reader->getDirName("ravlon.data", s));
    EXPECT_EQ("C:" + SEP + "data" + SEP + "in" + SEP, s);
    EXPECT_EQ(0, reader->getDirName("ravlon.empty", s));
    EXPECT_EQ("", s);
    // Blank is empty, not the root directory; padding stays off the name.
    EXPECT_EQ(0, reader->getDirName("ravlon.blank", s));
    EXPECT_EQ("", s);
    EXPECT_EQ(0, reader->getDirName("ravlon.padded", s));
    EXPECT_EQ("C:" + SEP + "data" + SEP, s);
    EXPECT_EQ(0, reader->getFileName("ravlon.log", s));
    EXPECT_EQ("logs" + SEP + "ravlon.log", s);
    s = "unchanged";
    EXPECT_EQ(5, reader->getFileName("ravlon.dirlike", s));
    EXPECT_EQ(5, reader->getFileName("ravlon.wild", s));
    EXPECT_EQ(5, reader->getFileName("ravlon.spaced", s));
    EXPECT_EQ("unchanged", s);
}

TEST_F(ConfReaderTest, ReferencesAreResolved)
{
    load(SAMPLE);
    std::string s;
    // A referenced DirName brings its separator along.
    EXPECT_EQ(0, reader->getString("ravlon.under", s));
    EXPECT_EQ("C:\\tmp" + SEP + "rest", s);
    EXPECT_TRUE(log.hasDebug(5, "ConfReader: Reference \"ravlon.tmp\" = \"C:\\tmp" + SEP + "\"."));
    // References brought in by a replacement are resolved too.
    EXPECT_EQ(0, reader->getString("ravlon.twice", s));
    EXPECT_EQ("C:\\tmp" + SEP + "rest+  Local Host ", s);

    s = "unchanged";
    EXPECT_EQ(6, reader->getString("ravlon.open", s));
    ASSERT_EQ(1u, log.messages.size());
    EXPECT_EQ(ConfReader::MSG_UNTERMINATED_REFERENCE, log.messages[0].first);
    EXPECT_EQ(std::vector<std::string>{"ravlon.open"}, log.messages[0].second);
    EXPECT_EQ(2, reader->getString("ravlon.missing", s));
    EXPECT_TRUE(log.hasDebug(5, "ConfReader: Found, but reference inside value was not."));
    EXPECT_EQ(1, reader->getString("ravlon.container", s));
    EXPECT_TRUE(log.hasDebug(5, "ConfReader: Found, but reference inside value didn't have a value."));
    EXPECT_EQ("unchanged", s);
}

TEST_F(ConfReaderTest, ReferenceCyclesEndWithAnError)
{
    load("self(String) = \"x${self}\" {}\n"
         "a(String) = \"${b}\" {}\n"
         "b(String) = \"${a}\" {}\n"
         "deep(String) = \"${l1}\" {}\n"
         "l1(String) = \"${l2}${l2}\" {}\n"
         "l2(String) = \"end\" {}\n");
    std::string s = "unchanged";
    EXPECT_EQ(6, reader->getString("self", s));
    EXPECT_EQ(6, reader->getString("a", s));
    EXPECT_EQ("unchanged", s);
    EXPECT_TRUE(log.hasDebug(1, "ConfReader: Too many references inside value of \"a\"."));
    EXPECT_EQ(0, reader->getString("deep", s));
    EXPECT_EQ("endend", s);
}

TEST_F(ConfReaderTest, TimeSpans)
{
    load(SAMPLE);
    TimeSpanParts t;
    EXPECT_EQ(0, reader->getTimeSpan("ravlon.interval", t));
    EXPECT_EQ(1, t.days);
    EXPECT_EQ(2, t.hours);
    EXPECT_EQ(3, t.minutes);
    EXPECT_EQ(4, t.seconds);
    TimeSpanParts before = t;
    EXPECT_EQ(5, reader->getTimeSpan("ravlon.badspan", t));
    EXPECT_EQ(before, t);
}

TEST_F(ConfReaderTest, SubObjectsAreAppendedInFileOrder)
{
    load(SAMPLE);
    std::vector<std::string> list{"kept"};
    EXPECT_EQ(0, reader->getSubObjects("ravlon.schemes", list));
    EXPECT_EQ((std::vector<std::string>{"kept", "one", "two", "three"}), list);
    EXPECT_TRUE(log.hasDebug(5, "ConfReader: Found 4 sub-objects."));
    std::vector<std::string> none;
    EXPECT_EQ(0, reader->getSubObjects("ravlon.schemes.one", none));
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(2, reader->getSubObjects("ravlon.nothing", none));
}

TEST_F(ConfReaderTest, ReadFileSyntaxErrorKeepsClosedEntries)
{
    std::string path = writeFile("bad.conf", "a(String) = one {}\n"
                                             "b(Integer) = 2 {}\n"
                                             "c(String) = three four {}\n"
                                             "d(String) = five {}\n");
    reader->readFile(path);
    ConfReader::LoadStatus st = reader->lastLoad();
    EXPECT_EQ(ConfReader::LoadStatus::LOAD_SYNTAX, st.kind);
    EXPECT_EQ(3, st.line);
    EXPECT_EQ("ConfReader: Missing '{'.", st.errorText);
    ASSERT_EQ(1u, log.messages.size());
    EXPECT_EQ(ConfReader::MSG_SYNTAX, log.messages[0].first);
    ASSERT_EQ(2u, log.messages[0].second.size());
    EXPECT_EQ(path, log.messages[0].second[0]);
    EXPECT_TRUE(log.hasDebug(1, "ConfReader: " + log.messages[0].second[1] + ", line 3."));
    EXPECT_TRUE(log.hasDebug(2, "ConfReader: Building DOM tree from file \"" + path + "\"..."));
    EXPECT_FALSE(log.hasDebug(2, "ConfReader: DOM tree built."));
    std::string s;
    int32_t i = 0;
    EXPECT_EQ(0, reader->getString("a", s));
    EXPECT_EQ("one", s);
    EXPECT_EQ(0, reader->getInteger("b", i));
    EXPECT_EQ(2, i);
    EXPECT_EQ(2, reader->getString("c", s));
    EXPECT_EQ(2, reader->getString("d", s));
}

TEST_F(ConfReaderTest, UnreadableFileKeepsTheEarlierTree)
{
    reader->readFile(writeFile("good.conf", "a(String) = one {}\n"));
    EXPECT_TRUE(log.hasDebug(2, "ConfReader: DOM tree built."));
    std::string missing = (dir / "missing.conf").string();
    reader->readFile(missing);
    EXPECT_EQ(ConfReader::LoadStatus::LOAD_UNREADABLE, reader->lastLoad().kind);
    ASSERT_EQ(1u, log.messages.size());
    EXPECT_EQ(ConfReader::MSG_CANNOT_READ, log.messages[0].first);
    ASSERT_EQ(2u, log.messages[0].second.size());
    EXPECT_EQ(missing, log.messages[0].second[0]);
    EXPECT_EQ(0u, log.messages[0].second[1].rfind(missing + ": No such file (File: ", 0)) << log.messages[0].second[1];
    std::string s;
    EXPECT_EQ(0, reader->getString("a", s));
    EXPECT_EQ("one", s);

    // A directory opens but cannot be read.
    reader->readFile(dir.string());
    EXPECT_EQ(ConfReader::LoadStatus::LOAD_UNREADABLE, reader->lastLoad().kind);
    EXPECT_EQ(0, reader->getString("a", s));
}

TEST_F(ConfReaderTest, GzipFilesAreReadWhole)
{
    // Far larger than its compressed size, so reading only the size on disk
    // would cut it short.
    std::string text;
    for (int i = 0; i < 2000; ++i)
        text += "e" + std::to_string(i) + "(Integer) = " + std::to_string(i) + " {}\n";
    std::string path = (dir / "big.conf.gz").string();
    gzFile gz = gzopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, gz);
    ASSERT_EQ(static_cast<int>(text.size()), gzwrite(gz, text.data(), static_cast<unsigned>(text.size())));
    ASSERT_EQ(Z_OK, gzclose(gz));
    ASSERT_LT(fs::file_size(path), text.size() / 4);
    reader->readFile(path);
    EXPECT_EQ(ConfReader::LoadStatus::LOAD_OK, reader->lastLoad().kind);
    int32_t i = 0;
    EXPECT_EQ(0, reader->getInteger("e1999", i));
    EXPECT_EQ(1999, i);
}

TEST_F(ConfReaderTest, ReloadWhileAnotherThreadReads)
{
    std::string first = writeFile("one.conf", "x() = \"\" { v(String) = one {} }\n");
    std::string second = writeFile("two.conf", "x() = \"\" { v(String) = two {} w(String) = \"${x.v}!\" {} }\n");
    // No sink: the log vectors are not shared between threads.
    ConfReader quiet;
    quiet.readFile(first);
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread lookups([&] {
        int n = 0;
        while (!stop.load() || n < 1000) {
            std::string s;
            if (quiet.getString("x.v", s) != 0 || (s != "one" && s != "two"))
                ++bad;
            std::shared_ptr<const DOMNode> node = quiet.findNode("x");
            if (node == nullptr || node->firstChild() == nullptr)
                ++bad;
            ++n;
        }
    });
    for (int i = 0; i < 300; ++i)
        quiet.readFile(i % 2 == 0 ? second : first);
    stop = true;
    lookups.join();
    EXPECT_EQ(0, bad.load());
}

namespace {

// A gzip file whose content is bytes zeros: tiny on disk, huge unpacked.
void writeZeros(const std::string& path, size_t bytes)
{
    gzFile gz = gzopen(path.c_str(), "wb9");
    ASSERT_NE(nullptr, gz);
    std::string chunk(1 << 20, '\0');
    for (size_t done = 0; done < bytes; done += chunk.size())
        gzwrite(gz, chunk.data(), static_cast<unsigned>(chunk.size()));
    gzclose(gz);
}

} // namespace

// Thirty-two megabytes of zeros in a few kilobytes must be refused, not
// unpacked into memory.
TEST_F(ConfReaderTest, ConfigurationBeyondTheBoundIsRefused)
{
    std::string path = (dir / "zeros.conf").string();
    writeZeros(path, 32u << 20);
    reader->readFile(path);
    ConfReader::LoadStatus status = reader->lastLoad();
    EXPECT_EQ(ConfReader::LoadStatus::LOAD_UNREADABLE, status.kind);
    EXPECT_NE(std::string::npos, status.errorText.find(path + ": more than 1048576 bytes uncompressed"))
        << status.errorText.substr(0, 200);
}

// One value referenced again and again may not grow without end.
TEST_F(ConfReaderTest, ValueBeyondTheBoundAfterReferencesIsRefused)
{
    std::string big(200 * 1024, 'v');
    std::string text = "a() = \"\" { big(String) = \"" + big + "\" {}\n  ten(String) = \"";
    for (int i = 0; i < 10; ++i)
        text += "${a.big}";
    text += "\" {}\n  five(String) = \"${a.big}${a.big}${a.big}${a.big}${a.big}\" {} }\n";
    load(text);
    std::string s;
    EXPECT_EQ(ConfReader::CONF_BAD_REFERENCE, reader->getString("a.ten", s));
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(ConfReader::CONF_OK, reader->getString("a.five", s));
    EXPECT_EQ(5 * big.size(), s.size());
}
