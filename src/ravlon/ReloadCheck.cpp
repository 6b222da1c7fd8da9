#include "ravlon/ReloadCheck.h"

#include <vector>

#include "agent/Agent.h"
#include "common/ConfReader.h"
#include "common/Exception.h"
#include "common/FileGZ.h"
#include "common/FileOperations.h"
#include "common/PrimeTime.h"
#include "common/StringUtil.h"
#include "platform/FileSystem.h"
#include "ravlon/CollectorSettings.h"
#include "ravlon/ConfigurationJudge.h"
#include "ravlon/CountersFile.h"

namespace Telvar {

namespace {

bool fault(ReloadCheck::Problem& problem, const std::string& file, int line, const std::string& reason)
{
    problem.file = file;
    problem.line = line;
    problem.reason = reason;
    return false;
}

std::string keyFault(const std::string& key, int32_t rc)
{
    return "key " + key + ": " + ConfReader::resultText(rc);
}

std::string oneLine(std::string text)
{
    for (char& c : text)
        if (c == '\r' || c == '\n')
            c = ' ';
    return text;
}

bool countersFileReadable(const std::string& path, ReloadCheck::Problem& problem)
{
    if (!fileExists(path))
        return fault(problem, path, 0, "the counters file does not exist");
    CountersFile::Position at;
    CountersFile::Ending ending = CountersFile::Ending::COMPLETE;
    try {
        FileGZ file(path);
        file.open(FileBase::ACCESS_READ);
        ending = CountersFile::list(file, [](const CountersFile::Listed&) { return true; }, at);
        file.close();
    } catch (const Exception& e) {
        return fault(problem, path, at.line, "the counters file cannot be read: " + oneLine(e.fullText()));
    }
    if (ending == CountersFile::Ending::MISSING_BRACE)
        return fault(problem, path, at.line,
                     "expected \"{\" after object \"" + at.object + "\", found \"" + at.text + "\"");
    return true;
}

bool schemeUsable(const CollectorSettings::Scheme& scheme, const std::string& file,
                  ReloadCheck::Problem& problem)
{
    if (scheme.activeResult != ConfReader::CONF_OK)
        return fault(problem, file, 0, keyFault(scheme.key + ".active", scheme.activeResult));
    if (!scheme.active)
        return true;
    if (scheme.kindResult != ConfReader::CONF_OK)
        return fault(problem, file, 0, keyFault(scheme.key + ".scheme", scheme.kindResult));
    if (scheme.kind != CollectorSettings::KIND_COUNTERS_FILE)
        return true;  // skipped with a message, as when configuring
    if (scheme.fileResult != ConfReader::CONF_OK)
        return fault(problem, file, 0, keyFault(scheme.key + ".scheme.file", scheme.fileResult));
    return countersFileReadable(scheme.file, problem);
}

bool collectorUsable(const ConfReader& reader, const Agent& agent, const std::string& file,
                     ReloadCheck::Problem& problem)
{
    std::string temporary;
    int32_t rc = reader.getDirName("Telvar.directories.temp", temporary);
    if (rc != ConfReader::CONF_OK)
        return fault(problem, file, 0, keyFault("Telvar.directories.temp", rc));
    std::string primeTime;
    if (reader.getFileName("ravlon.primetime-file", primeTime) != ConfReader::CONF_OK)
        primeTime = agent.configurationDirectory() + "primetime";
    StringUtil::normaliseSeparators(primeTime);
    PrimeTime rules;
    if (fileExists(primeTime) && !rules.load(primeTime))
        return fault(problem, primeTime, 0, "the prime-time file cannot be loaded");

    const std::string working =
        CollectorSettings::workingDirectory(&reader, CollectorSettings::installDirectory());
    std::string blocking;
    if (!CollectorSettings::canMakeDirectory(working, blocking))
        return fault(problem, file, 0, "working directory " + working + " cannot be made: " + blocking +
                                           " is not a directory");
    // The start-up refuses an existing directory others can write to.
    Platform::PathStatus status;
    std::string why;
    if (Platform::pathStatus(working, status) && !Platform::isTrustedDirectory(working, why))
        return fault(problem, file, 0, "working directory " + working + " cannot be trusted: " + why);

    std::vector<CollectorSettings::Scheme> schemes;
    rc = CollectorSettings::readSchemes(&reader, schemes);
    if (rc != ConfReader::CONF_OK)
        return fault(problem, file, 0, keyFault(CollectorSettings::KEY_SCHEMES, rc));
    if (schemes.empty())
        return fault(problem, file, 0, std::string("key ") + CollectorSettings::KEY_SCHEMES +
                                           " names no collection scheme");
    for (const CollectorSettings::Scheme& scheme : schemes)
        if (!schemeUsable(scheme, file, problem))
            return false;
    return true;
}

} // namespace

std::string ReloadCheck::Problem::text() const
{
    if (file.empty())
        return reason;
    return file + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + reason;
}

bool ReloadCheck::check(const Agent& agent, Problem& problem)
{
    const std::string file = agent.configurationFile();
    ConfReader reader;
    reader.readFile(file);
    const ConfReader::LoadStatus status = reader.lastLoad();
    switch (status.kind) {
    case ConfReader::LoadStatus::LOAD_OK:
        break;
    case ConfReader::LoadStatus::LOAD_SYNTAX:
        return fault(problem, file, status.line, oneLine(status.errorText));
    case ConfReader::LoadStatus::LOAD_UNREADABLE:
        return fault(problem, file, 0, "cannot be read: " + oneLine(status.errorText));
    case ConfReader::LoadStatus::LOAD_LOCKED:
        return fault(problem, file, 0, "is locked by another process");
    default:
        return fault(problem, file, 0, "was not loaded");
    }
    // The judge the start-up asks: what it refuses would end the collection
    // once the threads are stopped.
    const ConfigurationJudge::Verdict verdict = ConfigurationJudge::judge(reader, agent.configurationDirectory());
    if (verdict.refused())
        return fault(problem, "", 0, verdict.firstRefusal());
    return collectorUsable(reader, agent, file, problem);
}

} // namespace Telvar
