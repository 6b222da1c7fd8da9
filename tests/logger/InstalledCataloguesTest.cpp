// The installed catalogues, rendered with the parameters the program passes
// for each message: every sent message has a text, and no text misses a
// parameter or shows one of the wrong type.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <string>

#include "common/ConfReader.h"
#include "logger/LogCommons.h"
#include "logger/LogSettings.h"
#include "logger/LogSetup.h"
#include "logger/LogFormat.h"
#include "logger/LogIdentifiers.h"
#include "logger/ParamStream.h"
#include "support/TempDir.h"

using namespace Telvar;

namespace {

const std::string ETC = std::string(PROJECT_ROOT_DIR) + "/etc/";

struct Call {
    int32_t module;
    int32_t message;
    ParamStream params;
};

// What the senders pass, one row per distinct way of sending.
std::vector<Call> calls()
{
    const std::string path = "/opt/ravlon/work/RavlonLog.make";
    return {
        // Agent: data files, delivery, threads, start-up.
        {MODULE_AGENT, 1, ParamStream() << "Open logfile " << path},
        {MODULE_AGENT, 1, ParamStream() << "prepare " << "data delivery"},
        {MODULE_AGENT, 2, ParamStream() << path << "FL_OPEN"},
        {MODULE_AGENT, 3, ParamStream() << "LogFile:write: Trying to write to NULL file object."},
        {MODULE_AGENT, 4, ParamStream() << path << "UNKNOWN"},
        {MODULE_AGENT, 5, ParamStream() << "GENERAL"},
        {MODULE_AGENT, 6, ParamStream() << "cannot read agent.mess"},
        {MODULE_AGENT, 7, ParamStream() << "DataDelivery" << "UNKNOWN"},
        {MODULE_AGENT, 7, ParamStream() << "DataDelivery" << std::to_string(3)},
        {MODULE_AGENT, 8, ParamStream() << "performanceDataPoller" << "UNKNOWN"},
        {MODULE_AGENT, 8, ParamStream() << "performanceDataPoller" << std::to_string(2)},
        {MODULE_AGENT, 9, ParamStream() << "Telvar.directories.conf"},
        {MODULE_AGENT, 10, ParamStream() << path << "/opt/ravlon/work/RavlonLog.data"},
        {MODULE_AGENT, 11, ParamStream()},
        {MODULE_AGENT, 12, ParamStream()},
        {MODULE_AGENT, 13, ParamStream() << path},
        {MODULE_AGENT, 14, ParamStream() << static_cast<int64_t>(3) << "P28D"},
        // Collector: configuration, counters, sampling, commands.
        {MODULE_RAVLON, 2, ParamStream()},
        {MODULE_RAVLON, 3, ParamStream() << "/opt/ravlon/conf/ravlon.counters"},
        {MODULE_RAVLON, 8, ParamStream()},
        {MODULE_RAVLON, 9, ParamStream() << "There are no counters."},
        {MODULE_RAVLON, 10, ParamStream() << "\\Memory\\Available Bytes"},
        {MODULE_RAVLON, 11, ParamStream() << "/opt/ravlon/Log/temp/RVL/"},
        {MODULE_RAVLON, 12, ParamStream() << "IPC_SEND"},
        {MODULE_RAVLON, 13, ParamStream() << "/opt/ravlon/conf/ravlon.counters"},
        {MODULE_RAVLON, 14, ParamStream() << "Ravlon"},
        {MODULE_RAVLON, 16, ParamStream() << "Access is denied."},
        {MODULE_RAVLON, 17, ParamStream() << "Memory" << "Argument"},
        {MODULE_RAVLON, 18, ParamStream() << "\\Memory\\Available Bytes"},
        {MODULE_RAVLON, 23, ParamStream() << "ravlon.collect.Ravlon.active"},
        {MODULE_RAVLON, 24, ParamStream() << "ravlon.collect"},
        {MODULE_RAVLON, 25, ParamStream() << "Counters-File" << "ravlon.collect.Disk.scheme"},
        {MODULE_RAVLON, 26, ParamStream()},
        {MODULE_RAVLON, 27, ParamStream() << "File"},
        {MODULE_RAVLON, 27, ParamStream() << "getCounters(Ravlon)"},
        {MODULE_RAVLON, 28, ParamStream() << "\\Memory\\Available Bytes"},
        {MODULE_RAVLON, 29, ParamStream() << "Ravlon"},
        {MODULE_RAVLON, 30, ParamStream() << "the configuration failed"},
        {MODULE_RAVLON, 31, ParamStream() << "ravlon.conf:3: ConfReader: Missing '('."},
        {MODULE_RAVLON, 32, ParamStream() << "ravlon.conf:8: ravlon.workingdir is not a known key"},
        {MODULE_RAVLON, 33, ParamStream() << "\\Memory\\Available Bytes"},
        {MODULE_RAVLON, 34, ParamStream() << "/etc/ravlon/ravlon.conf:2: Missing '('."},
        {MODULE_RAVLON, 36, ParamStream() << "/etc/ravlon/ravlon.conf"},
        {MODULE_RAVLON, 35, ParamStream() << "/var/lib/ravlon/work/" << "writable by its group"},
        {MODULE_RAVLON, 41, ParamStream() << "the name Telvar_Ravlon is in use by PID 42"},
        {MODULE_RAVLON, 70, ParamStream() << "http://127.0.0.1:8428/write" << "12" << "400 unknown field"
                                          << "/opt/ravlon/work/influx.rejected"},
        {MODULE_RAVLON, 71, ParamStream() << "4096" << "8192"},
        {MODULE_RAVLON, 72, ParamStream() << "http://127.0.0.1:8428/write" << "Connection"},
        {MODULE_RAVLON, 74, ParamStream() << "cannot listen on 127.0.0.1:9473; no /metrics"},
        {MODULE_RAVLON, 75, ParamStream() << "/opt/ravlon/work/influx.spool"},
        // Configuration reader.
        {MODULE_CONFIGURATION, 1, ParamStream() << "/opt/ravlon/conf/ravlon.conf" << "FL_OPEN: no such file"},
        {MODULE_CONFIGURATION, 2, ParamStream() << "ravlon.conf" << "ConfReader: Missing '('."},
        {MODULE_CONFIGURATION, 3, ParamStream() << "ravlon.working-dir"},
        {MODULE_CONFIGURATION, 15, ParamStream()},
    };
}

// Every numbered line of every installed catalogue: (module, message) -> text.
std::map<std::pair<int32_t, int32_t>, std::string> installedTemplates()
{
    std::map<std::pair<int32_t, int32_t>, std::string> all;
    for (const char* key : {"agent", "ravlon", "configuration", "logger"}) {
        std::istringstream in(Testing::TempDir::readFile(ETC + "LogMessages/" + key + ".mess"));
        std::string line;
        while (std::getline(in, line)) {
            int32_t number = 0;
            std::string templ;
            if (LogCommons::parseLine(line, number, templ))
                all[{parseModuleName(key), number}] = templ;
        }
    }
    return all;
}

} // namespace

TEST(InstalledCataloguesTest, EveryTemplateRendersWhatItsSendersPass)
{
    const auto templates = installedTemplates();
    ASSERT_FALSE(templates.empty());
    std::set<std::pair<int32_t, int32_t>> called;
    for (const Call& call : calls()) {
        const auto id = std::make_pair(call.module, call.message);
        called.insert(id);
        auto found = templates.find(id);
        if (found == templates.end()) {
            ADD_FAILURE() << "no text for " << call.module << "." << call.message;
            continue;
        }
        const std::string text = formatTemplate(found->second, call.params.str());
        EXPECT_EQ(std::string::npos, text.find("<\?\?\?>")) << call.module << "." << call.message << ": " << text;
        // A parameter of the wrong type shows between backslashes; the
        // sample parameters hold no backslash before the path examples.
        const std::string withoutPaths = formatTemplate(found->second, ParamStream().str());
        EXPECT_EQ(std::string::npos, withoutPaths.find('\\')) << found->second;
        for (size_t p = text.find('\\'); p != std::string::npos; p = text.find('\\', p + 1))
            EXPECT_NE(std::string::npos, call.params.str().find(text.substr(p, 2)))
                << call.module << "." << call.message << ": stray escape in " << text;
    }
    // No text waits for a sender that does not exist.
    for (const auto& entry : templates)
        EXPECT_TRUE(called.count(entry.first) != 0)
            << "catalogue text without sender: " << entry.first.first << "." << entry.first.second;
}

TEST(InstalledCataloguesTest, TheProgramsSelectionLoadsAllThree)
{
    LogCommons catalogue;
    LogCommons::LoadResult result = catalogue.load(ETC, "ravlon,configuration,agent,taskwarden");
    EXPECT_TRUE(result.completed);
    EXPECT_EQ("", result.error);
    EXPECT_EQ(3u, result.loaded.size());
    std::string templ;
    EXPECT_TRUE(catalogue.lookup(MODULE_RAVLON, 14, templ));
    EXPECT_EQ("Another instance of Ravlon is already running on this host; this one ends.",
              formatTemplate(templ, (ParamStream() << "Ravlon").str()));
}

// Under a flood the log must not grow without end: the shipped scheme
// rotates by size while the program runs, not only at start-up.
TEST(InstalledCataloguesTest, TheShippedConfigurationRotatesTheLogWhileRunning)
{
    ConfReader reader((LogSink()));
    reader.readFile(ETC + "ravlon.conf");
    std::string words;
    ASSERT_EQ(ConfReader::CONF_OK, reader.getString("log.rotation.scheme", words));
    EXPECT_NE(0, LogSetup::applySchemeWords(0, words) & ROTATE_SIZE) << words;
    int32_t size = 0;
    ASSERT_EQ(ConfReader::CONF_OK, reader.getInteger("log.rotation.size", size));
    EXPECT_GT(size, 0);
}
