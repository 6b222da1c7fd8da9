#pragma once

#include <cstdint>
#include <string>

#include "common/TimeSpan.h"
#include "ravlon/Sampling.h"

namespace Telvar {

class Agent;

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
    // The configuration judge on the agent's configuration: every finding
    // logged once (warnings and the refusal), false when it refuses, with the
    // agent's failure set.
    static bool judgeConfiguration(Agent& agent);

    // Numbered messages of the collector's module sent here.
    static constexpr int32_t MSG_NO_QUERY = 8;          // fatal
    static constexpr int32_t MSG_NO_WORKING_DIR = 11;   // fatal: directory
    static constexpr int32_t MSG_KEY_UNREADABLE = 23;   // fatal: key
    static constexpr int32_t MSG_NO_SCHEMES = 24;       // fatal: key
    static constexpr int32_t MSG_UNKNOWN_SCHEME = 25;   // error: value, key
    static constexpr int32_t MSG_REFUSED = 31;          // fatal: the judge's finding
    static constexpr int32_t MSG_CONFIGURATION = 32;    // warning: the judge's finding
    static constexpr int32_t MSG_UNSAFE_DIRECTORY = 35; // fatal: directory, reason

    // Process-wide results, read after configuring.
    static const std::string& workingDirectory();
    static const TimeSpan& deliveryInterval();
    static const TimeSpan& collectionInterval();
};

} // namespace Telvar
