#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/TimeSpan.h"
#include "ravlon/Sampling.h"

namespace Telvar {

class Agent;
class ConfReader;

// The collector's own configuration step: working directory, intervals, the
// query, the collection schemes with their counters files, the sampling
// threads and one data file per scheme.
class CollectorConfiguration {
public:
    // degradeSetting receives "ravlon.degrade-pdh-warnings" (left as it is
    // when the key cannot be read); entries are filled and then consumed.
    static bool configureCollector(Agent& agent, bool& degradeSetting,
                                   Sampling::DataFileEntries& entries);
    static bool getCollectionSchemes(Agent& agent, Sampling::DataFileEntries& entries);

    // Numbered messages of the collector's module sent here.
    static constexpr int32_t MSG_NO_QUERY = 8;          // fatal
    static constexpr int32_t MSG_NO_WORKING_DIR = 11;   // fatal: directory
    static constexpr int32_t MSG_KEY_UNREADABLE = 23;   // fatal: key
    static constexpr int32_t MSG_NO_SCHEMES = 24;       // fatal: key
    static constexpr int32_t MSG_UNKNOWN_SCHEME = 25;   // error: value, key

    static constexpr const char* KEY_SCHEMES = "ravlon.collect";
    static constexpr const char* KIND_COUNTERS_FILE = "counters-file";
    static constexpr const char* KIND_IDLE_DATA = "idle-data";

    // The keys of one collection scheme as the configuration gives them;
    // each result is the getter's (0 when readable).
    struct SchemeSetting {
        std::string name;
        std::string key;  // "ravlon.collect." + name
        int32_t activeResult = 0;
        bool active = false;
        int32_t kindResult = 0;
        std::string kind;  // trimmed, case kept
        int32_t fileResult = 0;
        std::string file;
    };
    // The schemes in file order; the result is that of "ravlon.collect".
    static int32_t readSchemeSettings(const ConfReader* configuration, std::vector<SchemeSetting>& schemes);

    // Install directory (resource "InstallDir", else the current directory)
    // and the working directory the configuration gives, both normalised
    // and ending in a separator.
    static std::string installDirectory();
    static std::string workingDirectoryOf(const ConfReader* configuration, const std::string& installDirectory);

    // Process-wide results, read after configuring.
    static const std::string& workingDirectory();
    static const TimeSpan& deliveryInterval();
    static const TimeSpan& collectionInterval();
};

} // namespace Telvar
