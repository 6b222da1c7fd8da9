// ravlonctl records on recorded data files of a lab host (tests/data/records):
// cpuLog-...-1.data delivered, -2.data.gz archived with gzip, -3.make.tmp
// still being written with its last record cut short, diskLog-... of
// another scheme, and -9.data with broken lines.
#include "support/ConfCtlRun.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using ConfCtl::ravlonctl;
using ConfCtl::shellQuoted;
using Telvar::Testing::TempDir;

namespace {

std::string rec(const std::string& name) { return std::string(TEST_SOURCE_DIR) + "/data/records/" + name; }

const std::string CPU1 = rec("cpuLog-1765169990-4242-1.data");
const std::string CPU2 = rec("cpuLog-1765170070-4242-2.data.gz");
const std::string CPU3 = rec("cpuLog-1765170310-4242-3.make.tmp");
const std::string CPU9 = rec("cpuLog-1765169000-4242-9.data");
const std::string DISK = rec("diskLog-1765169990-4242-1.data");

// Local times in the outputs are those of UTC.
ConfCtl::Run records(const std::string& args) { return ravlonctl("records " + args, "TZ=UTC"); }

std::string q(const std::string& s) { return shellQuoted(s); }

} // namespace

TEST(RecordsCmdTest, TableJoinsFilesInTimeOrderAndReportsTheCutRecord)
{
    // Given newest first, one twice: the output is still in time order, each record once.
    ConfCtl::Run r = records("--counters " + q(rec("cpu.counters")) + " " + q(CPU3) + " " + q(CPU2) + " " + q(CPU1) +
                             " " + q(CPU2));
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("scheme cpu: 7 records from WS-LAB07 (x64, lab.example, Windows 10)\n"
              "time                 class      \\Processor(_Total)\\% Processor Time  \\Memory\\Available Bytes  \\Memory\\Pages/sec\n"
              "2025-12-08T05:00:00  non-prime                                 12.5               2147483648                  3\n"
              "2025-12-08T05:00:30  non-prime                                   20               2147000000                   \n"
              "2025-12-08T05:01:00  prime                                      100               1073741824                0.5\n"
              "2025-12-08T05:01:30  prime                                    42.25               1500000000                  7\n"
              "2025-12-08T05:02:00  prime                                       37               1600000000                  1\n"
              "2025-12-08T05:05:00  prime                                        8               1700000000                  0\n"
              "2025-12-08T05:05:30  non-prime                                    5               1800000000                  2\n",
              r.out);
    EXPECT_EQ(CPU3 + ":3: the file ends inside this line (no line end): \"30:1765170360:??:0:WS-LAB07:0:x64:0:lab\"\n",
              r.err);
}

TEST(RecordsCmdTest, EmptyColumnIsEmptyInCsvNullInJsonAndAbsentInLineProtocol)
{
    ConfCtl::Run csv = records("--format csv --counters " + q(rec("cpu.counters")) + " " + q(CPU1));
    EXPECT_EQ(0, csv.exitCode) << csv.err;
    EXPECT_EQ("time,seconds,computer,architecture,domain,os,class,\\Processor(_Total)\\% Processor Time,"
              "\\Memory\\Available Bytes,\\Memory\\Pages/sec\n"
              "2025-12-08T05:00:00,1765170000,WS-LAB07,x64,lab.example,Windows 10,non-prime,12.5,2147483648,3\n"
              "2025-12-08T05:00:30,1765170030,WS-LAB07,x64,lab.example,Windows 10,non-prime,20,2147000000,\n"
              "2025-12-08T05:01:00,1765170060,WS-LAB07,x64,lab.example,Windows 10,prime,100,1073741824,0.5\n",
              csv.out);

    ConfCtl::Run json = records("--format json --columns 'Pages/sec,1' --from 2025-12-08T05:00:30 --to "
                                "2025-12-08T05:00:30Z --counters " + q(rec("cpu.counters")) + " " + q(CPU1));
    EXPECT_EQ(0, json.exitCode) << json.err;
    EXPECT_EQ("{\"scheme\":\"cpu\",\"time\":\"2025-12-08T05:00:30\",\"seconds\":1765170030,\"computer\":\"WS-LAB07\","
              "\"architecture\":\"x64\",\"domain\":\"lab.example\",\"os\":\"Windows 10\",\"class\":\"non-prime\","
              "\"values\":{\"\\\\Memory\\\\Pages/sec\":null,\"\\\\Processor(_Total)\\\\% Processor Time\":20}}\n",
              json.out);

    // Line protocol as the collector pushes it: the empty column is absent.
    ConfCtl::Run influx = records("--format influx --from 2025-12-08T05:00:30 --to 2025-12-08T05:00:30Z --counters " +
                                  q(rec("cpu.counters")) + " " + q(CPU1));
    EXPECT_EQ(0, influx.exitCode) << influx.err;
    EXPECT_EQ("ravlon_processor,host=WS-LAB07,scheme=cpu,object_instance=_Total processor_time_percent=20 1765170030\n"
              "ravlon_memory,host=WS-LAB07,scheme=cpu available_bytes=2147000000 1765170030\n",
              influx.out);
}

TEST(RecordsCmdTest, WideTableShowsOneCounterPerLine)
{
    ConfCtl::Run r = ravlonctl("records --to 2025-12-08T05:00:30Z --counters " + q(rec("cpu.counters")) + " " + q(CPU1),
                               "TZ=UTC COLUMNS=60");
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("scheme cpu: 2 records from WS-LAB07 (x64, lab.example, Windows 10)\n"
              "2025-12-08T05:00:00  non-prime\n"
              "  \\Processor(_Total)\\% Processor Time  12.5\n"
              "  \\Memory\\Available Bytes              2147483648\n"
              "  \\Memory\\Pages/sec                    3\n"
              "2025-12-08T05:00:30  non-prime\n"
              "  \\Processor(_Total)\\% Processor Time  20\n"
              "  \\Memory\\Available Bytes              2147000000\n"
              "  \\Memory\\Pages/sec\n",
              r.out);
}

TEST(RecordsCmdTest, BrokenLinesAreReportedInFileOrderAndGoodFilesStillShown)
{
    ConfCtl::Run r = records("--format csv --counters " + q(rec("cpu.counters")) + " " + q(CPU9) + " " + q(CPU1));
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ(4u, static_cast<size_t>(std::count(r.out.begin(), r.out.end(), '\n'))) << r.out;
    EXPECT_EQ(CPU9 + ":2: column 2: bad number \"x2\"\n" +
                  CPU9 + ":3: measurement line without a classification line before it\n" +
                  CPU9 + ":4: classification line with 21 fields, 23 expected\n" +
                  CPU9 + ":6: measurement line with 2 values, the counters file lists 3\n" +
                  CPU9 + ":7: not a record line: \"hello\"\n",
              r.err);
}

TEST(RecordsCmdTest, ConfigurationNamesTheColumnsOfEachScheme)
{
    TempDir dir;
    ASSERT_TRUE(dir.write("ravlon.conf", "ravlon() = \"\" {\n"
                                         "  collect() = \"\" {\n"
                                         "    cpu() = \"\" {\n"
                                         "      active(Bool) = true {}\n"
                                         "      scheme(String) = \"counters-file\" {\n"
                                         "        file(FileName) = \"" + rec("cpu.counters") + "\" {}\n"
                                         "      }\n"
                                         "    }\n"
                                         "  }\n"
                                         "}\n"));
    ConfCtl::Run r = records("--config " + q(dir.file("ravlon.conf")) + " " + q(DISK) + " " + q(CPU1));
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("scheme disk: 2 records from WS-LAB07 (x64, lab.example, Windows 10)\n"
              "time                 class         1     2\n"
              "2025-12-08T05:00:00  non-prime  4096  8192\n"
              "2025-12-08T05:00:30  non-prime           0\n"
              "\n"
              "scheme cpu: 3 records from WS-LAB07 (x64, lab.example, Windows 10)\n"
              "time                 class      \\Processor(_Total)\\% Processor Time  \\Memory\\Available Bytes  \\Memory\\Pages/sec\n"
              "2025-12-08T05:00:00  non-prime                                 12.5               2147483648                  3\n"
              "2025-12-08T05:00:30  non-prime                                   20               2147000000                   \n"
              "2025-12-08T05:01:00  prime                                      100               1073741824                0.5\n",
              r.out);
    EXPECT_EQ("ravlonctl records: scheme disk: no ravlon.collect.disk.scheme.file in " + dir.file("ravlon.conf") +
                  "; its columns are numbered\n",
              r.err);
}

TEST(RecordsCmdTest, AFileOfAnotherSchemeIsNotNamedByTheWrongCountersFile)
{
    ConfCtl::Run one = records("--counters " + q(rec("cpu.counters")) + " " + q(CPU1) + " " + q(DISK));
    EXPECT_EQ(1, one.exitCode);
    EXPECT_EQ("", one.out);
    EXPECT_EQ("ravlonctl records: files of several schemes (cpu, disk) but one counters file; give one scheme's "
              "files, or --config\n",
              one.err);

    ConfCtl::Run csv = records("--format csv " + q(CPU1) + " " + q(DISK));
    EXPECT_EQ(2, csv.exitCode);
    EXPECT_EQ("", csv.out);
    EXPECT_NE(std::string::npos, csv.err.find("csv holds one scheme, and the files are of 2 (cpu, disk)")) << csv.err;

    // A renamed file tells no scheme; its width gives it away.
    TempDir dir;
    ASSERT_TRUE(dir.write("renamed.data", TempDir::readFile(DISK)));
    ConfCtl::Run renamed = records("--format csv --counters " + q(rec("cpu.counters")) + " " + q(dir.file("renamed.data")));
    EXPECT_EQ(1, renamed.exitCode);
    EXPECT_EQ(dir.file("renamed.data") + ":2: measurement line with 2 values, the counters file lists 3\n" +
                  dir.file("renamed.data") + ":4: measurement line with 2 values, the counters file lists 3\n",
              renamed.err);
}

TEST(RecordsCmdTest, BadArgumentsAreUsageErrors)
{
    const std::string counters = "--counters " + q(rec("cpu.counters")) + " ";
    struct Case {
        std::string args;
        std::string message;
    } cases[] = {
        {"", "no FILE given"},
        {"--format xml " + q(CPU1), "--format expects table, csv, json or influx, not \"xml\""},
        {"--format influx " + q(CPU1), "--format influx names the counters: give --counters or --config"},
        {"--from yesterday " + q(CPU1), "--from expects a time such as 2026-12-08T04:30:00, not \"yesterday\""},
        {"--from 2025-12-08T06:00:00Z --to 2025-12-08T05:00:00Z " + q(CPU1), "--from is after --to"},
        {counters + "--config x.conf " + q(CPU1), "give --counters or --config, not both"},
        {counters + "--columns Bytes/sec " + q(CPU1), "--columns: no counter \"Bytes/sec\" in scheme cpu"},
        {counters + "--columns 4 " + q(CPU1), "--columns: no column 4 (there are 3) in scheme cpu"},
        {counters + "--columns Memory " + q(CPU1), "--columns: no counter \"Memory\" in scheme cpu"},
        {"--bogus " + q(CPU1), "unknown option '--bogus'"},
    };
    for (const Case& c : cases) {
        ConfCtl::Run r = records(c.args);
        EXPECT_EQ(2, r.exitCode) << c.args;
        EXPECT_EQ(0u, r.err.find("ravlonctl records: " + c.message + "\n")) << c.args << "\n" << r.err;
    }
    ConfCtl::Run missing = records("--counters " + q(rec("none.counters")) + " " + q(CPU1));
    EXPECT_EQ(1, missing.exitCode);
    EXPECT_EQ("ravlonctl records: counters file " + rec("none.counters") + ": no such file\n", missing.err);
}

TEST(RecordsCmdTest, RecordsOfSeveralHostsGetAComputerColumn)
{
    TempDir dir;
    const std::string pads = ": : : : : : : : : : ";
    ASSERT_TRUE(dir.write("memLog-1-2-1.data", "30:1765170000:??:0:HOST-A:0:x64:0:d:0:o:0:undef" + pads + "\n1:10\n"));
    ASSERT_TRUE(dir.write("memLog-1-3-1.data", "30:1765170030:??:0:B:0:x64:0:d:0:o:0:undef" + pads + "\n1:7\n"));
    ConfCtl::Run r = records(q(dir.file("memLog-1-2-1.data")) + " " + q(dir.file("memLog-1-3-1.data")));
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ("scheme mem: 2 records\n"
              "time                 class  computer   1\n"
              "2025-12-08T05:00:00  undef  HOST-A    10\n"
              "2025-12-08T05:00:30  undef  B          7\n",
              r.out);
}
