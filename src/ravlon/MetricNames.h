#pragma once

#include <string>
#include <vector>

namespace Telvar {

// The name of one counter in a time-series engine. The Prometheus name is
// measurement + "_" + field, so a series pushed as line protocol and one
// scraped from the endpoint carry the same name.
struct MetricName {
    std::string measurement;  // "ravlon_" + object: "ravlon_processor"
    std::string field;        // counter with unit suffix: "processor_time_percent"
    std::string instance;     // the object instance, empty when it has none
    std::string help;         // the path without its instance: "\Processor\% Processor Time"

    std::string metric() const { return measurement + "_" + field; }
};

// Maps English counter paths ("\Object(Instance)\Counter") to metric names:
// lower case, every run of other characters one "_", "%" becomes the suffix
// "_percent" and "/sec" the suffix "_per_second" (counters named "... Bytes"
// end in "_bytes" already). The mapping depends on the path alone.
class MetricNames {
public:
    static MetricName of(const std::string& path);

    // The names of a set of paths. Two different counters that would meet
    // in one name (say "Disk Reads/sec" and "Disk Reads /sec") both get "_"
    // and eight hex digits of their path's checksum appended, so no series
    // mixes two counters. Same paths, same names.
    static std::vector<MetricName> forPaths(const std::vector<std::string>& paths);

    // Lower case; every run of characters other than letters and digits
    // becomes one "_"; none at either end.
    static std::string snake(const std::string& text);
};

} // namespace Telvar
