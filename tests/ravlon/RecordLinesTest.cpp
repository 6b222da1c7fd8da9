// Counter paths as metric names, and a record as line protocol and as a
// scrape page: what the engines store is what these texts say.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ravlon/MetricNames.h"
#include "ravlon/RecordLines.h"

using namespace Telvar;

TEST(RecordLinesTest, CounterPathsMapToPrometheusNames)
{
    struct Row {
        const char* path;
        const char* metric;
        const char* instance;
        const char* help;
    };
    const Row rows[] = {
        {"\\Processor(_Total)\\% Processor Time", "ravlon_processor_processor_time_percent", "_Total",
         "\\Processor\\% Processor Time"},
        {"\\Memory\\Available Bytes", "ravlon_memory_available_bytes", "", "\\Memory\\Available Bytes"},
        {"\\Memory\\% Committed Bytes In Use", "ravlon_memory_committed_bytes_in_use_percent", "",
         "\\Memory\\% Committed Bytes In Use"},
        {"\\System\\Context Switches/sec", "ravlon_system_context_switches_per_second", "",
         "\\System\\Context Switches/sec"},
        {"\\PhysicalDisk(_Total)\\Disk Read Bytes/sec", "ravlon_physicaldisk_disk_read_bytes_per_second", "_Total",
         "\\PhysicalDisk\\Disk Read Bytes/sec"},
        {"\\Paging File(_Total)\\% Usage", "ravlon_paging_file_usage_percent", "_Total",
         "\\Paging File\\% Usage"},
        // An instance may hold parentheses of its own.
        {"\\Process(ravlon (2))\\Working Set", "ravlon_process_working_set", "ravlon (2)",
         "\\Process\\Working Set"},
        {"\\LogicalDisk(C:)\\Avg. Disk sec/Read", "ravlon_logicaldisk_avg_disk_sec_read", "C:",
         "\\LogicalDisk\\Avg. Disk sec/Read"},
        // A machine name in front is not part of the name.
        {"\\\\HOST\\Memory\\Pages/sec", "ravlon_memory_pages_per_second", "", "\\Memory\\Pages/sec"},
    };
    for (const Row& row : rows) {
        MetricName name = MetricNames::of(row.path);
        EXPECT_EQ(row.metric, name.metric()) << row.path;
        EXPECT_EQ(row.instance, name.instance) << row.path;
        EXPECT_EQ(row.help, name.help) << row.path;
    }
}

TEST(RecordLinesTest, CountersThatWouldShareANameGetTheirOwn)
{
    // The first two are different counters with one sanitised name; the
    // third is the first one's counter in another instance.
    std::vector<MetricName> names =
        MetricNames::forPaths({"\\Disk(0)\\Reads/sec", "\\Disk(0)\\Reads /sec", "\\Disk(1)\\Reads/sec",
                               "\\Memory\\Available Bytes"});
    EXPECT_NE(names[0].metric(), names[1].metric());
    EXPECT_EQ(names[0].metric(), names[2].metric());
    EXPECT_EQ(0u, names[0].metric().rfind("ravlon_disk_reads_per_second_", 0)) << names[0].metric();
    EXPECT_EQ("ravlon_memory_available_bytes", names[3].metric());
    // The same paths give the same names every time.
    EXPECT_EQ(names[1].metric(), MetricNames::forPaths({"\\Disk(0)\\Reads /sec", "\\Disk(0)\\Reads/sec"})[0].metric());
}

TEST(RecordLinesTest, ARecordBecomesLineProtocolAndAScrapePage)
{
    // As the writer builds it: the second column without data, the last
    // one not a number.
    const std::string text = "30:1700000000:??:0:host one:0:x64:0:lab:0:Linux:0:prime: : : : : : : : : : \n"
                             "1:12.5: :4096:3:nan";
    RecordSample sample;
    ASSERT_TRUE(RecordLines::parse(text, sample));
    EXPECT_EQ(1700000000, sample.time);
    EXPECT_EQ("host one", sample.host);
    EXPECT_EQ((std::vector<std::string>{"12.5", "", "4096", "3", "nan"}), sample.values);
    sample.scheme = "cpu";
    sample.names = MetricNames::forPaths({"\\Processor(_Total)\\% Processor Time", "\\Processor(_Total)\\% User Time",
                                          "\\Memory\\Available Bytes", "\\Processor(0)\\% Processor Time",
                                          "\\Memory\\Cache Bytes"});

    EXPECT_EQ("ravlon_processor,host=host\\ one,scheme=cpu,object_instance=_Total processor_time_percent=12.5 "
              "1700000000\n"
              "ravlon_memory,host=host\\ one,scheme=cpu available_bytes=4096 1700000000\n"
              "ravlon_processor,host=host\\ one,scheme=cpu,object_instance=0 processor_time_percent=3 1700000000\n",
              RecordLines::influx(sample));

    const std::string page =
        "# HELP ravlon_processor_processor_time_percent \\\\Processor\\\\% Processor Time\n"
        "# TYPE ravlon_processor_processor_time_percent gauge\n"
        "ravlon_processor_processor_time_percent{host=\"host one\",scheme=\"cpu\",object_instance=\"_Total\"} 12.5\n"
        "ravlon_processor_processor_time_percent{host=\"host one\",scheme=\"cpu\",object_instance=\"0\"} 3\n"
        "# HELP ravlon_memory_available_bytes \\\\Memory\\\\Available Bytes\n"
        "# TYPE ravlon_memory_available_bytes gauge\n"
        "ravlon_memory_available_bytes{host=\"host one\",scheme=\"cpu\"} 4096\n";
    EXPECT_EQ(page, RecordLines::page({sample}, false));
    EXPECT_EQ(page + "# EOF\n", RecordLines::page({sample}, true));

    // A record without any value gives no line at all.
    RecordSample empty;
    ASSERT_TRUE(RecordLines::parse("30:1700000030:??:0:h:0:a:0:d:0:o:0:undef: : : : : : : : : : \n1: \n", empty));
    empty.names = MetricNames::forPaths({"\\Memory\\Available Bytes"});
    EXPECT_EQ("", RecordLines::influx(empty));
    EXPECT_FALSE(RecordLines::parse("1:2:3\n", empty));
}
