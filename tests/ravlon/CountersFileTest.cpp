#include "ravlon/CountersFile.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "common/FileGZ.h"
#include "logger/LogIdentifiers.h"
#include "logger/LogSettings.h"
#include "logger/LoggerCentre.h"
#include "logger/LoggerUnit.h"
#include "ravlon/Counter.h"
#include "support/MemorySink.h"
#include "support/TempDir.h"

using namespace Telvar;

namespace {

class CountersFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        previousLevel_ = debugLevel();
        setDebugLevel(5);
        unit = SmartPointer<LoggerUnit>(new LoggerUnit(MemorySink::makeCentre(sink), MODULE_RAVLON));
        sink->clear();
    }
    void TearDown() override { setDebugLevel(previousLevel_); }

    bool setUp(const std::string& content, const std::string& name = "scheme.counters")
    {
        EXPECT_TRUE(dir.write(name, content));
        return CountersFile::setUpCounters(unit, dir.file(name), counters);
    }

    std::vector<std::string> paths() const
    {
        std::vector<std::string> out;
        for (const SmartPointer<Counter>& c : counters)
            out.push_back(c->object + "|" + c->counter + "|" + c->counterPath);
        return out;
    }

    // The lines of one severity or debug level, from the log id on.
    std::vector<std::string> linesOf(const std::string& kind) const
    {
        std::vector<std::string> out;
        for (const std::string& line : sink->lines()) {
            if (line.compare(0, kind.size(), kind) != 0)
                continue;
            size_t id = line.find(" (8.09");
            out.push_back(id == std::string::npos ? line : line.substr(id + 1));
        }
        return out;
    }

    std::vector<std::string> debugTexts(int level) const
    {
        std::vector<std::string> out;
        std::vector<std::string> lines = sink->lines();
        std::vector<std::string> texts = sink->texts();
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].compare(0, 7, "debug-" + std::to_string(level)) == 0)
                out.push_back(texts[i]);
        return out;
    }

    Testing::TempDir dir{"counters-file"};
    SmartPointer<MemorySink> sink;
    SmartPointer<LoggerUnit> unit;
    std::vector<SmartPointer<Counter>> counters;
    int32_t previousLevel_ = 5;
};

TEST_F(CountersFileTest, BlocksCommentsAndBlanks)
{
    const std::string text = "# processor and memory\r\n"
                             "\r\n"
                             "  Processor(_Total)\t\r\n"
                             "{\n"
                             "\t% Processor Time  \n"
                             "   # not a counter\n"
                             "% Idle Time\n"
                             "}\n"
                             "{\n"
                             "  anything in here\n"
                             "Memory\n"
                             "}\n"
                             "Process(svchost#1)\n"
                             " { \n"
                             "Handle Count\n"
                             "Handle Count\n"
                             "}\n";
    ASSERT_TRUE(setUp(text));
    EXPECT_EQ((std::vector<std::string>{
                  "Processor(_Total)|% Processor Time|\\Processor(_Total)\\% Processor Time",
                  "Processor(_Total)|% Idle Time|\\Processor(_Total)\\% Idle Time",
                  "Process(svchost#1)|Handle Count|\\Process(svchost#1)\\Handle Count",
                  "Process(svchost#1)|Handle Count|\\Process(svchost#1)\\Handle Count",
              }),
              paths());
    EXPECT_EQ((std::vector<std::string>{
                  "   Got counter \"\\Processor(_Total)\\% Processor Time\".",
                  "   Got counter \"\\Processor(_Total)\\% Idle Time\".",
                  "   Got counter \"\\Process(svchost#1)\\Handle Count\".",
                  "   Got counter \"\\Process(svchost#1)\\Handle Count\".",
              }),
              debugTexts(3));
    EXPECT_EQ(std::vector<std::string>{"Setting up counters..."}, debugTexts(2));
    EXPECT_TRUE(linesOf("FATAL").empty());
}

TEST_F(CountersFileTest, OnlyCommentsGiveAnEmptyList)
{
    EXPECT_TRUE(setUp("# nothing\n\n   \n\t# still nothing"));
    EXPECT_TRUE(counters.empty());
    EXPECT_TRUE(setUp(""));
    EXPECT_TRUE(counters.empty());
}

TEST_F(CountersFileTest, BraceOnTheObjectLineIsAnError)
{
    counters.push_back(SmartPointer<Counter>(new Counter("Kept", "One")));
    std::string path = dir.file("scheme.counters");
    EXPECT_FALSE(setUp("Processor(_Total)\n{\n% Processor Time\n}\nMemory {\nAvailable Bytes\n}\n"));
    // Nothing half-read is handed back.
    EXPECT_EQ(std::vector<std::string>{"Kept|One|\\Kept\\One"}, paths());
    std::vector<std::string> fatals = linesOf("FATAL");
    ASSERT_EQ(1u, fatals.size());
    EXPECT_EQ(0u, fatals[0].find("(8.09.13) "));
    EXPECT_EQ("Counters file " + path + " cannot be read or is malformed; the collector does not start.",
              sink->texts().back());
}

TEST_F(CountersFileTest, UnterminatedBlockKeepsWhatItListed)
{
    EXPECT_TRUE(setUp("Memory\n{\nAvailable Bytes\nPages/sec"));
    EXPECT_EQ((std::vector<std::string>{"Memory|Available Bytes|\\Memory\\Available Bytes",
                                        "Memory|Pages/sec|\\Memory\\Pages/sec"}),
              paths());
}

TEST_F(CountersFileTest, NationalCharactersMakeTheReadingFail)
{
    std::string path = dir.file("scheme.counters");
    EXPECT_FALSE(setUp("Memory\n{\nVerf\xfc" "gbare Bytes\n}\n"));
    EXPECT_TRUE(counters.empty());
    ASSERT_EQ(1u, linesOf("FATAL").size());
    EXPECT_EQ("Counters file " + path + " cannot be read or is malformed; the collector does not start.",
              sink->texts()[sink->texts().size() - 2]);
    std::vector<std::string> level1 = debugTexts(1);
    ASSERT_EQ(1u, level1.size());
    const std::string trace = " - Ravlon(514)";
    EXPECT_EQ(trace, level1[0].substr(level1[0].size() - trace.size())) << level1[0];
}

TEST_F(CountersFileTest, MissingFileIsFatal)
{
    std::string path = dir.file("absent.counters");
    EXPECT_FALSE(CountersFile::setUpCounters(unit, path, counters));
    ASSERT_EQ(1u, linesOf("FATAL").size());
    EXPECT_EQ(0u, linesOf("FATAL")[0].find("(8.09.03) "));
    EXPECT_EQ("Counters file " + path + " does not exist or cannot be opened; the collector does not start.",
              sink->texts().back());
}

TEST_F(CountersFileTest, GzipCompressedFileReadsTheSame)
{
    std::string path = dir.file("scheme.counters.gz");
    gzFile gz = gzopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, gz);
    const std::string text = "Memory\n{\nAvailable Bytes\n}\n";
    gzwrite(gz, text.data(), static_cast<unsigned>(text.size()));
    gzclose(gz);
    EXPECT_TRUE(CountersFile::setUpCounters(unit, path, counters));
    EXPECT_EQ(std::vector<std::string>{"Memory|Available Bytes|\\Memory\\Available Bytes"}, paths());
}

TEST_F(CountersFileTest, UnopenedFileIsRefused)
{
    EXPECT_FALSE(CountersFile::readCountersFile(unit, nullptr, counters));
    ASSERT_TRUE(dir.write("closed.counters", "Memory\n{\nAvailable Bytes\n}\n"));
    FileGZ closed(dir.file("closed.counters"));
    EXPECT_FALSE(CountersFile::readCountersFile(unit, &closed, counters));
    EXPECT_TRUE(counters.empty());
    std::vector<std::string> fatals = linesOf("FATAL");
    ASSERT_EQ(2u, fatals.size());
    EXPECT_EQ(0u, fatals[0].find("(8.09.27) "));
    EXPECT_EQ((std::vector<std::string>{"Counters file was not opened.", "Counters file was not opened."}),
              debugTexts(1));
    // Without a unit nothing is logged, and nothing breaks.
    EXPECT_FALSE(CountersFile::readCountersFile(SmartPointer<LoggerUnit>(), nullptr, counters));
}

// ravlonctl check-config points at lines with what the collector reads:
// numbers count every line, comments and blanks included.
TEST_F(CountersFileTest, ListingGivesLineNumbersAndWhereItStopped)
{
    ASSERT_TRUE(dir.write("lines.counters", "# c\n\nMemory\n{\n  Available Bytes\n\n}\n{\nskipped\n}\nCPU\n"));
    FileGZ file(dir.file("lines.counters"));
    file.open(FileBase::ACCESS_READ);
    std::vector<std::string> seen;
    CountersFile::Position at;
    auto take = [&](const CountersFile::Listed& l) {
        seen.push_back(std::to_string(l.line) + ":" + l.object + "|" + l.counter);
        return true;
    };
    EXPECT_EQ(CountersFile::Ending::OPEN_OBJECT, CountersFile::list(file, take, at));
    file.close();
    EXPECT_EQ(std::vector<std::string>{"5:Memory|Available Bytes"}, seen);
    EXPECT_EQ(11, at.line);
    EXPECT_EQ("CPU", at.object);

    ASSERT_TRUE(dir.write("bad.counters", "Memory\n{\nA\nB\n}\nDisk\nReads\n{\n"));
    FileGZ bad(dir.file("bad.counters"));
    bad.open(FileBase::ACCESS_READ);
    int taken = 0;
    auto stopAtSecond = [&](const CountersFile::Listed&) { return ++taken < 2; };
    EXPECT_EQ(CountersFile::Ending::STOPPED, CountersFile::list(bad, stopAtSecond, at));
    EXPECT_EQ(4, at.line);
    bad.close();
    bad.open(FileBase::ACCESS_READ);
    EXPECT_EQ(CountersFile::Ending::MISSING_BRACE, CountersFile::list(bad, take, at));
    bad.close();
    EXPECT_EQ(7, at.line);
    EXPECT_EQ("Disk", at.object);
    EXPECT_EQ("Reads", at.text);
}

} // namespace

// A counters file of gigabytes in a few kilobytes of gzip is refused at once.
TEST_F(CountersFileTest, CountersFileBeyondTheBoundIsRefused)
{
    const std::string path = dir.file("zeros.counters");
    gzFile gz = gzopen(path.c_str(), "wb9");
    ASSERT_NE(nullptr, gz);
    std::string chunk(1 << 20, '\0');
    for (int i = 0; i < 32; ++i)
        gzwrite(gz, chunk.data(), static_cast<unsigned>(chunk.size()));
    gzclose(gz);
    EXPECT_FALSE(CountersFile::setUpCounters(unit, path, counters));
    EXPECT_TRUE(counters.empty());
    bool explained = false;
    for (const std::string& text : debugTexts(1))
        explained = explained || text.find(path + ": more than 1048576 bytes uncompressed") != std::string::npos;
    EXPECT_TRUE(explained);
}
