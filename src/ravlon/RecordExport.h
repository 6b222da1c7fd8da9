#pragma once

#include <string>
#include <vector>

#include "common/SmartPointer.h"

namespace Telvar {

class ConfReader;
class LoggerUnit;

// Records for time-series engines, beside the data files: the scrape
// endpoint (ravlon.export.openmetrics.listen) and the durable push
// (ravlon.export.influx.*). Both are off when their key is absent.
class RecordExport {
public:
    static constexpr const char* KEY_LISTEN = "ravlon.export.openmetrics.listen";
    static constexpr const char* KEY_URL = "ravlon.export.influx.url";
    static constexpr const char* KEY_DATABASE = "ravlon.export.influx.database";
    static constexpr const char* KEY_TOKEN_FILE = "ravlon.export.influx.token-file";
    static constexpr const char* KEY_TIMEOUT = "ravlon.export.influx.timeout";
    static constexpr const char* KEY_SPOOL_LIMIT = "ravlon.export.influx.spool-limit";  // MiB

    // Ends what runs and starts what the configuration asks for, naming
    // the metrics after the schemes' counter paths. A part that cannot work
    // is reported and stays off; the collector runs on.
    static void configure(const ConfReader* configuration, const std::string& workingDirectory,
                          const std::vector<std::vector<std::string>>& schemePaths,
                          const SmartPointer<LoggerUnit>& unit);
    // A record is whole in its scheme's data file: it goes to the spool and
    // onto the page. text is the record as written (both lines).
    static void recordWritten(const std::string& scheme, const std::vector<std::string>& paths,
                              const std::string& text);
    // Ends both; records written afterwards are not exported.
    static void stop();
};

} // namespace Telvar
