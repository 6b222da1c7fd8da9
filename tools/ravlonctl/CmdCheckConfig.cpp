// ravlonctl check-config: loads a configuration file as the collector does
// and prints every typed entry with its value as the collector would see it;
// for a collector configuration it also runs the collector's start-up checks
// without starting anything.
#include "Command.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/ConfReader.h"
#include "common/Exception.h"
#include "common/FileGZ.h"
#include "common/FileOperations.h"
#include "common/PrimeTime.h"
#include "common/Resources.h"
#include "common/StringUtil.h"
#include "common/TimeSpan.h"
#include "platform/PerfData.h"
#include "ravlon/CollectorSettings.h"
#include "ravlon/Counter.h"
#include "ravlon/CounterNames.h"
#include "ravlon/CountersFile.h"

namespace Telvar {
namespace Ctl {
namespace {

int run(const Args& args);

const Command COMMAND = {
    "check-config",
    "ravlonctl check-config FILE",
    "load a configuration file and list its entries",
    "Loads FILE (plain or gzip) the way the collector does. On success prints\n"
    "every typed entry as 'key (Type) = value', one per line in file order,\n"
    "with references resolved and DirName/FileName values normalised, and\n"
    "exits 0. A syntax error is reported as 'FILE:LINE: text' and exits 1, as\n"
    "do an unreadable file and a value the collector could not use.\n"
    "\n"
    "For a collector configuration (one with a 'ravlon' entry) it also runs\n"
    "the checks the collector runs at start-up, without starting anything:\n"
    "the temporary directory, the prime-time file, the working directory,\n"
    "each collection scheme's keys and kind, each counters file (readable,\n"
    "well formed) and each counter path, which must be known to this host.\n"
    "Every problem is one line on stderr, 'FILE:LINE: text' where the line is\n"
    "known and 'FILE: text' otherwise. It exits 1 when the collector would\n"
    "refuse to start; problems the collector only reports (a counter it\n"
    "cannot add, a scheme kind it skips) are marked 'warning:'.",
    run,
};

const CommandRegistrar registrar(COMMAND);

std::string oneLine(std::string text)
{
    for (size_t p = text.find("\r\n"); p != std::string::npos; p = text.find("\r\n", p))
        text.replace(p, 2, " ");
    return text;
}

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

// Iterative walk in file order; returns false when a value is unusable.
bool listEntries(const ConfReader& reader, const std::string& file)
{
    std::shared_ptr<const DOMNode> tree = reader.root();
    bool ok = true;
    struct Pending {
        const DOMNode* node;
        std::string prefix;
    };
    std::vector<Pending> stack;
    if (tree != nullptr && tree->firstChild() != nullptr)
        stack.push_back({tree->firstChild(), ""});
    while (!stack.empty()) {
        Pending at = stack.back();
        stack.pop_back();
        const DOMNode& node = *at.node;
        std::string key = at.prefix.empty() ? node.getName() : at.prefix + "." + node.getName();
        if (node.nextSibling() != nullptr)
            stack.push_back({node.nextSibling(), at.prefix});
        if (node.firstChild() != nullptr)
            stack.push_back({node.firstChild(), key});
        if (node.getType().empty())
            continue;
        std::string value;
        int32_t rc = collectorValue(reader, tree, node, key, value);
        if (rc == ConfReader::CONF_OK) {
            std::printf("%s (%s) = %s\n", key.c_str(), node.getType().c_str(), value.c_str());
        } else {
            ok = false;
            std::fflush(stdout);
            std::fprintf(stderr, "%s: %s (%s): %s (result %d)\n", file.c_str(), key.c_str(),
                         node.getType().c_str(), ConfReader::resultText(rc), static_cast<int>(rc));
        }
    }
    return ok;
}

// Problems of a collector configuration, printed as they are found.
class Problems {
public:
    void report(const std::string& where, const std::string& text, bool refuses)
    {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s%s\n", where.c_str(), refuses ? "" : "warning: ", text.c_str());
        if (refuses)
            refuse = true;
    }
    bool refuse = false;
};

std::string at(const std::string& file, int line) { return file + ":" + std::to_string(line); }

struct CounterLine {
    std::string file;
    int line = 0;
    std::string object;
    std::string counter;
};

// Reads a counters file with the collector's rules, keeping the line of each
// counter. False (the problem reported) where the collector would refuse it.
bool readCountersFile(const std::string& where, const std::string& path, std::vector<CounterLine>& out,
                      Problems& problems)
{
    if (!fileExists(path)) {
        problems.report(where, "counters file " + path + " does not exist", true);
        return false;
    }
    std::vector<CounterLine> read;
    CountersFile::Position pos;
    CountersFile::Ending ending = CountersFile::Ending::COMPLETE;
    try {
        FileGZ file(path);
        file.open(FileBase::ACCESS_READ);
        ending = CountersFile::list(
            file,
            [&](const CountersFile::Listed& l) {
                read.push_back({path, l.line, l.object, l.counter});
                return true;
            },
            pos);
        file.close();
    } catch (const Exception& e) {
        problems.report(pos.line > 0 ? at(path, pos.line) : where,
                        "counters file cannot be read: " + oneLine(e.fullText()), true);
        return false;
    }
    if (ending == CountersFile::Ending::MISSING_BRACE) {
        problems.report(at(path, pos.line),
                        "expected \"{\" after object \"" + pos.object + "\", found \"" + pos.text + "\"", true);
        return false;
    }
    if (ending == CountersFile::Ending::OPEN_OBJECT)
        problems.report(at(path, pos.line), "the file ends before the \"{\" of object \"" + pos.object + "\"", false);
    out.insert(out.end(), read.begin(), read.end());
    return true;
}

// Adds every counter to a query of this host, after the translation the
// collector makes; each one the host does not know is a warning.
void checkCounters(const std::vector<CounterLine>& lines, Problems& problems, const std::string& file)
{
    clearRegistry();
    std::vector<SmartPointer<Counter>> counters;
    for (const CounterLine& l : lines) {
        SmartPointer<Counter> counter(new Counter(l.object, l.counter));
        registerCounter(counter);
        counters.push_back(findCounter(counter->counterPath));
    }
    if (!localizeCounters()) {
        problems.report(file, "the host's English counter names cannot be read", true);
        return;
    }
    Platform::PerfDataProvider& pdh = Platform::perfData();
    Platform::PdhHandle query = Platform::PDH_NULL_HANDLE;
    if (pdh.openQuery(query) != 0) {
        problems.report(file, "no performance data query can be opened on this host", true);
        return;
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        const Counter& c = *counters[i];
        const std::string path = c.localizedPath.empty() ? c.counterPath : c.localizedPath;
        Platform::PdhHandle handle = Platform::PDH_NULL_HANDLE;
        Platform::PdhStatus status = pdh.addCounter(query, path, 0, handle);
        if (status != 0)
            problems.report(at(lines[i].file, lines[i].line),
                            c.counterPath + " is not known to this host: " + pdhStatusText(status), false);
        else if (handle != Platform::PDH_NULL_HANDLE)
            pdh.removeCounter(handle);
    }
    pdh.closeQuery(query);
    clearRegistry();
}

std::string keyProblem(const std::string& key, int32_t rc)
{
    return key + ": " + ConfReader::resultText(rc) + " (result " + std::to_string(rc) + ")";
}

// The prime-time file, named or in the configuration directory, must load.
void checkPrimeTime(const ConfReader& reader, const std::string& file, Problems& problems)
{
    std::string primeTime;
    if (reader.getFileName("ravlon.primetime-file", primeTime) != ConfReader::CONF_OK) {
        std::string directory;
        primeTime.clear();
        if (getResource("ConfigurationDir", directory) == RESOURCE_OK) {
            StringUtil::normaliseSeparators(directory);
            StringUtil::appendSeparator(directory);
            primeTime = directory + "primetime";
        }
    }
    StringUtil::normaliseSeparators(primeTime);
    if (!primeTime.empty() && fileExists(primeTime)) {
        PrimeTime rules;
        if (!rules.load(primeTime))
            problems.report(file, "prime-time file " + primeTime + " cannot be loaded", true);
    }
}

// True for an active scheme with a counters file the collector would read.
bool readsCountersFile(const CollectorSettings::Scheme& scheme, const std::string& file, Problems& problems)
{
    if (scheme.activeResult != ConfReader::CONF_OK) {
        problems.report(file, keyProblem(scheme.key + ".active", scheme.activeResult), true);
        return false;
    }
    if (!scheme.active)
        return false;
    if (scheme.kindResult != ConfReader::CONF_OK) {
        problems.report(file, keyProblem(scheme.key + ".scheme", scheme.kindResult), true);
        return false;
    }
    if (scheme.kind == CollectorSettings::KIND_IDLE_DATA) {
        problems.report(file, scheme.key + ".scheme: idle-data is no longer supported; the scheme is skipped",
                        false);
        return false;
    }
    if (scheme.kind != CollectorSettings::KIND_COUNTERS_FILE) {
        problems.report(file, scheme.key + ".scheme: unknown scheme kind \"" + scheme.kind +
                                  "\"; the scheme is skipped", false);
        return false;
    }
    if (scheme.fileResult != ConfReader::CONF_OK) {
        problems.report(file, keyProblem(scheme.key + ".scheme.file", scheme.fileResult), true);
        return false;
    }
    return true;
}

// The start-up checks of the agent and the collector.
void checkCollector(const ConfReader& reader, const std::string& file, Problems& problems)
{
    std::string temporary;
    int32_t rc = reader.getDirName("Telvar.directories.temp", temporary);
    if (rc != ConfReader::CONF_OK)
        problems.report(file, keyProblem("Telvar.directories.temp", rc), true);
    checkPrimeTime(reader, file, problems);

    const std::string working =
        CollectorSettings::workingDirectory(&reader, CollectorSettings::installDirectory());
    std::string blocking;
    if (!CollectorSettings::canMakeDirectory(working, blocking))
        problems.report(file, "working directory " + working + " cannot be created: " + blocking +
                                  " is not a directory", true);

    std::vector<CollectorSettings::Scheme> schemes;
    rc = CollectorSettings::readSchemes(&reader, schemes);
    if (rc != ConfReader::CONF_OK) {
        problems.report(file, keyProblem(CollectorSettings::KEY_SCHEMES, rc), true);
        return;
    }
    if (schemes.empty()) {
        problems.report(file, std::string(CollectorSettings::KEY_SCHEMES) + ": names no collection scheme", true);
        return;
    }
    std::vector<CounterLine> counters;
    for (const CollectorSettings::Scheme& scheme : schemes) {
        if (readsCountersFile(scheme, file, problems))
            readCountersFile(file + ": " + scheme.key + ".scheme.file", scheme.file, counters, problems);
    }
    if (!counters.empty())
        checkCounters(counters, problems, file);
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
    ConfReader::LoadStatus status = reader.lastLoad();
    switch (status.kind) {
    case ConfReader::LoadStatus::LOAD_OK:
        break;
    case ConfReader::LoadStatus::LOAD_SYNTAX:
        std::fprintf(stderr, "%s:%d: %s\n", file.c_str(), static_cast<int>(status.line),
                     status.errorText.c_str());
        return EXIT_FAILED;
    case ConfReader::LoadStatus::LOAD_UNREADABLE:
        std::fprintf(stderr, "ravlonctl check-config: cannot read %s: %s\n", file.c_str(),
                     oneLine(status.errorText).c_str());
        return EXIT_FAILED;
    default:
        std::fprintf(stderr, "ravlonctl check-config: %s was not loaded\n", file.c_str());
        return EXIT_FAILED;
    }
    bool ok = listEntries(reader, file);
    if (reader.findNode("ravlon") != nullptr) {
        Problems problems;
        checkCollector(reader, file, problems);
        if (problems.refuse)
            ok = false;
    }
    return ok ? EXIT_OK : EXIT_FAILED;
}

} // namespace
} // namespace Ctl
} // namespace Telvar
