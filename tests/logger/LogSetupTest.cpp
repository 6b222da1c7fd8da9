#include "logger/LogSetup.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "common/ConfReader.h"
#include "common/FileOperations.h"
#include "common/Resources.h"
#include "common/TimeSpan.h"
#include "logger/LogIdentifiers.h"
#include "logger/LogMessengerIPC.h"
#include "logger/LogSettings.h"
#include "logger/LoggerAgentFile.h"
#include "logger/LoggerCentre.h"
#include "logger/LoggerUnit.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "support/ManualClock.h"
#include "support/TempDir.h"

using namespace Telvar;

namespace {

class LogSetupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Platform::setEnvironmentVariable("TELVAR_REGISTRY_ROOT", dir_.file("registry"));
        Platform::unsetEnvironmentVariable("TELVAR_ENV");
        time_.readWith([] { return Clock::system().nowSeconds(); });
        time_.sleepWith([](int) {});
        reset();
        setup_.logFileName = "RavlonDebug.log";
        setup_.applicationId = APPLICATION_RAVLON;
        setup_.moduleId = MODULE_RAVLON;
    }
    void TearDown() override
    {
        setup_.unit.reset();
        setup_.centre.reset();
        setup_.messenger.reset();
        reset();
        setDebugLevel(5);
        setLogApplicationName("core");
        Platform::unsetEnvironmentVariable("TELVAR_REGISTRY_ROOT");
    }
    static void reset()
    {
        setRotationScheme(ROTATE_NONE);
        setRotationInterval(TimeSpan(0));
        setRotationSize(10);
        setInitRotationPending(true);
        setSeverityThreshold(0);
        setTimeMode(TIME_MODE_LOCAL);
    }
    void configureWith(const std::string& text)
    {
        reader_.readText(text, "log.conf");
        setup_.configuration = &reader_;
        EXPECT_TRUE(setup_.configure());
    }
    std::string logFileOfSink() const
    {
        SmartPointer<LoggerAgent> sink = setup_.messenger->sink();
        auto* file = dynamic_cast<LoggerAgentFile*>(sink.get());
        return file ? file->logFile() : "<no file sink>";
    }

    Testing::ManualClock time_;
    Testing::TempDir dir_;
    LogSetup setup_;
    ConfReader reader_;
};

} // namespace

TEST_F(LogSetupTest, StartTakesItsBootstrapFromTheRegistry)
{
    const std::string logs = dir_.file("Logs");
    ASSERT_EQ(RESOURCE_OK, setResource("StartupLogDir", logs));
    const uint32_t level = 3;
    ASSERT_EQ(RESOURCE_OK, writeRegistryText(resourceKeyPath(), "StartupDebugLevel", Platform::REGISTRY_DWORD,
                                             &level, 4, false));
    ASSERT_EQ(RESOURCE_OK, setResource("LogFileRotationScheme", "time, size"));
    setRotationScheme(ROTATE_INIT);

    ASSERT_TRUE(setup_.start());
    // The directory keeps its case: lower-casing would name another directory here.
    EXPECT_EQ(logs + "/", setup_.logDirectory);
    EXPECT_EQ(3, debugLevel());
    EXPECT_EQ(ROTATE_INIT | ROTATE_TIME | ROTATE_SIZE, rotationScheme());
    EXPECT_EQ("Ravlon", logApplicationName());
    ASSERT_FALSE(setup_.unit.isNull());
    EXPECT_EQ(MODULE_RAVLON, setup_.unit->moduleId());
    EXPECT_EQ(APPLICATION_RAVLON, setup_.centre->applicationId());
    EXPECT_TRUE(setup_.unit->centre().equals(setup_.centre));
    EXPECT_NE(nullptr, dynamic_cast<LogMessengerIPC*>(setup_.messenger.get()));
    EXPECT_EQ(logs + "/RavlonDebug.log", logFileOfSink());
}

TEST_F(LogSetupTest, StartWithoutRegistryValuesKeepsTheDefaults)
{
    setRotationScheme(ROTATE_SIZE);
    ASSERT_EQ(RESOURCE_OK, setResource("Other", "x"));
    ASSERT_TRUE(setup_.start());
    EXPECT_EQ("", setup_.logDirectory);
    EXPECT_EQ(0, debugLevel());
    EXPECT_EQ(ROTATE_SIZE, rotationScheme());
    EXPECT_EQ("RavlonDebug.log", logFileOfSink());

    // A second start only reconfigures, which needs a configuration.
    SmartPointer<LoggerUnit> first = setup_.unit;
    EXPECT_FALSE(setup_.start());
    EXPECT_TRUE(setup_.unit.equals(first));
}

TEST_F(LogSetupTest, RegistrySchemeNoneClearsAndOutOfRangeLevelIsIgnored)
{
    setRotationScheme(ROTATE_TIME);
    setDebugLevel(4);
    ASSERT_EQ(RESOURCE_OK, setResource("StartupLogDir", dir_.path()));
    ASSERT_EQ(RESOURCE_OK, setResource("LogFileRotationScheme", "size,none,init"));
    const uint32_t level = 9;
    ASSERT_EQ(RESOURCE_OK, writeRegistryText(resourceKeyPath(), "StartupDebugLevel", Platform::REGISTRY_DWORD,
                                             &level, 4, false));
    ASSERT_TRUE(setup_.start());
    EXPECT_EQ(ROTATE_INIT, rotationScheme());
    EXPECT_EQ(4, debugLevel());
}

TEST_F(LogSetupTest, SchemeWords)
{
    EXPECT_EQ(6, LogSetup::applySchemeWords(0, "time,size"));
    EXPECT_EQ(0, LogSetup::applySchemeWords(7, "size,none"));
    EXPECT_EQ(5, LogSetup::applySchemeWords(4, "INIT, weekly"));
    EXPECT_EQ(3, LogSetup::applySchemeWords(3, ""));
}

TEST_F(LogSetupTest, ConfigureWithoutConfigurationFails)
{
    EXPECT_FALSE(setup_.configure());
}

TEST_F(LogSetupTest, ConfigureAppliesTheLogKeys)
{
    setRotationScheme(ROTATE_SIZE);
    setInitRotationPending(false);
    configureWith("log() = \"\" {\n"
                  "  time(String) = zulu {}\n"
                  "  rotation() = \"\" {\n"
                  "    scheme(String) = \"time,init\" {}\n"
                  "    time(TimeSpan) = P1H30M {}\n"
                  "    size(Integer) = 5 {}\n"
                  "  }\n"
                  "  global() = \"\" {\n"
                  "    severity(String) = WARNING {}\n"
                  "    debug-level(Integer) = 2 {}\n"
                  "  }\n"
                  "}\n");
    EXPECT_EQ(TIME_MODE_ZULU, timeMode());
    EXPECT_EQ(ROTATE_INIT | ROTATE_TIME, rotationScheme());
    EXPECT_EQ(5400, rotationInterval().seconds());
    EXPECT_EQ(5, rotationSize());
    EXPECT_EQ(1, severityThreshold());
    EXPECT_EQ(2, debugLevel());
    // "init" joined the scheme: a start-up rotation is wanted again.
    EXPECT_TRUE(initRotationPending());

    // Init was there before: nothing is armed.
    setInitRotationPending(false);
    EXPECT_TRUE(setup_.configure());
    EXPECT_FALSE(initRotationPending());
}

TEST_F(LogSetupTest, ConfigureDefaultsAndBadWords)
{
    setRotationScheme(ROTATE_TIME | ROTATE_SIZE);
    setRotationInterval(TimeSpan(60));
    setRotationSize(3);
    setSeverityThreshold(3);
    setDebugLevel(4);
    configureWith("other(String) = x {}\n");
    EXPECT_EQ(TIME_MODE_LOCAL, timeMode());
    EXPECT_EQ(ROTATE_TIME | ROTATE_SIZE, rotationScheme());
    EXPECT_EQ(0, rotationInterval().seconds());
    EXPECT_EQ(0, rotationSize());
    EXPECT_EQ(0, severityThreshold());
    EXPECT_EQ(0, debugLevel());

    setSeverityThreshold(2);
    ConfReader second;
    second.readText("log() = \"\" {\n"
                    "  time(String) = utc {}\n"
                    "  rotation() = \"\" { scheme(String) = \"size,none\" {} }\n"
                    "  global() = \"\" {\n"
                    "    severity(String) = WARNIGN {}\n"
                    "    debug-level(Integer) = 7 {}\n"
                    "  }\n"
                    "}\n",
                    "bad.conf");
    setup_.configuration = &second;
    setDebugLevel(4);
    EXPECT_TRUE(setup_.configure());
    EXPECT_EQ(TIME_MODE_OTHER, timeMode());
    EXPECT_EQ(ROTATE_NONE, rotationScheme());
    EXPECT_EQ(2, severityThreshold());
    EXPECT_EQ(4, debugLevel());
}

TEST_F(LogSetupTest, LogDirectoryKeyMovesTheLogFile)
{
    ASSERT_EQ(RESOURCE_OK, setResource("StartupLogDir", dir_.path()));
    ASSERT_TRUE(setup_.start());
    setDebugLevel(1);
    ASSERT_TRUE(setup_.unit->debug(1, "before the move"));
    EXPECT_TRUE(fileExists(dir_.file("RavlonDebug.log")));

    const std::string moved = dir_.file("var/Log/ravlon");
    configureWith("Telvar() = \"\" { directories() = \"\" { log(DirName) = \"" + moved + "\" {} } }\n"
                  "log() = \"\" { global() = \"\" { debug-level(Integer) = 1 {} } }\n");
    EXPECT_EQ(moved + "/", setup_.logDirectory);
    EXPECT_EQ(moved + "/RavlonDebug.log", logFileOfSink());
    ASSERT_TRUE(setup_.unit->debug(1, "after the move"));
    const std::string text = Testing::TempDir::readFile(moved + "/RavlonDebug.log");
    EXPECT_NE(std::string::npos, text.find("after the move")) << text;
    EXPECT_EQ(std::string::npos, text.find("before the move")) << text;
}

TEST_F(LogSetupTest, LogDirectoryThatCannotBeMadeKeepsTheOldOne)
{
    ASSERT_EQ(RESOURCE_OK, setResource("StartupLogDir", dir_.path()));
    ASSERT_TRUE(setup_.start());
    ASSERT_TRUE(dir_.write("blocker", "a file where a directory should be"));
    configureWith("Telvar() = \"\" { directories() = \"\" { log(DirName) = \"" + dir_.file("blocker/logs") +
                  "\" {} } }\n");
    EXPECT_EQ(dir_.path() + "/", setup_.logDirectory);
    EXPECT_EQ(dir_.file("RavlonDebug.log"), logFileOfSink());
}
