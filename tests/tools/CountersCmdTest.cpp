// ravlonctl counters and sample, run against the fixture tree of /proc and /sys.
#include "support/ConfCtlRun.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <vector>

using ConfCtl::ravlonctl;
using ConfCtl::shellQuoted;

namespace {

std::string fixtureEnv()
{
    std::string root = std::string(TEST_SOURCE_DIR) + "/data/proc/snap1";
    return "TZ=UTC TELVAR_PROC_ROOT=" + shellQuoted(root + "/proc") + " TELVAR_SYS_ROOT=" + shellQuoted(root + "/sys");
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

} // namespace

TEST(CountersCmdTest, ListsObjectsAndTheCounterPathsOfOne)
{
    ConfCtl::Run objects = ravlonctl("counters", fixtureEnv());
    EXPECT_EQ(0, objects.exitCode);
    EXPECT_EQ("Processor\nSystem\nMemory\nPaging File\nPhysicalDisk\nLogicalDisk\nNetwork Interface\nProcess\n"
              "TCPv4\nIPv4\nIPv6\nUDPv4\nUDPv6\nProcess V2\nRavlon Collector\n",
              objects.out);

    ConfCtl::Run memory = ravlonctl("counters Memory", fixtureEnv());
    EXPECT_EQ(0, memory.exitCode);
    EXPECT_EQ("\\Memory\\Available Bytes\n\\Memory\\Available KBytes\n\\Memory\\Available MBytes\n"
              "\\Memory\\Committed Bytes\n\\Memory\\Commit Limit\n\\Memory\\% Committed Bytes In Use\n"
              "\\Memory\\Cache Bytes\n\\Memory\\Page Faults/sec\n\\Memory\\Pages/sec\n"
              "\\Memory\\Pages Input/sec\n\\Memory\\Pages Output/sec\n\\Memory\\Page Reads/sec\n"
              "\\Memory\\Page Writes/sec\n\\Memory\\Transition Faults/sec\n\\Memory\\Pool Paged Bytes\n"
              "\\Memory\\Pool Nonpaged Bytes\n\\Memory\\Modified Page List Bytes\n"
              "\\Memory\\Free & Zero Page List Bytes\n\\Memory\\Standby Cache Normal Priority Bytes\n",
              memory.out);

    // Every instance of the fixture's interfaces appears for each counter.
    ConfCtl::Run net = ravlonctl("counters 'Network Interface'", fixtureEnv());
    EXPECT_EQ(0, net.exitCode);
    std::vector<std::string> paths = lines(net.out);
    EXPECT_EQ(11u * 3u, paths.size());
    EXPECT_NE(std::string::npos, net.out.find("\\Network Interface(eth0)\\Current Bandwidth\n"));

    // Process V2 names each process by name and id.
    ConfCtl::Run v2 = ravlonctl("counters 'Process V2'", fixtureEnv());
    EXPECT_EQ(0, v2.exitCode);
    EXPECT_NE(std::string::npos, v2.out.find("\\Process V2(bash:100)\\ID Process\n"));
    EXPECT_NE(std::string::npos, v2.out.find("\\Process V2(bash:200)\\ID Process\n"));

    ConfCtl::Run unknown = ravlonctl("counters Nope", fixtureEnv());
    EXPECT_EQ(1, unknown.exitCode);
    EXPECT_EQ("ravlonctl counters: Nope: No object (PDH_CSTATUS_NO_OBJECT)\n", unknown.err);

    EXPECT_EQ(2, ravlonctl("counters Memory Processor", fixtureEnv()).exitCode);
}

TEST(CountersCmdTest, SamplePrintsHeaderAndOneCsvLinePerInterval)
{
    // A path it cannot add: each named with its reason, nothing sampled.
    ConfCtl::Run r = ravlonctl("sample -n 2 -i 1 '\\Memory\\Available KBytes' '\\Nope\\X' '\\Memory\\Nope'",
                               fixtureEnv());
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("ravlonctl sample: cannot add '\\Nope\\X': No object (PDH_CSTATUS_NO_OBJECT)\n"
              "ravlonctl sample: cannot add '\\Memory\\Nope': No counter (PDH_CSTATUS_NO_COUNTER)\n",
              r.err);

    r = ravlonctl("sample -n 2 -i 1 '\\Memory\\Available KBytes' '\\Memory\\Page Faults/sec'", fixtureEnv());
    EXPECT_EQ(0, r.exitCode);
    std::vector<std::string> out = lines(r.out);
    ASSERT_EQ(3u, out.size()) << r.out;
    EXPECT_EQ("\"Time\",\"\\Memory\\Available KBytes\",\"\\Memory\\Page Faults/sec\"", out[0]);
    // MemAvailable of the fixture is 3000000 kB. A rate has no value before
    // its second collection, and the frozen fixture never lets time pass, so
    // it stays empty; unknown paths never have a value.
    std::regex line("\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\",\"3000000\",\"\"");
    EXPECT_TRUE(std::regex_match(out[1], line)) << out[1];
    EXPECT_TRUE(std::regex_match(out[2], line)) << out[2];
    EXPECT_EQ("", r.err);
}

TEST(CountersCmdTest, SampleRejectsBadArguments)
{
    ConfCtl::Run zero = ravlonctl("sample -n 0 x", fixtureEnv());
    EXPECT_EQ(2, zero.exitCode);
    EXPECT_EQ("ravlonctl sample: COUNT must be a positive number, not '0'\n"
              "usage: ravlonctl sample [-n COUNT] [-i SECONDS] PATH...\n",
              zero.err);
    EXPECT_EQ(2, ravlonctl("sample", fixtureEnv()).exitCode);
    EXPECT_EQ(2, ravlonctl("sample -i", fixtureEnv()).exitCode);
    EXPECT_EQ(2, ravlonctl("sample --bogus '\\Memory\\Available Bytes'", fixtureEnv()).exitCode);

    ConfCtl::Run help = ravlonctl("sample --help", fixtureEnv());
    EXPECT_EQ(0, help.exitCode);
    EXPECT_EQ(0u, help.out.rfind("usage: ravlonctl sample [-n COUNT] [-i SECONDS] PATH...\n", 0));
}
