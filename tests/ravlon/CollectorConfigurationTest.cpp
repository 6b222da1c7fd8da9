#include "ravlon/CollectorConfiguration.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <algorithm>
#include <string>
#include <vector>

#include "agent/Agent.h"
#include "agent/DataDelivery.h"
#include "agent/LogFile.h"
#include "common/FileOperations.h"
#include "common/Resources.h"
#include "logger/LogCommons.h"
#include "logger/LogSettings.h"
#include "logger/LoggerAgentFile.h"
#include "logger/LoggerUnit.h"
#include "platform/PathSeparator.h"
#include "ravlon/Counter.h"
#include "ravlon/Sampling.h"
#include "support/FakePerfData.h"
#include "support/ManualClock.h"
#include "support/TestInstallation.h"

using namespace Telvar;
using Testing::TestInstallation;

namespace {

const std::string CATALOGUES = std::string(PROJECT_ROOT_DIR) + "/etc/";
const std::string MEMORY = "\\Memory\\Available Bytes";
const std::string CPU = "\\Processor(_Total)\\% Processor Time";
const std::string DISK = "\\PhysicalDisk(_Total)\\Disk Reads/sec";

// A path as the collector normalises directories: with the system's separator.
std::string native(std::string path)
{
    std::replace(path.begin(), path.end(), '/', Platform::PATH_SEPARATOR);
    return path;
}

class Collector : public Agent {
public:
    explicit Collector(const std::string& commandLine = "dummy") : Agent(commandLine)
    {
        setProgramName("Ravlon");
        setInstanceLockName(lockName());
    }
    void run() override {}
    using Agent::clearThreads;
    bool configureCollector() override
    {
        return CollectorConfiguration::configureCollector(*this, degrade, entries);
    }
    static const std::string& lockName()
    {
        static const std::string name = TestInstallation::uniqueName("CollectorConfiguration");
        return name;
    }
    std::vector<std::string> threadNames()
    {
        std::vector<std::string> names;
        for (ThreadRecord& r : threads())
            names.push_back(r.name);
        return names;
    }
    bool degrade = false;
    Sampling::DataFileEntries entries;
};

// A query provider whose open call fails.
class ClosedPerfData : public Telvar::Test::FakePerfData {
public:
    Platform::PdhStatus openQuery(Platform::PdhHandle& query) override
    {
        query = Platform::PDH_NULL_HANDLE;
        return Platform::PDH_MEMORY_ALLOCATION_FAILURE;
    }
};

class CollectorConfigurationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        previousLevel_ = debugLevel();
        // Real time, short sleeps.
        time_.readWith([] { return Clock::system().nowSeconds(); });
        time_.sleepWith([](int ms) { Clock::system().sleepMilliseconds(ms > 0 ? 1 : 0); });
        reset();
        setUpNames(fake_);
        fake_.install();
        install_.writeConfiguration("Memory\n{\nAvailable Bytes\n}\nProcessor(_Total)\n{\n% Processor Time\n}\n",
                                    "ravlon.counters");
        install_.writeConfiguration("# disks and memory\nPhysicalDisk(_Total)\n{\nDisk Reads/sec\n}\n"
                                    "Memory\n{\nAvailable Bytes\n}\n",
                                    "disk.counters");
    }
    void TearDown() override
    {
        // The query is the fake's: closed by it, before the system's provider
        // is back (which could take the fake's handle for one of its own).
        reset();
        fake_.uninstall();
        setDebugLevel(previousLevel_);
        setMessageCatalog(SmartPointer<LogCommons>());
    }
    static void setUpNames(Telvar::Test::FakePerfData& fake)
    {
        fake.addName(4, "Memory", "Memory");
        fake.addName(1382, "Available Bytes", "Available Bytes");
        fake.addName(238, "Processor", "Processor");
        fake.addName(6, "% Processor Time", "% Processor Time");
        fake.addName(234, "PhysicalDisk", "PhysicalDisk");
        fake.addName(214, "Disk Reads/sec", "Disk Reads/sec");
        for (const std::string& path : {MEMORY, CPU, DISK})
            fake.acceptPath(path);
    }
    static void reset()
    {
        clearRegistry();
        Sampling::schemeCounters().clear();
        DataDelivery::instance().clear();
        if (pdhQuery != Platform::PDH_NULL_HANDLE)
            Platform::perfData().closeQuery(pdhQuery);
        pdhQuery = Platform::PDH_NULL_HANDLE;
        degradePdhWarnings = false;
    }

    // The agent keys, debug texts on, and the "ravlon" block given.
    void configure(const std::string& ravlonEntries)
    {
        std::string text = install_.agentKeys(CATALOGUES);
        text += "log() = \"\" {\n  global() = \"\" {\n    debug-level(Integer) = 5 {}\n  }\n}\n";
        text += "ravlon() = \"\" {\n" + ravlonEntries + "}\n";
        ASSERT_TRUE(install_.writeConfiguration(text));
    }
    std::string scheme(const std::string& name, const std::string& active, const std::string& kind,
                       const std::string& file) const
    {
        std::string text = "    " + name + "() = \"\" {\n";
        if (!active.empty())
            text += "      active(Bool) = " + active + " {}\n";
        if (!kind.empty()) {
            text += "      scheme(String) = \"" + kind + "\" {\n";
            if (!file.empty())
                text += "        file(FileName) = \"" + Testing::TestInstallation::quotedValue(install_.configurationDirectory()) +
                        file + "\" {}\n";
            text += "      }\n";
        }
        return text + "    }\n";
    }
    static std::string collect(const std::string& schemes) { return "  collect() = \"\" {\n" + schemes + "  }\n"; }

    std::string log() const { return install_.log(); }
    bool logged(const std::string& text) const { return log().find(text) != std::string::npos; }

    Testing::ManualClock time_;
    TestInstallation install_;
    Telvar::Test::FakePerfData fake_;
    int32_t previousLevel_ = 0;
};

} // namespace

TEST_F(CollectorConfigurationTest, TwoSchemesShareOneCounterAndEachGetsItsDataFile)
{
    configure(collect(scheme("Ravlon", "true", "counters-file", "ravlon.counters") +
                      scheme("Disk", "TRUE", " counters-file ", "disk.counters")));
    Collector collector;
    ASSERT_TRUE(collector.configure());

    // One counter per path, registered in first-seen order.
    CounterRegistry& registry = counterRegistry();
    ASSERT_EQ(3u, registry.counters.size());
    EXPECT_EQ(MEMORY, registry.counters[0]->counterPath);
    EXPECT_EQ(CPU, registry.counters[1]->counterPath);
    EXPECT_EQ(DISK, registry.counters[2]->counterPath);
    EXPECT_TRUE(findCounter(MEMORY).equals(registry.counters[0]));
    EXPECT_EQ(1, std::count(fake_.addedPaths.begin(), fake_.addedPaths.end(), MEMORY));

    // Each scheme keeps its own path list in its file's order.
    Sampling::SchemeCounters& schemes = Sampling::schemeCounters();
    EXPECT_EQ(std::vector<std::string>({MEMORY, CPU}), schemes["Ravlon"]);
    EXPECT_EQ(std::vector<std::string>({DISK, MEMORY}), schemes["Disk"]);

    EXPECT_EQ(std::vector<std::string>({"DataDelivery", "counterDataCollector(Ravlon)",
                                        "counterDataCollector(Disk)", "performanceDataPoller"}),
              collector.threadNames());

    // One data file per scheme in the working directory; entries consumed.
    const std::string working = native(install_.installDirectory() + "Log/temp/RVL/");
    EXPECT_EQ(working, CollectorConfiguration::workingDirectory());
    EXPECT_TRUE(fileExists(working));
    const auto& entries = DataDelivery::instance().entries();
    ASSERT_EQ(2u, entries.size());
    ASSERT_EQ(1u, entries.count("Ravlon"));
    EXPECT_EQ(0, entries.at("Ravlon").interval.seconds());
    EXPECT_EQ(working + "DiskLog", LogFile::baseOf(entries.at("Disk").file->getName()));
    EXPECT_TRUE(collector.entries.empty());
    EXPECT_NE(Platform::PDH_NULL_HANDLE, pdhQuery);

    // The defaults of the intervals.
    EXPECT_EQ(43200, CollectorConfiguration::deliveryInterval().seconds());
    EXPECT_EQ(43200, DataDelivery::instance().defaultInterval().seconds());
    EXPECT_EQ(1, CollectorConfiguration::collectionInterval().seconds());
    EXPECT_TRUE(logged("Data delivery at interval: " + TimeSpan(43200).toText() + "."));
    EXPECT_TRUE(logged("Data collection at interval: " + TimeSpan(1).toText() + "."));
    EXPECT_TRUE(logged("Working dir: " + working + "."));
    EXPECT_TRUE(logged("Opened PDH query"));
    EXPECT_FALSE(collector.degrade);
}

TEST_F(CollectorConfigurationTest, InactiveIdleAndUnknownSchemesAreSkipped)
{
    configure(collect(scheme("Off", "false", "counters-file", "missing.counters") +
                      scheme("Idle", "true", "idle-data", "") +
                      scheme("Odd", "True", "Counters-File", "ravlon.counters")));
    Collector collector;
    ASSERT_TRUE(collector.configure());
    // Only the poller runs; no data file, no counter.
    EXPECT_EQ(std::vector<std::string>({"DataDelivery", "performanceDataPoller"}), collector.threadNames());
    EXPECT_TRUE(DataDelivery::instance().entries().empty());
    EXPECT_TRUE(counterRegistry().counters.empty());
    EXPECT_TRUE(Sampling::schemeCounters().empty());

    EXPECT_TRUE(logged("Off is not active. Skipping it."));
    EXPECT_TRUE(logged("Idle is active, and will now be configured."));
    EXPECT_TRUE(logged("   Idle data scheme no longer supported!"));
    EXPECT_TRUE(logged("(8.09.25)"));
    EXPECT_TRUE(logged("Unknown scheme kind \"Counters-File\" in ravlon.collect.Odd.scheme; the scheme is skipped."));
}

TEST_F(CollectorConfigurationTest, SettingsFromTheConfiguration)
{
    const std::string working = install_.dir().path() + "//work//data";
    configure("  working-dir(DirName) = \"" + Testing::TestInstallation::quotedValue(working) + "\" {}\n"
              "  interval(TimeSpan) = P1H {}\n"
              "  data-collection(TimeSpan) = P5S {}\n"
              "  degrade-pdh-warnings(Bool) = TRUE {}\n" +
              collect(scheme("Ravlon", "true", "counters-file", "ravlon.counters")));
    Collector collector;
    ASSERT_TRUE(collector.configure());
    EXPECT_EQ(native(install_.dir().path() + "/work/data/"), CollectorConfiguration::workingDirectory());
    EXPECT_TRUE(fileExists(install_.dir().path() + "/work/data"));
    EXPECT_EQ(3600, CollectorConfiguration::deliveryInterval().seconds());
    EXPECT_EQ(3600, DataDelivery::instance().defaultInterval().seconds());
    EXPECT_EQ(5, CollectorConfiguration::collectionInterval().seconds());
    EXPECT_TRUE(collector.degrade);
    EXPECT_TRUE(degradePdhWarnings.load());
}

TEST_F(CollectorConfigurationTest, InstallDirectoryIsNormalisedBeforeTheWorkingDirectoryIsBuilt)
{
    setResource("InstallDir", install_.dir().path() + "//install//");
    configure(collect(scheme("Ravlon", "false", "", "")));
    Collector collector;
    ASSERT_TRUE(collector.configure());
    EXPECT_EQ(native(install_.installDirectory() + "Log/temp/RVL/"), CollectorConfiguration::workingDirectory());
}

TEST_F(CollectorConfigurationTest, EachFailureRowReportsItsMessageAndFails)
{
    struct Row {
        const char* what;
        std::string entries;
        std::string message;
        std::string parameter;
    };
    const std::string good = scheme("Ravlon", "true", "counters-file", "ravlon.counters");
    install_.writeConfiguration("x", "plainfile");
    // A working directory others could plant files in.
    const std::string shared = install_.dir().path() + "/shared";
    std::filesystem::create_directories(shared);
    std::filesystem::permissions(shared, std::filesystem::perms::owner_all | std::filesystem::perms::group_all);
    std::vector<Row> rows = {
        {"no schemes key", "", "(8.09.23)", "ravlon.collect "},
        {"no scheme", "  collect() = \"\" {}\n", "(8.09.24)", "ravlon.collect "},
        {"no .active, also with a good scheme", collect(good + scheme("Disk", "", "counters-file", "disk.counters")),
         "(8.09.23)", "ravlon.collect.Disk.active"},
        {"bad .active", collect(scheme("Disk", "maybe", "counters-file", "disk.counters")), "(8.09.23)",
         "ravlon.collect.Disk.active"},
        {"no .scheme", collect(scheme("Disk", "true", "", "")), "(8.09.23)", "ravlon.collect.Disk.scheme "},
        {"no .scheme.file", collect(scheme("Disk", "true", "counters-file", "")), "(8.09.23)",
         "ravlon.collect.Disk.scheme.file"},
        {"missing counters file", collect(scheme("Disk", "true", "counters-file", "none.counters")), "(8.09.03)",
         "none.counters"},
        {"working directory below a file",
         "  working-dir(DirName) = \"" + Testing::TestInstallation::quotedValue(install_.configurationDirectory()) +
             "plainfile/sub\" {}\n" + collect(good),
         "(8.09.11)", native("plainfile/sub/")},
    };
#ifndef _WIN32
    // Windows leaves a directory's security to the installer.
    rows.push_back({"working directory writable by its group",
                    "  working-dir(DirName) = \"" + Testing::TestInstallation::quotedValue(shared) + "\" {}\n" +
                        collect(good),
                    "(8.09.35)", native(shared + "/") + " cannot be trusted: writable by its group"});
#endif
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        reset();
        configure(row.entries);
        const size_t before = log().size();
        {
            Collector collector;
            EXPECT_FALSE(collector.configure());
            EXPECT_TRUE(DataDelivery::instance().entries().empty());
        }
        const std::string text = log().substr(before);
        const size_t at = text.find(row.message);
        ASSERT_NE(std::string::npos, at) << text;
        const std::string line = text.substr(at, text.find('\n', at) - at);
        EXPECT_NE(std::string::npos, line.find(row.parameter)) << line;
        EXPECT_EQ(std::string::npos, text.find("Finished configuring."));
    }
}

TEST_F(CollectorConfigurationTest, QueryThatCannotBeOpenedFailsWithMessage8)
{
    fake_.uninstall();
    ClosedPerfData closed;
    setUpNames(closed);
    closed.install();
    configure(collect(scheme("Ravlon", "true", "counters-file", "ravlon.counters")));
    {
        Collector collector;
        EXPECT_FALSE(collector.configure());
    }
    closed.uninstall();
    EXPECT_TRUE(logged("(8.09.08)"));
    EXPECT_TRUE(logged("Unable to collect performance data."));
    EXPECT_EQ(Platform::PDH_NULL_HANDLE, pdhQuery);
    EXPECT_TRUE(counterRegistry().counters.empty());
}

TEST_F(CollectorConfigurationTest, ConfiguringAgainRebuildsCountersThreadsAndDataFiles)
{
    configure(collect(scheme("Ravlon", "true", "counters-file", "ravlon.counters")));
    Collector collector;
    ASSERT_TRUE(collector.configure());
    // What a restart empties before it configures again.
    collector.clearThreads();
    DataDelivery::instance().clear();
    clearRegistry();
    configure(collect(scheme("Ravlon", "true", "counters-file", "disk.counters") +
                      scheme("Disk", "true", "counters-file", "disk.counters")));
    ASSERT_TRUE(collector.configure());
    // The scheme configured before keeps its first list.
    EXPECT_NE(Platform::PDH_NULL_HANDLE, pdhQuery);
    EXPECT_EQ(2u, counterRegistry().counters.size());
    EXPECT_EQ(std::vector<std::string>({MEMORY, CPU}), Sampling::schemeCounters()["Ravlon"]);
    EXPECT_EQ(std::vector<std::string>({DISK, MEMORY}), Sampling::schemeCounters()["Disk"]);
    EXPECT_EQ(2u, DataDelivery::instance().entries().size());
    EXPECT_EQ(std::vector<std::string>({"DataDelivery", "counterDataCollector(Ravlon)",
                                        "counterDataCollector(Disk)", "performanceDataPoller"}),
              collector.threadNames());
}
