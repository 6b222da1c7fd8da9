#include "agent/Agent.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "agent/DataDelivery.h"
#include "agent/LogFile.h"
#include "common/ConfReader.h"
#include "common/Monopoly.h"
#include "common/Resources.h"
#include "logger/LogCommons.h"
#include "logger/LogSettings.h"
#include "logger/LoggerAgentFile.h"
#include "logger/LoggerUnit.h"
#include "platform/Process.h"
#include "platform/ThreadId.h"
#include "support/ManualClock.h"
#include "support/TestInstallation.h"

using namespace Telvar;
using Testing::TestInstallation;

namespace {

const std::string CATALOGUES = std::string(PROJECT_ROOT_DIR) + "/etc/";

class ConfiguredAgent : public Agent {
public:
    explicit ConfiguredAgent(const std::string& commandLine) : Agent(commandLine)
    {
        setProgramName("Ravlon");
        setInstanceLockName(lockName());
    }
    void run() override {}
    bool configureCollector() override
    {
        ++collectorRuns;
        threadsBeforeCollector = threads().size();
        return collectorResult;
    }
    static std::string& lockName()
    {
        static std::string name = TestInstallation::uniqueName("AgentConfigure");
        return name;
    }
    int collectorRuns = 0;
    size_t threadsBeforeCollector = 0;
    bool collectorResult = true;
};

class AgentConfigureTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        previousLevel_ = debugLevel();
        // Real time, short sleeps.
        time_.readWith([] { return Clock::system().nowSeconds(); });
        time_.sleepWith([](int ms) { Clock::system().sleepMilliseconds(ms > 0 ? 1 : 0); });
    }
    void TearDown() override
    {
        setDebugLevel(previousLevel_);
        setMessageCatalog(SmartPointer<LogCommons>());
    }

    // The agent keys and the collector's debug level, plus extra entries of
    // the "ravlon" block.
    std::string configuration(const std::string& ravlonEntries = "", bool withTemp = true,
                              const std::string& catalogues = CATALOGUES) const
    {
        std::string text = withTemp ? install_.agentKeys(catalogues)
                                    : "Telvar() = \"\" {\n  directories() = \"\" {\n    conf(DirName) = \"" +
                                          catalogues + "\" {}\n  }\n}\n";
        // Debug texts on through every run, also a restart's logging set-up.
        text += "log() = \"\" {\n  global() = \"\" {\n    debug-level(Integer) = 5 {}\n  }\n}\n";
        return text + "ravlon() = \"\" {\n  log() = \"\" {\n    debug-level(Integer) = 5 {}\n  }\n" +
               ravlonEntries + "}\n";
    }
    std::string log() const { return install_.log(); }
    static size_t count(const std::string& text, const std::string& part)
    {
        size_t n = 0;
        for (size_t p = text.find(part); p != std::string::npos; p = text.find(part, p + 1))
            ++n;
        return n;
    }

    Testing::ManualClock time_;
    TestInstallation install_;
    int32_t previousLevel_ = 0;
};

} // namespace

TEST_F(AgentConfigureTest, FullSequenceSetsUpEverythingTheCollectorNeeds)
{
    ASSERT_TRUE(install_.writeConfiguration(configuration()));
    ConfiguredAgent agent("dummy");
    ASSERT_TRUE(agent.configure());

    EXPECT_EQ(1, agent.collectorRuns);
    EXPECT_EQ(install_.configurationDirectory() + "ravlon.conf", agent.configurationFile());
    ASSERT_NE(nullptr, agent.configuration());
    EXPECT_EQ(ConfReader::LoadStatus::LOAD_OK, agent.configuration()->lastLoad().kind);
    EXPECT_TRUE(agent.instanceLock().held());
    EXPECT_EQ(5, debugLevel());
    EXPECT_EQ(install_.temporaryDirectory(), Agent::temporaryDirectory());
    EXPECT_EQ(Platform::currentThreadId(), Agent::agentThreadId());

    // The delivery thread is registered before the collector configures.
    EXPECT_EQ(1u, agent.threadsBeforeCollector);
    ASSERT_FALSE(agent.threads().empty());
    EXPECT_EQ(DataDelivery::THREAD_NAME, agent.threads().front().name);

    // The agent unit logs for the data files; the catalogue is in use.
    EXPECT_FALSE(agent.agentUnit().isNull());
    EXPECT_TRUE(LogFile::loggerUnit().equals(agent.agentUnit()));
    ASSERT_FALSE(agent.catalogue().isNull());
    EXPECT_TRUE(messageCatalog().equals(agent.catalogue()));
    std::string templ;
    EXPECT_TRUE(agent.catalogue()->lookup(21, 7, templ));
    EXPECT_TRUE(agent.catalogue()->lookup(9, 11, templ));
    EXPECT_TRUE(agent.catalogue()->lookup(1, 1, templ));

    const std::string text = log();
    EXPECT_NE(std::string::npos, text.find("messages for module \"ravlon\"."));
    EXPECT_NE(std::string::npos, text.find("messages for module \"agent\"."));
    EXPECT_NE(std::string::npos, text.find("Finished configuring."));
    // A file in the catalogue directory that this program does not select.
    EXPECT_NE(std::string::npos, text.find("Messages for module \"logger\" were rejected."));
}

TEST_F(AgentConfigureTest, CommandLineFileIsUsedOnlyAsTheFirstOption)
{
    // Quoted, with a blank and a "-": only that file has the temporary
    // directory, so configure succeeds only when it is read.
    ASSERT_TRUE(install_.dir().makeDirectory("my conf"));
    const std::string named = install_.dir().file("my conf/ravlon-test.conf");
    ASSERT_TRUE(Testing::TempDir::writeFile(named, configuration()));
    ASSERT_TRUE(install_.writeConfiguration(configuration("", false)));
    {
        ConfiguredAgent agent("dummy -c \"" + named + "\"");
        EXPECT_TRUE(agent.configure());
        EXPECT_EQ(named, agent.configurationFile());
        EXPECT_TRUE(agent.options().empty());
    }
    {
        ConfiguredAgent agent("dummy -x 1 -c \"" + named + "\"");
        EXPECT_FALSE(agent.configure());
        EXPECT_EQ(install_.configurationDirectory() + "ravlon.conf", agent.configurationFile());
        EXPECT_EQ(0, agent.collectorRuns);
    }
}

TEST_F(AgentConfigureTest, SecondInstanceIsRefusedWithMessage14)
{
    ASSERT_TRUE(install_.writeConfiguration(configuration()));
    ConfiguredAgent first("dummy");
    ASSERT_TRUE(first.configure());
    {
        ConfiguredAgent second("dummy");
        EXPECT_FALSE(second.configure());
        EXPECT_EQ(0, second.collectorRuns);
        EXPECT_FALSE(second.instanceLock().held());
    }
    const std::string text = log();
    EXPECT_NE(std::string::npos, text.find("(8.09.14)"));
    EXPECT_NE(std::string::npos, text.find("Another instance of Ravlon is already running on this host"));
    // The first keeps its lock, also across a later configure.
    EXPECT_TRUE(first.configure());
    EXPECT_TRUE(first.instanceLock().held());
    EXPECT_EQ(1u, count(log(), "(8.09.14)"));
}

TEST_F(AgentConfigureTest, PrimeTimeFileIsOptionalButMustLoadWhenPresent)
{
    ASSERT_TRUE(install_.writeConfiguration(configuration()));
    {
        ConfiguredAgent agent("dummy");
        EXPECT_TRUE(agent.configure());
        EXPECT_EQ("undef", agent.facts().primeTimeClass(DateTime(1700000000)));
    }
    ASSERT_TRUE(install_.writeConfiguration("*:*:*:*:* \n", "primetime"));
    {
        ConfiguredAgent agent("dummy");
        EXPECT_TRUE(agent.configure());
        EXPECT_EQ("prime", agent.facts().primeTimeClass(DateTime(1700000000)));
    }
    // A directory in its place cannot be loaded.
    ASSERT_TRUE(install_.dir().makeDirectory("conf/elsewhere"));
    ASSERT_TRUE(install_.writeConfiguration(configuration(
        "  primetime-file(FileName) = \"" + TestInstallation::quotedValue(install_.configurationDirectory()) +
        "elsewhere\" {}\n")));
    {
        ConfiguredAgent agent("dummy");
        EXPECT_FALSE(agent.configure());
        EXPECT_EQ(0, agent.collectorRuns);
    }
    EXPECT_NE(std::string::npos, log().find("(8.21.05)"));
    EXPECT_NE(std::string::npos, log().find("The prime-time file cannot be loaded (GENERAL settings)"));
}

TEST_F(AgentConfigureTest, MissingTemporaryDirectoryFailsAfterTheDeliveryThread)
{
    ASSERT_TRUE(install_.writeConfiguration(configuration("", false)));
    ConfiguredAgent agent("dummy");
    EXPECT_FALSE(agent.configure());
    EXPECT_EQ(0, agent.collectorRuns);
    ASSERT_EQ(1u, agent.threads().size());
    EXPECT_EQ(DataDelivery::THREAD_NAME, agent.threads().front().name);
    EXPECT_EQ(std::string::npos, log().find("Finished configuring."));
}

TEST_F(AgentConfigureTest, FailuresBeforeTheConfigurationIsRead)
{
    ASSERT_TRUE(install_.writeConfiguration(configuration()));
    {
        // Not a program this family knows: no logging is even set up.
        ConfiguredAgent agent("dummy");
        agent.setProgramName("Nonesuch");
        EXPECT_FALSE(agent.configure());
        EXPECT_TRUE(agent.programUnit().isNull());
        EXPECT_FALSE(agent.instanceLock().held());
    }
    {
        // A failure of the collector's own step is the sequence's result.
        ConfiguredAgent agent("dummy");
        agent.collectorResult = false;
        EXPECT_FALSE(agent.configure());
        EXPECT_EQ(1, agent.collectorRuns);
    }
    // Without the configuration directory resource.
    ASSERT_TRUE(install_.dir().makeDirectory("registry-2"));
    Platform::setEnvironmentVariable("TELVAR_REGISTRY_ROOT", install_.dir().file("registry-2"));
    setResource("StartupLogDir", install_.logDirectory());
    const uint32_t level = 5;
    writeRegistryText(resourceKeyPath(), "StartupDebugLevel", Platform::REGISTRY_DWORD, &level, sizeof level, false);
    ConfiguredAgent agent("dummy");
    EXPECT_FALSE(agent.configure());
    // The reader exists, but no file was read into it.
    ASSERT_NE(nullptr, agent.configuration());
    EXPECT_EQ(nullptr, agent.configuration()->root());
    EXPECT_NE(std::string::npos, log().find("Could not get configuration dir from system."));
}

TEST_F(AgentConfigureTest, MissingCatalogueDirectoryIsReportedAndTheSequenceGoesOn)
{
    ASSERT_TRUE(install_.writeConfiguration(configuration("", true, "")));
    ConfiguredAgent agent("dummy");
    EXPECT_TRUE(agent.configure());
    EXPECT_EQ(1, agent.collectorRuns);
    ASSERT_FALSE(agent.catalogue().isNull());
    EXPECT_EQ(0u, agent.catalogue()->size());
    // Unworded, the message still names its number and parameter.
    EXPECT_NE(std::string::npos, log().find("(8.21.09)"));
    EXPECT_NE(std::string::npos, log().find("Telvar.directories.conf"));

    // A base directory without catalogues loads none.
    ASSERT_TRUE(install_.writeConfiguration(configuration("", true, install_.dir().file("nowhere/"))));
    EXPECT_TRUE(agent.configure());
    EXPECT_NE(std::string::npos, log().find("No log messages were loaded."));
}

TEST_F(AgentConfigureTest, RestartKeepsTheFileTheLockTheUnitAndTheDeliveryThread)
{
    const std::string named = install_.dir().file("named.conf");
    ASSERT_TRUE(Testing::TempDir::writeFile(named, configuration()));
    // The default file would fail: it has no temporary directory.
    ASSERT_TRUE(install_.writeConfiguration(configuration("", false)));
    // Quoted: the temporary path contains "-".
    ConfiguredAgent agent("dummy -c '" + named + "'");
    ASSERT_TRUE(agent.configure());
    const ConfReader* firstReader = agent.configuration();
    SmartPointer<LoggerUnit> unit = agent.agentUnit();
    ASSERT_TRUE(agent.startThreads());

    // The file changed in between: the restart reads it again.
    ASSERT_TRUE(Testing::TempDir::writeFile(
        named, configuration("  marker(String) = again {}\n")));
    ASSERT_TRUE(agent.restart());
    EXPECT_EQ(named, agent.configurationFile());
    EXPECT_NE(firstReader, agent.configuration());
    std::string marker;
    EXPECT_EQ(ConfReader::CONF_OK, agent.configuration()->getString("ravlon.marker", marker));
    EXPECT_TRUE(agent.instanceLock().held());
    EXPECT_TRUE(agent.agentUnit().equals(unit));
    EXPECT_EQ(2, agent.collectorRuns);
    ASSERT_EQ(1u, agent.threads().size());
    EXPECT_EQ(DataDelivery::THREAD_NAME, agent.threads().front().name);
    EXPECT_EQ(JOB_RUNNING, agent.threads().front().thread->status());
    agent.stopAndVerifyThreads();
}
