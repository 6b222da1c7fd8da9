#include "logger/LoggerSink.h"

#include <gtest/gtest.h>

#include <string>

#include "common/ConfReader.h"
#include "logger/LogIdentifiers.h"
#include "logger/LogSeverity.h"
#include "logger/LoggerCentre.h"
#include "support/MemorySink.h"

using namespace Telvar;

TEST(LoggerSinkTest, ConfReaderLogsThroughTheConfigurationModule)
{
    SmartPointer<MemorySink> sink;
    SmartPointer<LoggerCentre> centre = MemorySink::makeCentre(sink);
    {
        ConfReader reader(LoggerSink::forModule(centre, ConfReader::MODULE_CONFIGURATION));
        reader.readText("a(String) = x {}\nb String", "log.conf");
        std::string s;
        EXPECT_EQ(2, reader.getString("b", s));
    }
    EXPECT_TRUE(sink->contains("ConfReader: Created.")) << sink->count();
    EXPECT_TRUE(sink->contains("ConfReader: Missing '('."));
    EXPECT_TRUE(sink->contains(", line 2."));
    EXPECT_TRUE(sink->contains("ConfReader: Not found."));
    EXPECT_TRUE(sink->contains("ConfReader: Destroyed."));
    EXPECT_TRUE(sink->contains("Created logger for the Configuration module."));
}

// A message keeps its severity and module on the way through.
TEST(LoggerSinkTest, MessagesKeepTheirSeverityAndModule)
{
    SmartPointer<MemorySink> sink;
    SmartPointer<LoggerCentre> centre = MemorySink::makeCentre(sink);
    LogSink log = LoggerSink::forModule(centre, MODULE_IPC);
    sink->clear();
    log.message(SEVERITY_WARNING, 7, {"first", "second"});
    log.message(SEVERITY_FATAL, 8, {});
    std::vector<std::string> lines = sink->lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(0u, lines[0].rfind("WARNING ", 0)) << lines[0];
    EXPECT_NE(std::string::npos, lines[0].find(".06.07)")) << lines[0];
    EXPECT_EQ(0u, lines[1].rfind("FATAL ", 0)) << lines[1];
    EXPECT_NE(std::string::npos, lines[1].find(".06.08)")) << lines[1];
}
