#include "RecordSet.h"

#include <algorithm>
#include <cstdlib>
#include <map>

#include "common/ConfReader.h"
#include "common/FileOperations.h"
#include "common/SmartPointer.h"
#include "logger/LoggerUnit.h"
#include "platform/FileSystem.h"
#include "ravlon/Counter.h"
#include "ravlon/CountersFile.h"

namespace Telvar {
namespace Ctl {

bool RecordSet::readCountersFile(const std::string& path, std::vector<std::string>& paths, std::string& error)
{
    if (!fileExists(path)) {
        error = "counters file " + path + ": no such file";
        return false;
    }
    Platform::PathStatus status;
    if (Platform::pathStatus(path, status) && status.size > MAX_COUNTERS_FILE) {
        error = "counters file " + path + ": larger than " + std::to_string(MAX_COUNTERS_FILE) + " bytes";
        return false;
    }
    std::vector<SmartPointer<Counter>> counters;
    if (!CountersFile::setUpCounters(SmartPointer<LoggerUnit>(), path, counters)) {
        error = "counters file " + path +
                ": not readable as a counters file (an object line not followed by \"{\", or a byte outside "
                "printable ASCII)";
        return false;
    }
    paths.clear();
    for (const SmartPointer<Counter>& c : counters)
        paths.push_back(c->counterPath);
    return true;
}

int RecordSet::findColumn(const std::vector<std::string>& columns, const std::string& selection,
                          std::string& error)
{
    for (size_t i = 0; i < columns.size(); ++i)
        if (columns[i] == selection)
            return static_cast<int>(i);
    char* end = nullptr;
    long number = std::strtol(selection.c_str(), &end, 10);
    if (!selection.empty() && *end == '\0') {
        if (number >= 1 && static_cast<size_t>(number) <= columns.size())
            return static_cast<int>(number - 1);
        error = "no column " + selection + " (there are " + std::to_string(columns.size()) + ")";
        return -1;
    }
    int found = -1;
    for (size_t i = 0; i < columns.size(); ++i) {
        const std::string& c = columns[i];
        if (!selection.empty() && c.size() >= selection.size() &&
            c.compare(c.size() - selection.size(), selection.size(), selection) == 0) {
            if (found >= 0) {
                error = "\"" + selection + "\" names several counters: " + columns[found] + ", " + c;
                return -1;
            }
            found = static_cast<int>(i);
        }
    }
    if (found < 0)
        error = "no counter \"" + selection + "\"";
    return found;
}

bool RecordSet::nameColumns(SchemeRecords& group, const Options& options)
{
    std::string countersFile = options.countersFile;
    if (countersFile.empty() && !options.configFile.empty()) {
        if (group.scheme.empty()) {
            notes_.push_back("file names that tell no scheme: their columns are numbered");
            return true;
        }
        ConfReader reader;
        reader.readFile(options.configFile);
        if (reader.lastLoad().kind != ConfReader::LoadStatus::LOAD_OK) {
            error_ = "cannot load the configuration " + options.configFile +
                     " (try 'ravlonctl check-config " + options.configFile + "')";
            return false;
        }
        const std::string key = "ravlon.collect." + group.scheme + ".scheme.file";
        if (reader.getFileName(key, countersFile) != ConfReader::CONF_OK) {
            notes_.push_back("scheme " + group.scheme + ": no " + key + " in " + options.configFile +
                             "; its columns are numbered");
            return true;
        }
    }
    if (countersFile.empty())
        return true;
    std::string problem;
    if (!readCountersFile(countersFile, group.columns, problem)) {
        error_ = problem;
        return false;
    }
    group.named = true;
    return true;
}

// Records whose width does not match the scheme's columns cannot be told
// apart from records of another counters file; they are reported and left out.
void RecordSet::checkWidths(SchemeRecords& group)
{
    size_t width = group.columns.size();
    if (!group.named) {
        width = group.records.empty() ? 0 : group.records.front().values.size();
        for (size_t i = 0; i < width; ++i)
            group.columns.push_back(std::to_string(i + 1));
    }
    std::vector<Record> kept;
    for (Record& r : group.records) {
        if (r.values.size() == width) {
            kept.push_back(std::move(r));
            continue;
        }
        std::string expected = group.named ? "the counters file lists " + std::to_string(width)
                                           : "the first record of its scheme has " + std::to_string(width);
        problems_.push_back({r.file, r.line + 1,
                             "measurement line with " + std::to_string(r.values.size()) + " values, " +
                                 expected});
    }
    group.records.swap(kept);
}

bool RecordSet::load(const std::vector<std::string>& files, const Options& options)
{
    readFiles(files);
    if (!options.countersFile.empty() && !mergeIntoOneScheme())
        return false;
    for (SchemeRecords& group : schemes_) {
        if (!nameColumns(group, options))
            return false;
        std::stable_sort(group.records.begin(), group.records.end(),
                         [](const Record& a, const Record& b) { return a.time < b.time; });
        std::vector<Record> inRange;
        for (Record& r : group.records)
            if ((!options.haveFrom || r.time >= options.from) && (!options.haveTo || r.time <= options.to))
                inRange.push_back(std::move(r));
        group.records.swap(inRange);
        checkWidths(group);
    }
    // Reported per file, in line order, whichever check found them.
    std::map<std::string, size_t> fileOrder;
    for (size_t i = 0; i < files.size(); ++i)
        fileOrder.emplace(files[i], i);
    std::stable_sort(problems_.begin(), problems_.end(), [&](const RecordProblem& a, const RecordProblem& b) {
        size_t fa = fileOrder[a.file], fb = fileOrder[b.file];
        return fa != fb ? fa < fb : a.line < b.line;
    });
    return true;
}

void RecordSet::readFiles(const std::vector<std::string>& files)
{
    std::map<std::string, size_t> byScheme;
    std::map<std::string, bool> seen;
    for (const std::string& file : files) {
        // A file named twice (a shell pattern and a name) counts once.
        if (seen[file])
            continue;
        seen[file] = true;
        RecordReader reader;
        reader.readFile(file);
        problems_.insert(problems_.end(), reader.problems().begin(), reader.problems().end());
        std::string scheme = RecordReader::schemeOfFileName(file);
        auto at = byScheme.find(scheme);
        if (at == byScheme.end()) {
            at = byScheme.emplace(scheme, schemes_.size()).first;
            schemes_.push_back(SchemeRecords());
            schemes_.back().scheme = scheme;
        }
        std::vector<Record>& into = schemes_[at->second].records;
        for (Record& r : reader.records())
            into.push_back(std::move(r));
    }
}

bool RecordSet::mergeIntoOneScheme()
{
    // One counters file names the columns of one scheme only.
    std::vector<std::string> named;
    for (const SchemeRecords& g : schemes_)
        if (!g.scheme.empty())
            named.push_back(g.scheme);
    if (named.size() > 1) {
        error_ = "files of several schemes (" + named[0] + ", " + named[1] +
                 ") but one counters file; give one scheme's files, or --config";
        return false;
    }
    for (size_t i = 1; i < schemes_.size(); ++i)
        for (Record& r : schemes_[i].records)
            schemes_[0].records.push_back(std::move(r));
    schemes_.resize(std::min<size_t>(schemes_.size(), 1));
    if (!schemes_.empty() && !named.empty())
        schemes_[0].scheme = named[0];
    return true;
}

} // namespace Ctl
} // namespace Telvar
