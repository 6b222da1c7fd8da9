// ravlonctl check-config: loads a configuration file as the collector does,
// prints every typed entry with its value as the collector would see it and
// asks the collector's own judge whether it would start with it.
#include "Command.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/ConfReader.h"
#include "common/Exception.h"
#include "common/Resources.h"
#include "common/StringUtil.h"
#include "common/TimeSpan.h"
#include "ravlon/ConfigurationJudge.h"

namespace Telvar {
namespace Ctl {
namespace {

int run(const Args& args);

const Command COMMAND = {
    "check-config",
    "ravlonctl check-config FILE",
    "load a configuration file and list its entries",
    "Loads FILE (plain or gzip) the way the collector does and prints every\n"
    "readable typed entry as 'key (Type) = value', one per line in file order,\n"
    "with references resolved and DirName/FileName values normalised.\n"
    "\n"
    "Then it judges the file with the collector's own start-up judge, without\n"
    "starting anything: syntax and unclosed blocks, unknown keys under Telvar\n"
    "and ravlon and unknown types (with the nearest known one), values out of\n"
    "range, the temporary and working directories, the prime-time file line by\n"
    "line, each collection scheme and counters file, and each counter against\n"
    "this host (an instance it lacks is named with the instances it has).\n"
    "Every problem is one line on stderr, 'FILE:LINE: text' where the line is\n"
    "known and 'FILE: text' otherwise; problems the collector only reports\n"
    "(and works around) are marked 'warning:'. The collector logs the same\n"
    "lines when it starts or reconfigures.\n"
    "\n"
    "Exit status: 0 when the collector would start with FILE, 1 when it would\n"
    "refuse it, 2 for a usage error.",
    run,
};

const CommandRegistrar registrar(COMMAND);

// The value as the collector's getter of the entry's type would hand it
// out; a non-zero result when that getter would fail.
int32_t collectorValue(const ConfReader& reader, const std::shared_ptr<const DOMNode>& tree,
                       const DOMNode& node, const std::string& key, std::string& out)
{
    const std::string& type = node.getType();
    std::string value;
    int32_t rc = reader.getNodeValue(tree, node, key, type, value);
    if (rc != ConfReader::CONF_OK)
        return rc;
    if (type == "Bool") {
        StringUtil::toLower(value);
        if (value != "true" && value != "false")
            return ConfReader::CONF_BAD_BOOL;
    } else if (type == "Integer") {
        value = std::to_string(ConfReader::leadingInteger(value));
    } else if (type == "DirName") {
        StringUtil::trim(value);
    } else if (type == "FileName") {
        StringUtil::trim(value);
        if (!StringUtil::isValidFileName(value))
            return ConfReader::CONF_BAD_VALUE;
    } else if (type == "TimeSpan") {
        try {
            TimeSpan::parseTimeSpan(value);
        } catch (const TimeException&) {
            return ConfReader::CONF_BAD_VALUE;
        }
    }
    out = value;
    return ConfReader::CONF_OK;
}

// Every readable typed entry, in file order; the judge reports the others.
void listEntries(const ConfReader& reader)
{
    std::shared_ptr<const DOMNode> tree = reader.root();
    ConfReader::forEachEntry(tree, [&](const DOMNode& node, const std::string& key) {
        if (node.getType().empty())
            return true;
        std::string value;
        int32_t rc = collectorValue(reader, tree, node, key, value);
        if (rc == ConfReader::CONF_OK)
            std::printf("%s (%s) = %s\n", key.c_str(), node.getType().c_str(), value.c_str());
        return true;
    });
}

std::string configurationDirectory()
{
    std::string directory;
    if (getResource("ConfigurationDir", directory) != RESOURCE_OK)
        return "";
    StringUtil::normaliseSeparators(directory);
    StringUtil::appendSeparator(directory);
    return directory;
}

int run(const Args& args)
{
    std::string file;
    for (const std::string& a : args) {
        if (a.size() > 1 && a[0] == '-')
            return usageError(COMMAND, "unknown option '" + a + "'");
        if (!file.empty())
            return usageError(COMMAND, "only one FILE may be given");
        file = a;
    }
    if (file.empty())
        return usageError(COMMAND, "FILE is missing");

    ConfReader reader;
    reader.readFile(file);
    if (reader.lastLoad().kind == ConfReader::LoadStatus::LOAD_OK ||
        reader.lastLoad().kind == ConfReader::LoadStatus::LOAD_SYNTAX)
        listEntries(reader);
    // The collector's own judge decides. Without an installation here the
    // file is judged as if its directory were the configuration directory.
    std::string directory = configurationDirectory();
    std::fflush(stdout);
    if (directory.empty()) {
        directory = StringUtil::directoryOf(file);
        if (directory.empty())
            directory = ".";
        StringUtil::appendSeparator(directory);
        std::fprintf(stderr, "note: no installation here (no resource ConfigurationDir in %s); judged as if "
                             "installed in %s\n",
                     resourceStoreLocation().c_str(), directory.c_str());
    }
    ConfigurationJudge::Verdict verdict = ConfigurationJudge::judge(reader, directory);
    for (const ConfigurationJudge::Finding& f : verdict.findings)
        std::fprintf(stderr, "%s\n", f.line().c_str());
    if (verdict.refused()) {
        std::fprintf(stderr, "ravlonctl check-config: the collector would refuse %s\n", file.c_str());
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

} // namespace
} // namespace Ctl
} // namespace Telvar
