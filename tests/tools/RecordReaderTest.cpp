#include <gtest/gtest.h>

#include <zlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "RecordReader.h"
#include "agent/Agent.h"
#include "ravlon/Sampling.h"
#include "support/TempDir.h"
#include "support/VirtualTime.h"

using Telvar::Ctl::Record;
using Telvar::Ctl::RecordProblem;
using Telvar::Ctl::RecordReader;
using Telvar::Testing::TempDir;

namespace {

const std::string PADS = ": : : : : : : : : : ";

std::string classification(long time, const std::string& primeClass = "prime")
{
    return "30:" + std::to_string(time) + ":??:0:WS01:0:x64:0:lab:0:Windows 10:0:" + primeClass + PADS + "\n";
}

class TestAgent : public Telvar::Agent {
public:
    void run() override {}
    bool configureCollector() override { return true; }
};

std::vector<std::string> texts(const std::vector<RecordProblem>& problems)
{
    std::vector<std::string> out;
    for (const RecordProblem& p : problems)
        out.push_back(p.text());
    return out;
}

} // namespace

TEST(RecordReaderTest, SchemeComesFromTheDataFileName)
{
    struct Case {
        const char* name;
        const char* scheme;
    } cases[] = {
        {"cpuLog-1765170000-4242-1.data", "cpu"},
        {"/var/work/cpuLog-1765170000-4242-12.make", "cpu"},
        {"C:\\work\\RavlonLog-1-2-3.make.tmp", "Ravlon"},
        {"cpuLog-1-2-3.data.gz", "cpu"},
        // Delivered at the start after a crash: recovery time and process added.
        {"RavlonLog-1796759599-15741-1-1796759744-28372.data", "Ravlon"},
        // The base of the writer's names ends in "Log"; anything else is not one of its files.
        {"cpu-1-2-3.data", ""},
        {"Log-1-2-3.data", ""},
        {"cpuLog-1-2.data", ""},
        {"cpuLog-1-x-3.data", ""},
        {"cpuLog-1-2-3-4.data", ""},
        {"cpuLog-1-2-3.txt", ""},
        {"cpuLog-1-2-3.make.orig.copy", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.scheme, RecordReader::schemeOfFileName(c.name)) << c.name;
}

TEST(RecordReaderTest, NumbersAreTheCollectorsDecimalTexts)
{
    for (const char* good : {"0", "12.5", "-3", "4096", "1e9", "2.5E-3", "007"})
        EXPECT_TRUE(RecordReader::isNumber(good)) << good;
    // strtod would take most of these; a record must not.
    for (const char* bad : {"", " ", "1.", ".5", "-", "nan", "inf", "0x10", "1e", "1,5", "12 ", "+1"})
        EXPECT_FALSE(RecordReader::isNumber(bad)) << bad;
}

TEST(RecordReaderTest, RecordPairsTheLinesAndKeepsEmptyColumnsEmpty)
{
    RecordReader reader;
    reader.parse("f", classification(1765170000, "non-prime") + "1:12.5: :4096\n" + classification(1765170030) +
                          "1\n");
    ASSERT_TRUE(reader.problems().empty()) << texts(reader.problems())[0];
    ASSERT_EQ(2u, reader.records().size());
    const Record& r = reader.records()[0];
    EXPECT_EQ(1, static_cast<int>(r.line));
    EXPECT_EQ(1765170000, r.time);
    EXPECT_EQ("??", r.code);
    EXPECT_EQ("WS01", r.computer);
    EXPECT_EQ("x64", r.architecture);
    EXPECT_EQ("lab", r.domain);
    EXPECT_EQ("Windows 10", r.os);
    EXPECT_EQ("non-prime", r.primeClass);
    EXPECT_EQ((std::vector<std::string>{"12.5", "", "4096"}), r.values);
    // A scheme without counters writes "1" alone.
    EXPECT_TRUE(reader.records()[1].values.empty());
    EXPECT_EQ(3, static_cast<int>(reader.records()[1].line));
}

TEST(RecordReaderTest, LinesEndedWithCarriageReturnsAreRead)
{
    RecordReader reader;
    std::string c = classification(10);
    c.insert(c.size() - 1, "\r");
    reader.parse("f", c + "1:1: \r\n");
    EXPECT_TRUE(reader.problems().empty());
    ASSERT_EQ(1u, reader.records().size());
    EXPECT_EQ((std::vector<std::string>{"1", ""}), reader.records()[0].values);
}

TEST(RecordReaderTest, EveryBrokenLineIsReportedAndReadingGoesOn)
{
    const std::string good = classification(100) + "1:1:2\n";
    std::string noPads = "30:5:??:0:WS01:0:x64:0:lab:0:Windows 10:0:prime\n";
    std::string badZero = "30:5:??:1:WS01:0:x64:0:lab:0:Windows 10:0:prime" + PADS + "\n";
    std::string badClass = "30:5:??:0:WS01:0:x64:0:lab:0:Windows 10:0:peak" + PADS + "\n";
    std::string badTime = "30:-5:??:0:WS01:0:x64:0:lab:0:Windows 10:0:prime" + PADS + "\n";
    std::string lateTime = "30:2147483648:??:0:WS01:0:x64:0:lab:0:Windows 10:0:prime" + PADS + "\n";
    RecordReader reader;
    reader.parse("f", good +                                   // 1-2
                          noPads +                             // 3
                          badZero +                            // 4
                          badClass +                           // 5
                          badTime +                            // 6
                          lateTime +                           // 7
                          "1:1:2\n" +                          // 8: no classification
                          classification(200) + "1:1:abc\n" +  // 9-10
                          classification(300) +                // 11: its measurement never comes
                          "\n" +                               // 12
                          classification(400) +                // 13
                          classification(500) + "1:7:8\n" +    // 14-15
                          "garbage\n" + good);                 // 16, 17-18
    EXPECT_EQ((std::vector<std::string>{
                  "f:3: classification line with 13 fields, 23 expected",
                  "f:4: field 4 is \"1\", \"0\" expected",
                  "f:5: unknown prime-time class \"peak\"",
                  "f:6: bad record time \"-5\"",
                  "f:7: bad record time \"2147483648\"",
                  "f:8: measurement line without a classification line before it",
                  "f:10: column 2: bad number \"abc\"",
                  "f:11: classification line without its measurement line",
                  "f:12: empty line",
                  "f:13: classification line without its measurement line",
                  "f:16: not a record line: \"garbage\"",
              }),
              texts(reader.problems()));
    ASSERT_EQ(3u, reader.records().size());
    EXPECT_EQ(100, reader.records()[0].time);
    EXPECT_EQ(500, reader.records()[1].time);
    EXPECT_EQ(100, reader.records()[2].time);
}

TEST(RecordReaderTest, AWriteCutShortIsNotTakenAsARecord)
{
    // "1:12.5:40" could be the start of "1:12.5:4096": without its line end
    // the line cannot be trusted.
    RecordReader reader;
    reader.parse("f", classification(100) + "1:12.5:40");
    EXPECT_EQ((std::vector<std::string>{"f:2: the file ends inside this line (no line end): \"1:12.5:40\"",
                                        "f:1: classification line without its measurement line"}),
              texts(reader.problems()));
    EXPECT_TRUE(reader.records().empty());
}

TEST(RecordReaderTest, OverlongLineIsSkippedAndItsNeighboursRead)
{
    RecordReader reader;
    std::string huge = "1:" + std::string(RecordReader::MAX_LINE, '1') + "\n";
    reader.parse("f", classification(100) + huge + classification(200) + "1:3\n");
    EXPECT_EQ((std::vector<std::string>{"f:2: line longer than 65536 bytes",
                                        "f:1: classification line without its measurement line"}),
              texts(reader.problems()));
    ASSERT_EQ(1u, reader.records().size());
    EXPECT_EQ(200, reader.records()[0].time);
}

TEST(RecordReaderTest, ForeignBytesInAReportAreEscaped)
{
    RecordReader reader;
    reader.parse("f", std::string("x\x1b\xe9\"\n"));
    EXPECT_EQ((std::vector<std::string>{"f:1: not a record line: \"x\\x1b\\xe9\\x22\""}), texts(reader.problems()));
}

TEST(RecordReaderTest, GzipFileReadsAsItsPlainText)
{
    TempDir dir;
    const std::string content = classification(100) + "1:1: \n" + classification(130, "undef") + "1:2:3\n";
    ASSERT_TRUE(dir.write("cpuLog-1-2-1.data", content));
    gzFile gz = gzopen(dir.file("cpuLog-1-2-2.data.gz").c_str(), "wb");
    ASSERT_NE(nullptr, gz);
    ASSERT_EQ(static_cast<int>(content.size()), gzwrite(gz, content.data(), static_cast<unsigned>(content.size())));
    ASSERT_EQ(Z_OK, gzclose(gz));

    RecordReader plain, packed;
    EXPECT_TRUE(plain.readFile(dir.file("cpuLog-1-2-1.data")));
    EXPECT_TRUE(packed.readFile(dir.file("cpuLog-1-2-2.data.gz")));
    EXPECT_TRUE(packed.problems().empty());
    ASSERT_EQ(2u, packed.records().size());
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(plain.records()[i].time, packed.records()[i].time);
        EXPECT_EQ(plain.records()[i].values, packed.records()[i].values);
    }
    EXPECT_EQ("undef", packed.records()[1].primeClass);
}

TEST(RecordReaderTest, FilesPastTheBoundAreRefusedUnread)
{
    TempDir dir;
    // Sparse: large on paper, cheap on disk.
    ASSERT_TRUE(dir.write("big.data", classification(1) + "1:1\n"));
    std::filesystem::resize_file(dir.file("big.data"), RecordReader::MAX_FILE + 1);
    // Small on disk, large once unpacked.
    gzFile gz = gzopen(dir.file("bomb.data.gz").c_str(), "wb9");
    ASSERT_NE(nullptr, gz);
    std::string zeros(1024 * 1024, '0');
    for (int i = 0; i <= RecordReader::MAX_FILE / static_cast<int64_t>(zeros.size()); ++i)
        ASSERT_EQ(static_cast<int>(zeros.size()), gzwrite(gz, zeros.data(), static_cast<unsigned>(zeros.size())));
    ASSERT_EQ(Z_OK, gzclose(gz));

    RecordReader reader;
    EXPECT_FALSE(reader.readFile(dir.file("big.data")));
    EXPECT_FALSE(reader.readFile(dir.file("bomb.data.gz")));
    EXPECT_FALSE(reader.readFile(dir.file("missing.data")));
    EXPECT_FALSE(reader.readFile(dir.path()));
    EXPECT_EQ((std::vector<std::string>{
                  dir.file("big.data") + ": larger than 67108864 bytes; not read",
                  dir.file("bomb.data.gz") + ": more than 67108864 bytes uncompressed; not read",
                  dir.file("missing.data") + ": cannot be read: no such file",
                  dir.path() + ": is a directory",
              }),
              texts(reader.problems()));
    EXPECT_TRUE(reader.records().empty());
}

// The reader follows the collector's own writer, not a copy of its layout.
TEST(RecordReaderTest, ReadsTheClassificationTheCollectorWrites)
{
    TestAgent agent;
    agent.facts() = Telvar::AgentFacts([](std::string& domain, std::string& computer, std::string& arch,
                                          std::string& os) {
        domain = "lab.example";
        computer = "WS-LAB07";
        arch = "x64";
        os = "Windows 10";
    });
    agent.facts().gatherHostFacts();
    Telvar::Sampling::resetState();
    Telvar::Sampling::setAgent(&agent);
    std::string text;
    {
        Telvar::Test::VirtualTime clock(1765170030);
        Telvar::Sampling::writeClassification(text, "Ravlon", {});
    }
    Telvar::Sampling::resetState();
    text += "1:12.5: :4096\n";

    RecordReader reader;
    reader.parse("f", text);
    EXPECT_TRUE(reader.problems().empty()) << texts(reader.problems())[0];
    ASSERT_EQ(1u, reader.records().size());
    const Record& r = reader.records()[0];
    EXPECT_EQ(1765170030, r.time);
    EXPECT_EQ("36", r.code);
    EXPECT_EQ("WS-LAB07", r.computer);
    EXPECT_EQ("x64", r.architecture);
    EXPECT_EQ("lab.example", r.domain);
    EXPECT_EQ("Windows 10", r.os);
    EXPECT_EQ("undef", r.primeClass);
    EXPECT_EQ((std::vector<std::string>{"12.5", "", "4096"}), r.values);
}
