#include "support/ConfCtlRun.h"

#include "SvgChart.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>

using ConfCtl::ravlonctl;
using ConfCtl::shellQuoted;
using Telvar::Ctl::SvgChart;
using Telvar::Testing::TempDir;

namespace {

std::string rec(const std::string& name) { return std::string(TEST_SOURCE_DIR) + "/data/records/" + name; }

size_t countOf(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

bool haveXmllint() { return std::system("command -v xmllint >/dev/null 2>&1") == 0; }

// xmllint's verdict on the file: 0 when it is well-formed XML.
int xmllint(const std::string& path)
{
    return std::system(("xmllint --noout " + shellQuoted(path) + " 2>/dev/null").c_str());
}

SvgChart::Point at(int64_t time, double value) { return {time, true, value}; }
SvgChart::Point none(int64_t time) { return {time, false, 0}; }

} // namespace

TEST(SvgChartTest, UnitComesFromTheCounterName)
{
    EXPECT_EQ(SvgChart::Unit::PERCENT, SvgChart::unitOf("\\Processor(_Total)\\% Processor Time"));
    EXPECT_EQ(SvgChart::Unit::BYTES, SvgChart::unitOf("\\Memory\\Available Bytes"));
    EXPECT_EQ(SvgChart::Unit::BYTES, SvgChart::unitOf("\\PhysicalDisk(_Total)\\Disk Read Bytes/sec"));
    EXPECT_EQ(SvgChart::Unit::BYTES, SvgChart::unitOf("\\Process(ravlon)\\Working Set - Private"));
    // The object's name does not count: "% Disk" in an instance is not the counter.
    EXPECT_EQ(SvgChart::Unit::PLAIN, SvgChart::unitOf("\\Bytes(% x)\\Pages/sec"));
}

TEST(SvgChartTest, AxisLabelsUseBinaryMultiplesForBytesAndWholePercentages)
{
    struct Case {
        double min, max;
        SvgChart::Unit unit;
        bool perSecond;
        const char* top; // label of the highest line
        const char* step;
    } cases[] = {
        {1073741824, 2147483648.0, SvgChart::Unit::BYTES, false, "2.0 GiB", "0.5 GiB"},
        {0, 3000, SvgChart::Unit::BYTES, true, "3 KiB/s", "1 KiB/s"},
        {0, 512, SvgChart::Unit::BYTES, false, "600 B", "200 B"},
        {5, 37, SvgChart::Unit::PERCENT, false, "100 %", "25 %"},
        // A process on several processors goes past 100.
        {0, 180, SvgChart::Unit::PERCENT, false, "200 %", "50 %"},
        {0, 12345, SvgChart::Unit::PLAIN, false, "15k", "5k"},
        {0, 0.5, SvgChart::Unit::PLAIN, true, "0.6/s", "0.2/s"},
        {0, 0, SvgChart::Unit::PLAIN, false, "0.5", "0.5"},
    };
    for (const Case& c : cases) {
        SvgChart::Axis axis = SvgChart::valueAxis(c.min, c.max, c.unit, c.perSecond);
        EXPECT_EQ(0, axis.low) << c.top;
        EXPECT_LE(c.max, axis.high) << c.top;
        EXPECT_EQ(c.top, SvgChart::axisLabel(axis.high, axis)) << c.top;
        EXPECT_EQ(c.step, SvgChart::axisLabel(axis.step, axis)) << c.top;
        EXPECT_EQ("0", SvgChart::axisLabel(0, axis)) << c.top;
    }
    SvgChart::Axis negative = SvgChart::valueAxis(-30, 10, SvgChart::Unit::PLAIN, false);
    EXPECT_LE(negative.low, -30);
    EXPECT_EQ("-30", SvgChart::axisLabel(-30, negative));
}

TEST(SvgChartTest, MissingValuesAndMissingRecordsBreakTheLine)
{
    SvgChart chart("t");
    // 30 s apart: a missing value at 60, then no records from 120 to 600.
    chart.addSeries({"\\A\\b", {at(0, 1), at(30, 2), none(60), at(90, 3), at(120, 4), at(600, 5), at(630, 6),
                                none(660), at(690, 7)}});
    std::string svg = chart.render();
    EXPECT_EQ(3u, countOf(svg, "<polyline")) << svg;
    // The lone value at 690 is still shown.
    EXPECT_EQ(1u, countOf(svg, "<circle"));
}

TEST(SvgChartTest, NamesAreEscapedAndPrimeTimeMerged)
{
    SvgChart chart("Scheme <a&b> on H\xe9");
    chart.addSeries({"\\x\"y'\\\x01z", {at(0, 1), at(30, 2), at(60, 3), at(90, 4)}});
    chart.addPrimeTime(0, 30);
    chart.addPrimeTime(30, 60);
    chart.addPrimeTime(90, 120); // only to 90 is drawn
    std::string svg = chart.render();
    EXPECT_NE(std::string::npos, svg.find("Scheme &lt;a&amp;b&gt; on H&#xE9;"));
    EXPECT_NE(std::string::npos, svg.find(">\\x&quot;y&apos;\\?z</text>"));
    // One merged period; the one after the last record is not drawn.
    EXPECT_EQ(1u, countOf(svg, "fill=\"#fff1c1\" stroke=\"none\"/>"));
    // Ticks half a minute apart are told apart by their seconds.
    EXPECT_TRUE(std::regex_search(svg, std::regex(">[0-9]{2}:[0-9]{2}:30</text>"))) << svg;
}

TEST(SvgChartTest, ChartOfRecordedFilesIsWellFormedXml)
{
    if (!haveXmllint())
        GTEST_SKIP() << "xmllint is not installed";
    TempDir dir;
    // A counter name that XML would choke on, written as a counters file holds it.
    ASSERT_TRUE(dir.write("odd.counters", "A&B <x>\n{\n\"quoted\" & more\n}\n"));
    ASSERT_TRUE(dir.write("oddLog-1-2-3.data",
                          "30:1765170000:??:0:H<1>:0:x64:0:d:0:o:0:prime: : : : : : : : : : \n1:5\n"));
    ConfCtl::Run odd = ravlonctl("chart --counters " + shellQuoted(dir.file("odd.counters")) + " --out " +
                                 shellQuoted(dir.file("odd.svg")) + " " + shellQuoted(dir.file("oddLog-1-2-3.data")));
    EXPECT_EQ(0, odd.exitCode) << odd.err;
    EXPECT_EQ(0, xmllint(dir.file("odd.svg")));

    ConfCtl::Run r = ravlonctl("chart --counters " + shellQuoted(rec("cpu.counters")) + " --out " +
                                   shellQuoted(dir.file("cpu.svg")) + " " +
                                   shellQuoted(rec("cpuLog-1765169990-4242-1.data")) + " " +
                                   shellQuoted(rec("cpuLog-1765170070-4242-2.data.gz")) + " " +
                                   shellQuoted(rec("cpuLog-1765170310-4242-3.make.tmp")),
                               "TZ=UTC");
    // The cut record is reported; the picture is still drawn.
    EXPECT_EQ(1, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("-3.make.tmp:3: the file ends inside this line")) << r.err;
    ASSERT_TRUE(dir.exists("cpu.svg"));
    EXPECT_EQ(0, xmllint(dir.file("cpu.svg")));
    std::string svg = dir.read("cpu.svg");
    for (const char* label : {">\\Processor(_Total)\\% Processor Time</text>", ">100 %</text>",
                              ">\\Memory\\Available Bytes</text>", ">2.0 GiB</text>", ">\\Memory\\Pages/sec</text>",
                              ">05:00</text>", ">05:05</text>", ">2025-12-08T05:00:00 to 2025-12-08T05:05:30 (local time)</text>"})
        EXPECT_NE(std::string::npos, svg.find(label)) << label;
    // Records from 05:00 to 05:02 and from 05:05: two runs per panel; the
    // empty Pages/sec value at 05:00:30 leaves its first value alone.
    EXPECT_EQ(6u, countOf(svg, "<polyline"));
    EXPECT_EQ(1u, countOf(svg, "<circle"));
}

TEST(SvgChartTest, ChartDrawsTheChosenCountersOfOneScheme)
{
    TempDir dir;
    const std::string cpu = shellQuoted(rec("cpuLog-1765169990-4242-1.data"));
    ConfCtl::Run r = ravlonctl("chart --counters " + shellQuoted(rec("cpu.counters")) +
                               " --counter 'Available Bytes' --out " + shellQuoted(dir.file("one.svg")) + " " + cpu);
    EXPECT_EQ(0, r.exitCode) << r.err;
    std::string svg = dir.read("one.svg");
    EXPECT_NE(std::string::npos, svg.find(">\\Memory\\Available Bytes</text>"));
    EXPECT_EQ(std::string::npos, svg.find("Processor Time"));

    ConfCtl::Run other = ravlonctl("chart --counters " + shellQuoted(rec("cpu.counters")) + " --out " +
                                   shellQuoted(dir.file("two.svg")) + " " + cpu + " " +
                                   shellQuoted(rec("diskLog-1765169990-4242-1.data")));
    EXPECT_EQ(1, other.exitCode);
    EXPECT_FALSE(dir.exists("two.svg"));

    // An unwritable target leaves neither the picture nor its temporary copy.
    ConfCtl::Run nowhere = ravlonctl("chart --counters " + shellQuoted(rec("cpu.counters")) + " --out " +
                                     shellQuoted(dir.file("no/such/dir.svg")) + " " + cpu);
    EXPECT_EQ(1, nowhere.exitCode);
    EXPECT_EQ("ravlonctl chart: cannot write " + dir.file("no/such/dir.svg") + "\n", nowhere.err);

    ConfCtl::Run unnamed = ravlonctl("chart --out " + shellQuoted(dir.file("x.svg")) + " " + cpu);
    EXPECT_EQ(2, unnamed.exitCode);
    EXPECT_EQ(0u, unnamed.err.find("ravlonctl chart: --counters or --config is needed to name the counters\n"));
}
