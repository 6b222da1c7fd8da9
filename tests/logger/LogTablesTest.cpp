#include <gtest/gtest.h>

#include <set>
#include <string>

#include "logger/LogIdentifiers.h"
#include "logger/LogSettings.h"
#include "logger/LogSeverity.h"

using namespace Telvar;

TEST(LogTablesTest, SeverityWords)
{
    const char* words[] = {"NOTICE", "WARNING", "ERROR", "CRITICAL", "FATAL"};
    for (int32_t s = 0; s < 5; ++s) {
        EXPECT_EQ(words[s], severityName(s));
        EXPECT_EQ(s, parseSeverity(words[s]));
    }
    EXPECT_EQ("", severityName(5));
    EXPECT_EQ("", severityName(-1));
    EXPECT_EQ(5, parseSeverity("NONE"));
    EXPECT_EQ(5, parseSeverity("NOTHING"));
    EXPECT_EQ(6, parseSeverity("notice"));
    EXPECT_EQ(6, parseSeverity("WARNIN"));
    EXPECT_EQ(6, parseSeverity("ERROR "));
    EXPECT_EQ(6, parseSeverity(""));
}

// The rows themselves are checked by their round trip below; here the names
// of this program's own modules, which its log lines carry.
TEST(LogTablesTest, NamedModules)
{
    EXPECT_EQ("IPC", moduleName(6));
    EXPECT_EQ("Ravlon", moduleName(9));
    EXPECT_EQ("Agent", moduleName(21));
    EXPECT_EQ(0, parseModuleName("core"));
    EXPECT_EQ(9, parseModuleName("ravlon"));
    EXPECT_EQ(9, parseModuleName("RavLon"));
    EXPECT_EQ(21, parseModuleName("AGENT"));
    EXPECT_EQ(1, parseModuleName("configuration"));
    EXPECT_EQ(MODULE_TASKWARDEN, parseModuleName("taskwarden"));
    EXPECT_EQ(parseModuleName("scheduler"), parseModuleName("sheduler"));
    EXPECT_EQ(64, parseModuleName("notamodule"));
    EXPECT_EQ(64, parseModuleName(""));
    EXPECT_EQ(64, parseModuleName("ravlon "));
    EXPECT_EQ("<<Unknown>>", moduleName(58));
    EXPECT_EQ("<<Unknown>>", moduleName(-1));
    EXPECT_EQ("<<Unknown>>", moduleName(64));
}

TEST(LogTablesTest, EveryModuleRowHasItsOwnKey)
{
    std::set<std::string> names;
    for (int32_t id = 0; id < MODULE_COUNT; ++id) {
        std::string name = moduleName(id);
        EXPECT_NE("<<Unknown>>", name) << id;
        EXPECT_TRUE(names.insert(name).second) << name;
        EXPECT_EQ(id, parseModuleName(name)) << name;
    }
    EXPECT_EQ(58u, names.size());
}

TEST(LogTablesTest, Applications)
{
    EXPECT_EQ("Core", applicationName(1));
    EXPECT_EQ("Ravlon", applicationName(8));
    EXPECT_EQ(1, parseApplicationName("Core"));
    EXPECT_EQ(8, parseApplicationName("RAVLON"));
    EXPECT_EQ(0, parseApplicationName("nobody"));
    EXPECT_EQ("<<Unknown>>", applicationName(0));
    EXPECT_EQ("<<Unknown>>", applicationName(50));
    std::set<std::string> names;
    for (int32_t id = 1; id <= APPLICATION_COUNT; ++id) {
        std::string name = applicationName(id);
        EXPECT_NE("<<Unknown>>", name) << id;
        EXPECT_TRUE(names.insert(name).second) << name;
        EXPECT_EQ(id, parseApplicationName(name)) << name;
    }
    EXPECT_EQ(49u, names.size());
}

TEST(LogTablesTest, SettersIgnoreValuesOutOfRange)
{
    EXPECT_EQ(0, severityThreshold());
    EXPECT_EQ(5, debugLevel());
    EXPECT_EQ(TIME_MODE_LOCAL, timeMode());

    setSeverityThreshold(3);
    setSeverityThreshold(6);
    setSeverityThreshold(-1);
    EXPECT_EQ(3, severityThreshold());
    setSeverityThreshold(5);
    EXPECT_EQ(5, severityThreshold());
    setSeverityThreshold(0);
    EXPECT_EQ(0, severityThreshold());

    setDebugLevel(2);
    setDebugLevel(-5);
    setDebugLevel(42);
    EXPECT_EQ(2, debugLevel());
    setDebugLevel(0);
    EXPECT_EQ(0, debugLevel());
    setDebugLevel(5);

    setTimeMode(TIME_MODE_ZULU);
    setTimeMode(3);
    EXPECT_EQ(TIME_MODE_ZULU, timeMode());
    setTimeMode(TIME_MODE_LOCAL);
}
