#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include "common/SmartPointer.h"
#include "logger/LogCommons.h"
#include "logger/LogIdentifiers.h"
#include "logger/LogSettings.h"
#include "logger/LoggerUnit.h"
#include "logger/ParamStream.h"
#include "support/MemorySink.h"
#include "support/TempDir.h"

using namespace Telvar;

namespace {

const std::string FIXTURES = std::string(TEST_SOURCE_DIR) + "/data/logger/catalogs";

std::vector<std::string> sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

std::string templateOf(const LogCommons& catalog, int32_t module, int32_t message)
{
    std::string templ;
    return catalog.lookup(module, message, templ) ? templ : "<none>";
}

size_t countOf(const LogCommons::LoadResult& result, const std::string& key)
{
    for (size_t i = 0; i < result.loaded.size(); ++i)
        if (result.loaded[i] == key)
            return result.counts[i];
    return 0;
}

} // namespace

TEST(LogCommonsTest, ParseLineSplitsAtTheFirstColonAndTrims)
{
    int32_t number = -1;
    std::string templ;
    ASSERT_TRUE(LogCommons::parseLine("12: Template %s: more", number, templ));
    EXPECT_EQ(12, number);
    EXPECT_EQ("Template %s: more", templ);
    ASSERT_TRUE(LogCommons::parseLine("  5x : padded\t\r", number, templ));
    EXPECT_EQ(5, number);
    EXPECT_EQ("padded", templ);
    ASSERT_TRUE(LogCommons::parseLine("30", number, templ));
    EXPECT_EQ(30, number);
    EXPECT_EQ("", templ);
    EXPECT_FALSE(LogCommons::parseLine("", number, templ));
    EXPECT_FALSE(LogCommons::parseLine("\r", number, templ));
    EXPECT_FALSE(LogCommons::parseLine("   ", number, templ));
    EXPECT_FALSE(LogCommons::parseLine("// 4: comment", number, templ));
}

TEST(LogCommonsTest, LoadAllReadsKnownModulesAndSkipsTheRest)
{
    LogCommons catalog;
    LogCommons::LoadResult result = catalog.load(FIXTURES, LogCommons::SELECT_ALL);
    EXPECT_TRUE(result.completed);
    EXPECT_EQ("", result.error);
    EXPECT_EQ((std::vector<std::string>{"agent", "ravlon"}), sorted(result.loaded));
    // A directory called logger.mess and a file of another extension are not listed at all.
    EXPECT_EQ((std::vector<std::string>{"notamodule.mess"}), result.skipped);
    ASSERT_EQ(result.loaded.size(), result.counts.size());
    EXPECT_EQ(4u, countOf(result, "agent"));
    EXPECT_EQ(3u, countOf(result, "ravlon"));

    EXPECT_EQ("Template of twelve %s", templateOf(catalog, MODULE_RAVLON, 12));
    EXPECT_EQ("Started.", templateOf(catalog, MODULE_RAVLON, 2));
    // The last line has no line feed and is still read.
    EXPECT_EQ("a: b: c", templateOf(catalog, MODULE_RAVLON, 3));
    EXPECT_EQ("First %s and %i", templateOf(catalog, MODULE_AGENT, 1));
    // The first of two entries of a key is kept.
    EXPECT_EQ("Padded template", templateOf(catalog, MODULE_AGENT, 7));
    EXPECT_EQ("", templateOf(catalog, MODULE_AGENT, 30));
    EXPECT_EQ("<none>", templateOf(catalog, MODULE_AGENT, 8));
    EXPECT_EQ(6u, catalog.size());
}

TEST(LogCommonsTest, SelectionLoadsOnlyTheNamedModules)
{
    LogCommons catalog;
    LogCommons::LoadResult result = catalog.load(FIXTURES + "/", "agent");
    EXPECT_TRUE(result.completed);
    EXPECT_EQ((std::vector<std::string>{"agent"}), result.loaded);
    EXPECT_EQ((std::vector<std::string>{"notamodule.mess", "ravlon.mess"}), sorted(result.skipped));
    EXPECT_EQ("<none>", templateOf(catalog, MODULE_RAVLON, 12));

    LogCommons both;
    result = both.load(FIXTURES, "Ravlon,Agent");
    EXPECT_EQ((std::vector<std::string>{"agent", "ravlon"}), sorted(result.loaded));
}

TEST(LogCommonsTest, MissingDirectoryLoadsNothing)
{
    Testing::TempDir dir;
    LogCommons catalog;
    LogCommons::LoadResult result = catalog.load(dir.path(), LogCommons::SELECT_ALL);
    EXPECT_TRUE(result.completed);
    EXPECT_EQ("", result.error);
    EXPECT_TRUE(result.loaded.empty());
    EXPECT_TRUE(result.skipped.empty());
    EXPECT_EQ(0u, catalog.size());
}

TEST(LogCommonsTest, UnreadableFileEndsTheWalkAndKeepsWhatWasRead)
{
    Testing::TempDir dir;
    ASSERT_TRUE(dir.makeDirectory("LogMessages"));
    ASSERT_TRUE(dir.write("LogMessages/agent.mess", "1: good\n2: bad \x07 byte\n3: never\n"));
    LogCommons catalog;
    LogCommons::LoadResult result = catalog.load(dir.path(), LogCommons::SELECT_ALL);
    EXPECT_FALSE(result.completed);
    EXPECT_TRUE(result.loaded.empty());
    EXPECT_NE(std::string::npos, result.error.find("agent.mess")) << result.error;
    EXPECT_NE(std::string::npos, result.error.find("LogCommons")) << result.error;
    EXPECT_EQ("good", templateOf(catalog, MODULE_AGENT, 1));
    EXPECT_EQ("<none>", templateOf(catalog, MODULE_AGENT, 3));
}

TEST(LogCommonsTest, LoadedCatalogueWordsLoggedMessages)
{
    SmartPointer<LogCommons> catalog(new LogCommons());
    ASSERT_TRUE(catalog->load(FIXTURES, LogCommons::SELECT_ALL).completed);
    setMessageCatalog(catalog);
    SmartPointer<MemorySink> sink;
    SmartPointer<LoggerCentre> centre = MemorySink::makeCentre(sink);
    LoggerUnit unit(centre, MODULE_AGENT);
    sink->clear();
    const int32_t threshold = severityThreshold();
    setSeverityThreshold(0);
    unit.error(1, ParamStream() << "box" << 3);
    unit.notice(30);
    // Not in the loaded catalogue: the text built into the program.
    unit.notice(8, ParamStream() << "abc");
    unit.notice(999, ParamStream() << "abc");
    setSeverityThreshold(threshold);
    setMessageCatalog(SmartPointer<LogCommons>());
    EXPECT_EQ((std::vector<std::string>{"First box and 3", "", "Thread abc could not be started (code <\?\?\?>).",
                                        "(Message not found.) Parameters: abc  "}),
              sink->texts());
}

// The catalogues installed with the program: every file parses, every key is
// unique and every placeholder is one the substitution knows.
TEST(LogCommonsTest, InstalledCataloguesParse)
{
    const std::string base = std::string(PROJECT_ROOT_DIR) + "/etc";
    LogCommons catalog;
    LogCommons::LoadResult result = catalog.load(base, LogCommons::SELECT_ALL);
    EXPECT_TRUE(result.completed) << result.error;
    EXPECT_TRUE(result.skipped.empty());
    EXPECT_EQ((std::vector<std::string>{"agent", "configuration", "logger", "ravlon"}), sorted(result.loaded));
    EXPECT_EQ(catalog.size(), std::accumulate(result.counts.begin(), result.counts.end(), size_t(0)));

    for (const std::string& key : result.loaded) {
        std::ifstream in(base + "/LogMessages/" + key + ".mess", std::ios::binary);
        ASSERT_TRUE(in.good()) << key;
        const int32_t module = parseModuleName(key);
        std::string line;
        while (std::getline(in, line)) {
            int32_t number = 0;
            std::string templ;
            if (!LogCommons::parseLine(line, number, templ))
                continue;
            EXPECT_EQ(std::to_string(number) + ": " + templ, line) << key;
            EXPECT_EQ(templ, templateOf(catalog, module, number)) << key << " " << number;
            for (size_t i = 0; i < templ.size(); ++i) {
                if (templ[i] != '%')
                    continue;
                ASSERT_LT(i + 1, templ.size()) << line;
                EXPECT_NE(std::string::npos, std::string("sidfp%").find(templ[i + 1])) << line;
                ++i;
            }
        }
    }
    EXPECT_EQ("Ravlon is running.", templateOf(catalog, MODULE_RAVLON, 2));
}
