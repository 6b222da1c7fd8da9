#include "ravlon/CollectorConfiguration.h"

#include "agent/Agent.h"
#include "agent/DataDelivery.h"
#include "common/ConfReader.h"
#include "common/Exception.h"
#include "logger/LoggerUnit.h"
#include "logger/ParamStream.h"
#include "platform/FileSystem.h"
#include "platform/MailslotTransport.h"
#include "platform/PerfData.h"
#include "ravlon/Counter.h"
#include "ravlon/CollectorSettings.h"
#include "ravlon/ConfigurationJudge.h"
#include "ravlon/CounterNames.h"
#include "ravlon/CountersFile.h"
#include "ravlon/RecordExport.h"

namespace Telvar {

namespace {

// Written while configuring, when no sampling thread runs.
std::string g_workingDirectory;
TimeSpan g_deliveryInterval(43200);
TimeSpan g_collectionInterval(1);

constexpr int32_t DEFAULT_DELIVERY_SECONDS = 43200;
constexpr int32_t DEFAULT_COLLECTION_SECONDS = 1;

void debug(const SmartPointer<LoggerUnit>& unit, int32_t level, const std::string& text)
{
    if (!unit.isNull())
        unit->debug(level, text);
}

void debug(const SmartPointer<LoggerUnit>& unit, int32_t level, const std::string& templ,
           const std::string& parameter)
{
    if (!unit.isNull())
        unit->debug(level, templ, ParamStream() << parameter);
}

TimeSpan intervalOf(const ConfReader* configuration, const std::string& key, int32_t fallback)
{
    TimeSpanParts parts;
    if (ConfReader::getTimeSpan(configuration, key, parts) != ConfReader::CONF_OK)
        return TimeSpan(fallback);
    try {
        return TimeSpan(parts);
    } catch (const Exception&) {
        // Beyond the range of a span: as if not readable.
        return TimeSpan(fallback);
    }
}

// The collector reads back what it finds in its working directory and takes
// commands through its runtime directory: another account able to write
// there could feed it records or take its names. The runtime directory is
// looked at only once it exists (it is made safe when made).
bool directoriesTrusted(const SmartPointer<LoggerUnit>& unit, const std::string& working)
{
    const std::string runtime = Platform::mailslotDirectory();
    Platform::PathStatus status;
    std::vector<std::string> directories = {working};
    if (!runtime.empty() && Platform::pathStatus(runtime, status))
        directories.push_back(runtime);
    for (const std::string& directory : directories) {
        std::string why;
        if (Platform::isTrustedDirectory(directory, why))
            continue;
        if (!unit.isNull())
            unit->fatal(CollectorConfiguration::MSG_UNSAFE_DIRECTORY, ParamStream() << directory << why);
        return false;
    }
    return true;
}

} // namespace

const std::string& CollectorConfiguration::workingDirectory() { return g_workingDirectory; }
const TimeSpan& CollectorConfiguration::deliveryInterval() { return g_deliveryInterval; }
const TimeSpan& CollectorConfiguration::collectionInterval() { return g_collectionInterval; }

bool CollectorConfiguration::configureCollector(Agent& agent, bool& degradeSetting,
                                                Sampling::DataFileEntries& entries)
{
    const SmartPointer<LoggerUnit>& unit = agent.programUnit();
    setCounterLogger(unit);
    const ConfReader* configuration = agent.configuration();

    const std::string working =
        CollectorSettings::workingDirectory(configuration, CollectorSettings::installDirectory());
    g_workingDirectory = working;
    debug(unit, 4, "Working dir: %s.", working);
    if (!CollectorSettings::makeDirectory(working)) {
        if (!unit.isNull())
            unit->fatal(MSG_NO_WORKING_DIR, ParamStream() << working);
        return false;
    }
    if (!directoriesTrusted(unit, working))
        return false;

    g_deliveryInterval = intervalOf(configuration, "ravlon.interval", DEFAULT_DELIVERY_SECONDS);
    debug(unit, 4, "Data delivery at interval: %s.", g_deliveryInterval.toText());
    // Data files registered with interval 0 take this one.
    DataDelivery::instance().setDefaultInterval(g_deliveryInterval);
    // Delivered files older than this go; without the key they stay.
    const TimeSpan keep = intervalOf(configuration, "ravlon.keep", 0);
    DataDelivery::instance().retention().configure(working, keep);
    if (keep.seconds() > 0)
        debug(unit, 4, "Delivered data files kept for: %s.", keep.toText());
    g_collectionInterval = intervalOf(configuration, "ravlon.data-collection", DEFAULT_COLLECTION_SECONDS);
    debug(unit, 4, "Data collection at interval: %s.", g_collectionInterval.toText());

    bool degrade = degradeSetting;
    if (ConfReader::getBool(configuration, "ravlon.degrade-pdh-warnings", degrade) == ConfReader::CONF_OK)
        degradeSetting = degrade;
    degradePdhWarnings = degradeSetting;

    // A query left by an earlier run would only leak: its counters are gone.
    if (pdhQuery != Platform::PDH_NULL_HANDLE) {
        Platform::perfData().closeQuery(pdhQuery);
        pdhQuery = Platform::PDH_NULL_HANDLE;
    }
    Platform::PdhHandle query = Platform::PDH_NULL_HANDLE;
    if (Platform::perfData().openQuery(query) != 0 || query == Platform::PDH_NULL_HANDLE) {
        if (!unit.isNull())
            unit->fatal(MSG_NO_QUERY);
        debug(unit, 1, "Unable to collect performance data.");
        return false;
    }
    pdhQuery = query;
    debug(unit, 2, "Opened PDH query");

    if (!getCollectionSchemes(agent, entries))
        return false;
    if (!localizeCounters())
        return false;
    addCountersToQuery();
    if (!Sampling::preparePoller(agent))
        return false;

    for (const auto& entry : entries)
        DataDelivery::instance().registerLogFile(working + entry.first, entry.second, TimeSpan(0), false, nullptr);
    entries.clear();
    std::vector<std::vector<std::string>> schemePaths;
    for (const auto& scheme : Sampling::schemeCounters())
        schemePaths.push_back(scheme.second);
    RecordExport::configure(configuration, working, schemePaths, unit);
    return true;
}

bool CollectorConfiguration::judgeConfiguration(Agent& agent)
{
    const SmartPointer<LoggerUnit>& unit = agent.programUnit();
    if (agent.configuration() == nullptr)
        return false;
    setCounterLogger(unit);
    ConfigurationJudge::Verdict verdict =
        ConfigurationJudge::judge(*agent.configuration(), agent.configurationDirectory());
    for (const ConfigurationJudge::Finding& f : verdict.findings) {
        if (unit.isNull())
            break;
        if (f.refuses)
            unit->fatal(MSG_REFUSED, ParamStream() << (f.where + ": " + f.text));
        else
            unit->warning(MSG_CONFIGURATION, ParamStream() << (f.where + ": " + f.text));
    }
    if (!verdict.refused())
        return true;
    agent.setFailure(verdict.firstRefusal());
    return false;
}

bool CollectorConfiguration::getCollectionSchemes(Agent& agent, Sampling::DataFileEntries& entries)
{
    const SmartPointer<LoggerUnit>& unit = agent.programUnit();
    auto fatalKey = [&unit](int32_t message, const std::string& key) {
        if (!unit.isNull())
            unit->fatal(message, ParamStream() << key);
        return false;
    };

    debug(unit, 1, "Getting collection schemes...");
    std::vector<CollectorSettings::Scheme> schemes;
    if (CollectorSettings::readSchemes(agent.configuration(), schemes) != ConfReader::CONF_OK)
        return fatalKey(MSG_KEY_UNREADABLE, CollectorSettings::KEY_SCHEMES);
    if (schemes.empty())
        return fatalKey(MSG_NO_SCHEMES, CollectorSettings::KEY_SCHEMES);

    for (const CollectorSettings::Scheme& scheme : schemes) {
        if (scheme.activeResult != ConfReader::CONF_OK)
            return fatalKey(MSG_KEY_UNREADABLE, scheme.key + ".active");
        if (!scheme.active) {
            debug(unit, 2, "%s is not active. Skipping it.", scheme.name);
            continue;
        }
        debug(unit, 2, "%s is active, and will now be configured.", scheme.name);
        if (scheme.kindResult != ConfReader::CONF_OK)
            return fatalKey(MSG_KEY_UNREADABLE, scheme.key + ".scheme");

        if (scheme.kind == CollectorSettings::KIND_COUNTERS_FILE) {
            debug(unit, 3, "   Using counters file scheme.");
            if (scheme.fileResult != ConfReader::CONF_OK)
                return fatalKey(MSG_KEY_UNREADABLE, scheme.key + ".scheme.file");
            std::vector<SmartPointer<Counter>> counters;
            if (!CountersFile::setUpCounters(unit, scheme.file, counters))
                return false;
            std::vector<std::string> paths;
            paths.reserve(counters.size());
            for (const SmartPointer<Counter>& counter : counters) {
                // A path already registered keeps its first counter.
                registerCounter(counter);
                paths.push_back(counter->counterPath);
            }
            Sampling::schemeCounters().emplace(scheme.name, paths);
            if (!Sampling::prepareCollector(agent, scheme.name, entries))
                return false;
        } else if (scheme.kind == CollectorSettings::KIND_IDLE_DATA) {
            debug(unit, 1, "   Idle data scheme no longer supported!");
        } else if (!unit.isNull()) {
            unit->error(MSG_UNKNOWN_SCHEME, ParamStream() << scheme.kind << (scheme.key + ".scheme"));
        }
    }
    return true;
}

} // namespace Telvar
