// The configuration judge against the collector's own start-up, over a
// corpus of broken and odd configurations (tests/data/conf/judge): both must
// come to the same verdict, the one the file's name gives (start-/refuse-).
#include "ravlon/ConfigurationJudge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "agent/DataDelivery.h"
#include "common/ConfReader.h"
#include "logger/LogCommons.h"
#include "logger/LogSettings.h"
#include "logger/LoggerUnit.h"
#include "ravlon/Counter.h"
#include "ravlon/Ravlon.h"
#include "ravlon/Sampling.h"
#include "support/TestInstallation.h"

using namespace Telvar;
using Testing::TestInstallation;
namespace fs = std::filesystem;

namespace {

const std::string CORPUS = std::string(PROJECT_ROOT_DIR) + "/tests/data/conf/judge/";

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void replaceAll(std::string& text, const std::string& from, const std::string& to)
{
    for (size_t p = text.find(from); p != std::string::npos; p = text.find(from, p + to.size()))
        text.replace(p, from.size(), to);
}

class ConfigurationJudgeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(install_.configurationDirectory() + "primetime-dir");
        for (const auto& entry : fs::directory_iterator(CORPUS + "files"))
            fs::copy_file(entry.path(), install_.configurationDirectory() + entry.path().filename().string());
        previousLevel_ = debugLevel();
    }
    void TearDown() override
    {
        clearRegistry();
        Sampling::schemeCounters().clear();
        DataDelivery::instance().clear();
        setDebugLevel(previousLevel_);
        setMessageCatalog(SmartPointer<LogCommons>());
    }

    // The corpus file with its place holders filled, as ravlon.conf.
    std::string install(const std::string& name)
    {
        std::string text = slurp(CORPUS + name);
        replaceAll(text, "@CONF@", TestInstallation::quotedValue(install_.configurationDirectory()));
        replaceAll(text, "@TEMP@", TestInstallation::quotedValue(install_.temporaryDirectory()));
        replaceAll(text, "@WORK@", TestInstallation::quotedValue(install_.dir().path() + "/work/"));
        EXPECT_TRUE(install_.writeConfiguration(text));
        return install_.configurationDirectory() + "ravlon.conf";
    }
    ConfigurationJudge::Verdict judge(const std::string& name)
    {
        ConfReader reader;
        reader.readFile(install(name));
        return ConfigurationJudge::judge(reader, install_.configurationDirectory());
    }
    // The collector's own start-up on the same file.
    bool collectorStarts(const std::string& name)
    {
        install(name);
        Ravlon collector("dummy");
        collector.setInstanceLockName(TestInstallation::uniqueName("judge"));
        bool started = collector.configure();
        if (pdhQuery != Platform::PDH_NULL_HANDLE)
            Platform::perfData().closeQuery(pdhQuery);
        pdhQuery = Platform::PDH_NULL_HANDLE;
        TearDown();
        return started;
    }

    TestInstallation install_;
    int32_t previousLevel_ = 0;
};

TEST_F(ConfigurationJudgeTest, CheckAndCollectorAgreeOnEveryFileOfTheCorpus)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(CORPUS))
        if (entry.is_regular_file())
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    ASSERT_GE(names.size(), 50u);
    for (const std::string& name : names) {
        const bool expected = name.rfind("start-", 0) == 0;
        ASSERT_TRUE(expected || name.rfind("refuse-", 0) == 0) << name;
        ConfigurationJudge::Verdict verdict = judge(name);
        std::string findings;
        for (const ConfigurationJudge::Finding& f : verdict.findings)
            findings += f.line() + "\n";
        EXPECT_EQ(expected, !verdict.refused()) << name << "\n" << findings;
        EXPECT_EQ(expected, collectorStarts(name)) << name << "\n" << findings << install_.log();
    }
}

// What each problem is called: the line it is on, and the fix where one is known.
TEST_F(ConfigurationJudgeTest, FindingsNameLineAndRemedy)
{
    const struct {
        const char* file;
        const char* expected;
    } rows[] = {
        {"start-misspelt-working-dir.conf", "ravlon.conf:8: warning: ravlon.workingdir is not a known key and is not "
                                            "read (did you mean ravlon.working-dir?); without ravlon.working-dir, "
                                            "data goes to the default working directory"},
        {"start-unknown-type.conf", "ravlon.conf:10: warning: ravlon.log.debug-level: type \"Integr\" is not one of "
                                    "String, Bool, Integer, DirName, FileName, TimeSpan (did you mean Integer?)"},
        {"start-debug-level-9.conf", "ravlon.conf:10: warning: ravlon.log.debug-level 9 is outside 0 to 5"},
        {"start-degrade-maybe.conf", "ravlon.conf:9: warning: ravlon.degrade-pdh-warnings = \"maybe\": not a Bool value; false (the "
                                     "default) is used"},
        {"start-primetime-missing.conf", "ravlon.conf:9: warning: ravlon.primetime-file "},
        {"start-primetime-hour-25.conf", "primetime-hour-25:2: warning: the hour 25 is outside 0 to 23"},
        {"start-primetime-short-line.conf", "primetime-short:2: warning: expected YEAR:MONTH:DAY:WEEKDAY:HOUR"},
        {"start-missing-instance.conf", "missing-instance.counters:3: warning: Network Interface(no-such-nic0) (2 "
                                        "counters) of scheme Net: this host has no instance no-such-nic0 of Network "
                                        "Interface; it has "},
        {"start-missing-instance.conf", "this host has no instance 99 of Processor; it has 0"},
        {"start-interval-zero.conf", "ravlon.interval is outside P1S"},
        {"refuse-brace-missing-in-telvar.conf", "ravlon.conf:1: warning: the block of \"Telvar\" that starts here is "
                                                "not closed"},
        {"refuse-brace-missing-in-telvar.conf", "Telvar.ravlon is not a known key and is not read (ravlon belongs at the top level"},
        {"refuse-syntax-missing-paren.conf", "ravlon.conf:8: ConfReader: Missing '('."},
        {"refuse-counters-brace-on-object-line.conf", "brace.counters:2: expected \"{\" after object \"Memory {\""},
        {"refuse-active-maybe.conf", "ravlon.conf:10: ravlon.collect.Base.active (Bool) is required"},
    };
    for (const auto& row : rows) {
        std::string findings;
        for (const ConfigurationJudge::Finding& f : judge(row.file).findings)
            findings += f.line() + "\n";
        EXPECT_NE(std::string::npos, findings.find(row.expected)) << row.file << "\n" << findings;
    }
}

} // namespace
