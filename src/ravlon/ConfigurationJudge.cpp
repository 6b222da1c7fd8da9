#include "ravlon/ConfigurationJudge.h"

#include <algorithm>
#include <map>

#include "common/ConfReader.h"
#include "common/Exception.h"
#include "common/FileGZ.h"
#include "common/FileOperations.h"
#include "common/PrimeTime.h"
#include "common/StringUtil.h"
#include "common/TimeSpan.h"
#include "ravlon/CollectorSettings.h"
#include "ravlon/CounterHost.h"
#include "ravlon/CountersFile.h"

namespace Telvar {

namespace {

using Finding = ConfigurationJudge::Finding;
using Verdict = ConfigurationJudge::Verdict;

const char* const TYPES[] = {"String", "Bool", "Integer", "DirName", "FileName", "TimeSpan"};

// The keys the programs read below the checked top-level entries; "*" stands
// for any one name. effect says what a value that cannot be read leads to.
struct KnownKey {
    const char* path;
    const char* type;  // empty: a container
    const char* effect;
};

const KnownKey KNOWN[] = {
    {"Telvar", "", ""},
    {"Telvar.directories", "", ""},
    {"Telvar.directories.conf", "DirName", "no message catalogue is read; built-in texts are used"},
    {"Telvar.directories.temp", "DirName", ""},
    {"Telvar.directories.log", "DirName", "the log stays where it started"},
    {"ravlon", "", ""},
    {"ravlon.working-dir", "DirName", "data goes to the default working directory (the install directory's "
                                      "Log/temp/RVL)"},
    {"ravlon.interval", "TimeSpan", "data files are delivered every 12 hours (the default)"},
    {"ravlon.data-collection", "TimeSpan", "the default P1S is shown"},
    {"ravlon.degrade-pdh-warnings", "Bool", "false (the default) is used"},
    {"ravlon.primetime-file", "FileName", "primetime in the configuration directory is used"},
    {"ravlon.keep", "TimeSpan", "delivered data files are kept for ever"},
    {"ravlon.export", "", ""},
    {"ravlon.export.openmetrics", "", ""},
    {"ravlon.export.openmetrics.listen", "String", "no /metrics page is served"},
    {"ravlon.export.influx", "", ""},
    {"ravlon.export.influx.url", "String", "records are not pushed"},
    {"ravlon.export.influx.database", "String", "no database is named in the push"},
    {"ravlon.export.influx.token-file", "FileName", "the push carries no token"},
    {"ravlon.export.influx.timeout", "TimeSpan", "the push waits 10 seconds for an answer"},
    {"ravlon.export.influx.spool-limit", "Integer", "the spool holds up to 64 MiB"},
    {"ravlon.log", "", ""},
    {"ravlon.log.debug-level", "Integer", "the debug level of log.global.debug-level stays"},
    {"ravlon.collect", "", ""},
    {"ravlon.collect.*", "", ""},
    {"ravlon.collect.*.active", "Bool", ""},
    {"ravlon.collect.*.scheme", "String", ""},
    {"ravlon.collect.*.scheme.file", "FileName", ""},
};

// Keys whose absence or bad value refuses; checked on their own below.
bool requiredKey(const std::string& pattern)
{
    return pattern == "Telvar.directories.temp" || pattern.compare(0, 15, "ravlon.collect.") == 0;
}

std::vector<std::string> components(const std::string& path)
{
    std::vector<std::string> parts;
    StringUtil::splitAll(path, '.', parts);
    return parts;
}

const KnownKey* knownKey(const std::vector<std::string>& parts)
{
    for (const KnownKey& key : KNOWN) {
        std::vector<std::string> pattern = components(key.path);
        if (pattern.size() != parts.size())
            continue;
        bool same = true;
        for (size_t i = 0; i < parts.size() && same; ++i)
            same = pattern[i] == "*" || pattern[i] == parts[i];
        if (same)
            return &key;
    }
    return nullptr;
}

// The names known below the entry at parts (without its last component).
std::vector<std::string> siblings(const std::vector<std::string>& parts)
{
    std::vector<std::string> names;
    for (const KnownKey& key : KNOWN) {
        std::vector<std::string> pattern = components(key.path);
        if (pattern.size() != parts.size() || pattern.back() == "*")
            continue;
        bool same = true;
        for (size_t i = 0; i + 1 < parts.size() && same; ++i)
            same = pattern[i] == "*" || pattern[i] == parts[i];
        if (same)
            names.push_back(pattern.back());
    }
    return names;
}

size_t editDistance(const std::string& a, const std::string& b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

class Court {
public:
    Court(Verdict& verdict, const std::string& file) : verdict_(verdict), file_(file) {}
    std::string at(int32_t line) const { return line > 0 ? file_ + ":" + std::to_string(line) : file_; }
    std::string at(const std::string& file, int32_t line) const
    {
        return line > 0 ? file + ":" + std::to_string(line) : file;
    }
    void refuse(const std::string& where, const std::string& text) { verdict_.findings.push_back({true, where, text}); }
    void warn(const std::string& where, const std::string& text) { verdict_.findings.push_back({false, where, text}); }
    const std::string& file() const { return file_; }

private:
    Verdict& verdict_;
    std::string file_;
};

std::string oneLine(std::string text)
{
    for (char& c : text)
        if (c == '\r' || c == '\n')
            c = ' ';
    return text;
}

// False when nothing more can be judged (no tree).
bool judgeLoad(const ConfReader::LoadStatus& status, Court& court)
{
    switch (status.kind) {
    case ConfReader::LoadStatus::LOAD_OK:
        break;
    case ConfReader::LoadStatus::LOAD_SYNTAX:
        court.refuse(court.at(status.line), status.errorText);
        break;
    case ConfReader::LoadStatus::LOAD_UNREADABLE:
        court.refuse(court.file(), "the configuration file cannot be read: " + oneLine(status.errorText));
        return false;
    default:
        court.refuse(court.file(), "the configuration file was not loaded");
        return false;
    }
    if (status.unclosedBlocks > 0)
        court.warn(court.at(status.unclosedLine),
                   "the block of \"" + status.unclosedName + "\" that starts here is not closed (" +
                       std::to_string(status.unclosedBlocks) + " \"}\" missing at the end of the file); " +
                       "the entries after it are read as part of it");
    return true;
}

std::string typeProblem(const std::string& type)
{
    for (const char* known : TYPES)
        if (type == known)
            return "";
    std::string hint = ConfigurationJudge::nearest(type, std::vector<std::string>(std::begin(TYPES), std::end(TYPES)));
    return "type \"" + type + "\" is not one of String, Bool, Integer, DirName, FileName, TimeSpan" +
           (hint.empty() ? "" : " (did you mean " + hint + "?)") + "; the entry cannot be read";
}

void judgeUnknown(const ConfReader& reader, const DOMNode& node, const std::string& key,
                  const std::vector<std::string>& parts, Court& court)
{
    std::string text = key + " is not a known key and is not read";
    std::string hint = ConfigurationJudge::nearest(parts.back(), siblings(parts));
    if (!hint.empty()) {
        std::vector<std::string> fixed(parts.begin(), parts.end() - 1);
        fixed.push_back(hint);
        std::string joined;
        for (const std::string& p : fixed)
            joined += (joined.empty() ? "" : ".") + p;
        text += " (did you mean " + joined + "?)";
        // What the slip costs: the meant key is not there.
        const KnownKey* meant = knownKey(fixed);
        if (meant != nullptr && *meant->effect != '\0' && reader.findNode(joined) == nullptr)
            text += "; without " + joined + ", " + meant->effect;
    } else if (parts.size() > 1 && (parts.back() == "ravlon" || parts.back() == "Telvar" || parts.back() == "log")) {
        text += " (" + parts.back() + " belongs at the top level: is a \"}\" missing before this line?)";
    }
    court.warn(court.at(node.line()), text);
}

// The value of a known typed key as its reader would take it.
void judgeValue(const ConfReader& reader, const DOMNode& node, const std::string& key, const KnownKey& known,
                Court& court)
{
    std::string ignored;
    int32_t rc = ConfReader::CONF_OK;
    const std::string type = known.type;
    if (type == "Bool") {
        bool b = false;
        rc = reader.getBool(key, b);
    } else if (type == "Integer") {
        int32_t i = 0;
        rc = reader.getInteger(key, i);
    } else if (type == "DirName") {
        rc = reader.getDirName(key, ignored);
    } else if (type == "FileName") {
        rc = reader.getFileName(key, ignored);
    } else if (type == "TimeSpan") {
        TimeSpanParts parts;
        rc = reader.getTimeSpan(key, parts);
    } else {
        rc = reader.getString(key, ignored);
    }
    if (rc == ConfReader::CONF_OK || requiredKey(known.path))
        return;
    std::string why = rc == ConfReader::CONF_WRONG_TYPE
                          ? "has type " + (node.getType().empty() ? std::string("none") : node.getType()) +
                                ", but is read as " + type
                          : "= \"" + node.getValue() + "\": " + ConfReader::resultText(rc);
    court.warn(court.at(node.line()), key + " " + why + "; " + known.effect);
}

// Every entry below the checked top-level entries, in file order.
void judgeKeys(const ConfReader& reader, Court& court)
{
    ConfReader::forEachEntry(reader.root(), [&](const DOMNode& node, const std::string& key) {
        const std::string problem = node.getType().empty() ? std::string() : typeProblem(node.getType());
        if (!problem.empty())
            court.warn(court.at(node.line()), key + ": " + problem);
        const std::vector<std::string> parts = components(key);
        const bool checked = parts[0] == "ravlon" || parts[0] == "Telvar";
        const KnownKey* known = checked ? knownKey(parts) : nullptr;
        if (checked && known == nullptr) {
            judgeUnknown(reader, node, key, parts, court);
            return false;
        }
        if (known != nullptr && *known->type != '\0' && problem.empty())
            judgeValue(reader, node, key, *known, court);
        return true;
    });
}

int32_t lineOf(const ConfReader& reader, const std::string& key)
{
    std::shared_ptr<const DOMNode> node = reader.findNode(key);
    return node != nullptr ? node->line() : 0;
}

void judgeRange(const ConfReader& reader, const std::string& key, int32_t low, int32_t high, const std::string& effect,
                Court& court)
{
    int32_t value = 0;
    if (reader.getInteger(key, value) == ConfReader::CONF_OK && (value < low || value > high))
        court.warn(court.at(lineOf(reader, key)), key + " " + std::to_string(value) + " is outside " +
                                                       std::to_string(low) + " to " + std::to_string(high) + "; " +
                                                       effect);
}

void judgeInterval(const ConfReader& reader, const std::string& key, const std::string& effect, Court& court)
{
    TimeSpanParts parts;
    if (reader.getTimeSpan(key, parts) != ConfReader::CONF_OK)
        return;
    bool inRange = false;
    try {
        inRange = TimeSpan(parts).seconds() >= 1;
    } catch (const Exception&) {
    }
    if (!inRange)
        court.warn(court.at(lineOf(reader, key)), key + " is outside P1S to P24855D (1 second to 68 years); " + effect);
}

void judgeLevels(const ConfReader& reader, Court& court)
{
    judgeRange(reader, "log.global.debug-level", 0, 5, "it is ignored", court);
    judgeRange(reader, "ravlon.log.debug-level", 0, 5, "it is ignored", court);
    judgeInterval(reader, "ravlon.interval", "data files are delivered every 12 hours (the default)", court);
    judgeInterval(reader, "ravlon.data-collection", "the default P1S is shown", court);
}

// The prime-time file: one that exists must be readable; its lines are looked at.
void judgePrimeTime(const ConfReader& reader, const std::string& configurationDirectory, Court& court)
{
    std::string path;
    const bool named = reader.getFileName("ravlon.primetime-file", path) == ConfReader::CONF_OK;
    if (!named)
        path = configurationDirectory.empty() ? "" : configurationDirectory + "primetime";
    StringUtil::normaliseSeparators(path);
    if (path.empty())
        return;
    if (!fileExists(path)) {
        if (named)
            court.warn(court.at(lineOf(reader, "ravlon.primetime-file")),
                       "ravlon.primetime-file " + path + " does not exist; every record is labelled undef");
        return;
    }
    std::vector<PrimeTime::Problem> problems;
    if (!PrimeTime::check(path, problems)) {
        court.refuse(path, "the prime-time file cannot be read");
        return;
    }
    for (const PrimeTime::Problem& p : problems)
        court.warn(court.at(path, p.line), p.text);
}

void judgeAgent(const ConfReader& reader, const std::string& configurationDirectory, Court& court)
{
    if (configurationDirectory.empty())
        court.refuse(court.file(), "the resource ConfigurationDir is missing; run 'ravlonctl setup' to make an "
                                   "installation");
    std::string directory;
    int32_t rc = reader.getDirName("Telvar.directories.temp", directory);
    if (rc != ConfReader::CONF_OK)
        court.refuse(court.at(lineOf(reader, "Telvar.directories.temp")),
                     std::string("Telvar.directories.temp (DirName) is required: ") + ConfReader::resultText(rc));
    judgeLevels(reader, court);
    judgePrimeTime(reader, configurationDirectory, court);
}

std::string keyProblem(const ConfReader& reader, const std::string& key, int32_t rc, const char* type)
{
    (void)reader;
    return key + " (" + type + ") is required: " + ConfReader::resultText(rc);
}

// True for an active counters-file scheme whose file is to be read.
bool judgeScheme(const ConfReader& reader, const CollectorSettings::Scheme& scheme, Court& court)
{
    const int32_t line = lineOf(reader, scheme.key);
    if (scheme.activeResult != ConfReader::CONF_OK) {
        court.refuse(court.at(line), keyProblem(reader, scheme.key + ".active", scheme.activeResult, "Bool"));
        return false;
    }
    if (!scheme.active)
        return false;
    if (scheme.kindResult != ConfReader::CONF_OK) {
        court.refuse(court.at(line), keyProblem(reader, scheme.key + ".scheme", scheme.kindResult, "String"));
        return false;
    }
    if (scheme.kind == CollectorSettings::KIND_IDLE_DATA) {
        court.warn(court.at(line), scheme.key + ".scheme: idle-data is no longer supported; the scheme is skipped");
        return false;
    }
    if (scheme.kind != CollectorSettings::KIND_COUNTERS_FILE) {
        court.warn(court.at(lineOf(reader, scheme.key + ".scheme")),
                   scheme.key + ".scheme: unknown scheme kind \"" + scheme.kind + "\" (known: counters-file)" +
                       "; the scheme is skipped");
        return false;
    }
    if (scheme.fileResult != ConfReader::CONF_OK) {
        court.refuse(court.at(line), keyProblem(reader, scheme.key + ".scheme.file", scheme.fileResult, "FileName"));
        return false;
    }
    return true;
}

// Reads a counters file with the collector's rules; false where the
// collector refuses it.
bool readCounters(const std::string& where, const std::string& scheme, const std::string& path,
                  std::vector<CounterHost::Listed>& out, Court& court)
{
    if (!fileExists(path)) {
        court.refuse(where, "the counters file " + path + " of scheme " + scheme + " does not exist");
        return false;
    }
    CountersFile::Position pos;
    CountersFile::Ending ending = CountersFile::Ending::COMPLETE;
    std::vector<CounterHost::Listed> read;
    try {
        FileGZ file(path);
        file.open(FileBase::ACCESS_READ);
        ending = CountersFile::list(file, [&](const CountersFile::Listed& l) {
            read.push_back({scheme, path, l.line, l.object, l.counter});
            return true;
        }, pos);
        file.close();
    } catch (const Exception& e) {
        court.refuse(court.at(path, pos.line), "the counters file cannot be read: " + oneLine(e.fullText()));
        return false;
    }
    if (ending == CountersFile::Ending::MISSING_BRACE) {
        court.refuse(court.at(path, pos.line),
                     "expected \"{\" after object \"" + pos.object + "\", found \"" + pos.text + "\"");
        return false;
    }
    if (ending == CountersFile::Ending::OPEN_OBJECT)
        court.warn(court.at(path, pos.line), "the file ends before the \"{\" of object \"" + pos.object + "\"");
    out.insert(out.end(), read.begin(), read.end());
    return true;
}

void judgeCollector(const ConfReader& reader, Court& court)
{
    const std::string working = CollectorSettings::workingDirectory(&reader, CollectorSettings::installDirectory());
    std::string blocking;
    if (!CollectorSettings::canMakeDirectory(working, blocking))
        court.refuse(court.at(lineOf(reader, "ravlon.working-dir")),
                     "the working directory " + working + " cannot be made: " + blocking + " is not a directory");
    std::vector<CollectorSettings::Scheme> schemes;
    int32_t rc = CollectorSettings::readSchemes(&reader, schemes);
    if (rc != ConfReader::CONF_OK) {
        court.refuse(court.file(), std::string(CollectorSettings::KEY_SCHEMES) + " is required: " +
                                       ConfReader::resultText(rc) + " (it holds the collection schemes)");
        return;
    }
    if (schemes.empty()) {
        court.refuse(court.at(lineOf(reader, CollectorSettings::KEY_SCHEMES)),
                     std::string(CollectorSettings::KEY_SCHEMES) + " names no collection scheme");
        return;
    }
    std::vector<CounterHost::Listed> counters;
    for (const CollectorSettings::Scheme& scheme : schemes) {
        if (judgeScheme(reader, scheme, court) &&
            !readCounters(court.at(lineOf(reader, scheme.key + ".scheme.file")), scheme.name, scheme.file, counters,
                          court))
            return;
    }
    CounterHost::Report report = CounterHost::check(counters);
    if (!report.usable) {
        court.refuse(court.file(), report.problem);
        return;
    }
    for (const CounterHost::Missing& m : report.missing)
        court.warn(court.at(m.file, m.line), m.text);
}

} // namespace

std::string Finding::line() const { return where + ": " + (refuses ? "" : "warning: ") + text; }

bool Verdict::refused() const
{
    for (const Finding& f : findings)
        if (f.refuses)
            return true;
    return false;
}

std::string Verdict::firstRefusal() const
{
    for (const Finding& f : findings)
        if (f.refuses)
            return f.where + ": " + f.text;
    return "";
}

std::string ConfigurationJudge::nearest(const std::string& word, const std::vector<std::string>& candidates)
{
    const std::string lower = StringUtil::toLowerCopy(word);
    std::string best;
    size_t bestDistance = 0;
    for (const std::string& c : candidates) {
        size_t d = editDistance(lower, StringUtil::toLowerCopy(c));
        if (best.empty() || d < bestDistance) {
            best = c;
            bestDistance = d;
        }
    }
    // A slip changes a few letters, not the word.
    const size_t allowed = std::max<size_t>(1, std::min<size_t>(3, word.size() / 3));
    return !best.empty() && bestDistance <= allowed ? best : "";
}

bool ConfigurationJudge::splitInstance(const std::string& object, std::string& base, std::string& instance)
{
    size_t open = object.find('(');
    if (open == std::string::npos || object.empty() || object.back() != ')')
        return false;
    base = object.substr(0, open);
    instance = object.substr(open + 1, object.size() - open - 2);
    return true;
}

Verdict ConfigurationJudge::judge(const ConfReader& reader, const std::string& configurationDirectory)
{
    Verdict verdict;
    ConfReader::LoadStatus status = reader.lastLoad();
    Court court(verdict, status.path.empty() ? std::string("(configuration)") : status.path);
    if (!judgeLoad(status, court))
        return verdict;
    judgeKeys(reader, court);
    judgeAgent(reader, configurationDirectory, court);
    judgeCollector(reader, court);
    return verdict;
}

} // namespace Telvar
