#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ravlon/MetricNames.h"

namespace Telvar {

// One measurement record as the engines see it: the scheme, the host, the
// record's own time and one value text per column (empty for a counter
// without data), with the columns' metric names.
struct RecordSample {
    std::string scheme;
    std::string host;
    int64_t time = 0;
    std::vector<std::string> values;
    std::vector<MetricName> names;
};

// A record in the two text formats of the engines.
class RecordLines {
public:
    // The classification and measurement lines as the writer builds them
    // (the last line end may be missing) into time, host and values; false
    // when the text is no record.
    static bool parse(const std::string& text, RecordSample& sample);

    // InfluxDB line protocol, time in seconds: one line per object and
    // instance, tagged host, scheme and object_instance, one field per
    // counter with a value. Empty when no counter has one.
    static std::string influx(const RecordSample& sample);

    // The latest records as a scrape page, every value a gauge, grouped by
    // metric name: Prometheus text 0.0.4, or OpenMetrics 1.0 (ending in
    // "# EOF"). Counters without a value are left out.
    static std::string page(const std::vector<RecordSample>& samples, bool openMetrics);

    // A decimal number as the collector writes it (no "nan", no "inf").
    static bool isNumber(const std::string& text);
};

} // namespace Telvar
