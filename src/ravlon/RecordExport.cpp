#include "ravlon/RecordExport.h"

#include <map>
#include <memory>
#include <mutex>

#include "common/ConfReader.h"
#include "common/Exception.h"
#include "common/FileOperations.h"
#include "common/TimeSpan.h"
#include "logger/LoggerUnit.h"
#include "logger/ParamStream.h"
#include "platform/FileSystem.h"
#include "ravlon/InfluxShipper.h"
#include "ravlon/MetricsEndpoint.h"
#include "ravlon/RecordLines.h"

namespace Telvar {

namespace {

// A token is a line, not a file's worth.
constexpr uint64_t MAX_TOKEN_FILE = 4096;
constexpr int32_t MAX_SPOOL_MIB = 4096;

struct State {
    std::mutex lock;
    std::unique_ptr<MetricsEndpoint> endpoint;   // GUARDED_BY(lock)
    std::unique_ptr<InfluxShipper> shipper;      // GUARDED_BY(lock)
    std::map<std::string, MetricName> names;     // GUARDED_BY(lock): by path
};

State& state()
{
    static State s;
    return s;
}

void problem(const SmartPointer<LoggerUnit>& unit, const std::string& text)
{
    if (!unit.isNull())
        unit->error(InfluxShipper::MSG_EXPORT, ParamStream() << text);
}

bool readToken(const std::string& path, std::string& token, std::string& why)
{
    if (!fileExists(path) || fileSize(path) > MAX_TOKEN_FILE) {
        why = "token file " + path + " is missing or larger than 4 KiB";
        return false;
    }
    std::FILE* stream = Platform::openStream(path, "rb");
    if (stream == nullptr) {
        why = "token file " + path + " cannot be read";
        return false;
    }
    char buffer[MAX_TOKEN_FILE + 1];
    size_t got = std::fread(buffer, 1, MAX_TOKEN_FILE, stream);
    std::fclose(stream);
    token.assign(buffer, got);
    while (!token.empty() && static_cast<unsigned char>(token.back()) <= ' ')
        token.pop_back();
    size_t start = 0;
    while (start < token.size() && static_cast<unsigned char>(token[start]) <= ' ')
        ++start;
    token.erase(0, start);
    return true;
}

// The push's settings; false (why says which key) when one is unusable.
bool influxSettings(const ConfReader* configuration, InfluxShipper::Settings& settings, std::string& why)
{
    ConfReader::getString(configuration, RecordExport::KEY_DATABASE, settings.database, true, false);
    std::string tokenFile;
    if (ConfReader::getFileName(configuration, RecordExport::KEY_TOKEN_FILE, tokenFile) == ConfReader::CONF_OK &&
        !readToken(tokenFile, settings.token, why))
        return false;
    TimeSpanParts parts;
    if (ConfReader::getTimeSpan(configuration, RecordExport::KEY_TIMEOUT, parts) == ConfReader::CONF_OK) {
        int32_t seconds = 0;
        try {
            seconds = TimeSpan(parts).seconds();
        } catch (const Exception&) {
        }
        if (seconds < 1 || seconds > 600) {
            why = std::string(RecordExport::KEY_TIMEOUT) + " is not between 1 second and 10 minutes";
            return false;
        }
        settings.timeoutSeconds = seconds;
    }
    int32_t mebibytes = 0;
    if (ConfReader::getInteger(configuration, RecordExport::KEY_SPOOL_LIMIT, mebibytes) == ConfReader::CONF_OK) {
        if (mebibytes < 1 || mebibytes > MAX_SPOOL_MIB) {
            why = std::string(RecordExport::KEY_SPOOL_LIMIT) + " is not between 1 and 4096 (MiB)";
            return false;
        }
        settings.spoolLimit = static_cast<uint64_t>(mebibytes) << 20;
    }
    return true;
}

void startShipper(State& s, const ConfReader* configuration, const std::string& workingDirectory,
                  const SmartPointer<LoggerUnit>& unit)
{
    InfluxShipper::Settings settings;
    if (ConfReader::getString(configuration, RecordExport::KEY_URL, settings.url, true, false) != ConfReader::CONF_OK)
        return;
    std::string why;
    if (!influxSettings(configuration, settings, why)) {
        problem(unit, why + "; records are not pushed");
        return;
    }
    std::unique_ptr<InfluxShipper> shipper(new InfluxShipper(settings, workingDirectory, unit));
    if (!shipper->start(why)) {
        problem(unit, why + "; records are not pushed");
        return;
    }
    s.shipper = std::move(shipper);
}

void startEndpoint(State& s, const ConfReader* configuration, const SmartPointer<LoggerUnit>& unit)
{
    std::string listen;
    if (ConfReader::getString(configuration, RecordExport::KEY_LISTEN, listen, true, false) != ConfReader::CONF_OK)
        return;
    std::unique_ptr<MetricsEndpoint> endpoint(new MetricsEndpoint);
    std::string why;
    if (!endpoint->start(listen, why)) {
        problem(unit, why + "; no /metrics");
        return;
    }
    s.endpoint = std::move(endpoint);
}

} // namespace

void RecordExport::configure(const ConfReader* configuration, const std::string& workingDirectory,
                             const std::vector<std::vector<std::string>>& schemePaths,
                             const SmartPointer<LoggerUnit>& unit)
{
    stop();
    State& s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    std::vector<std::string> all;
    for (const std::vector<std::string>& paths : schemePaths)
        all.insert(all.end(), paths.begin(), paths.end());
    std::vector<MetricName> names = MetricNames::forPaths(all);
    for (size_t i = 0; i < all.size(); ++i)
        s.names[all[i]] = names[i];
    startShipper(s, configuration, workingDirectory, unit);
    startEndpoint(s, configuration, unit);
}

void RecordExport::recordWritten(const std::string& scheme, const std::vector<std::string>& paths,
                                 const std::string& text)
{
    State& s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    if (!s.shipper && !s.endpoint)
        return;
    RecordSample sample;
    if (!RecordLines::parse(text, sample))
        return;
    sample.scheme = scheme;
    for (const std::string& path : paths) {
        auto found = s.names.find(path);
        sample.names.push_back(found != s.names.end() ? found->second : MetricNames::of(path));
    }
    if (s.shipper) {
        const std::string lines = RecordLines::influx(sample);
        if (!lines.empty())
            s.shipper->add(lines);
    }
    if (s.endpoint)
        s.endpoint->update(sample);
}

void RecordExport::stop()
{
    State& s = state();
    std::unique_ptr<MetricsEndpoint> endpoint;
    std::unique_ptr<InfluxShipper> shipper;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        endpoint = std::move(s.endpoint);
        shipper = std::move(s.shipper);
        s.names.clear();
    }
    // Ended outside the lock: a writer never waits for a request to end.
    endpoint.reset();
    shipper.reset();
}

} // namespace Telvar
