#include "ravlon/SelfFigures.h"

#include <cstdio>
#include <utility>
#include <vector>

#include "common/DateTime.h"
#include "platform/PerfData.h"

namespace Telvar {

namespace {

// A query of its own: the sampling query's running sums stay untouched.
class OwnQuery {
public:
    OwnQuery() { ok_ = Platform::perfData().openQuery(query_) == Platform::PDH_CSTATUS_VALID_DATA; }
    ~OwnQuery()
    {
        if (ok_)
            Platform::perfData().closeQuery(query_);
    }
    OwnQuery(const OwnQuery&) = delete;
    OwnQuery& operator=(const OwnQuery&) = delete;
    bool ok() const { return ok_; }
    Platform::PdhHandle handle() const { return query_; }

private:
    Platform::PdhHandle query_ = Platform::PDH_NULL_HANDLE;
    bool ok_ = false;
};

// Rates (per second) are shown with their fraction, as percentages are.
bool isRate(uint32_t type)
{
    return (type & Platform::PERF_TYPE_MASK) == Platform::PERF_TYPE_COUNTER &&
           (type & Platform::PERF_SUBTYPE_MASK) == Platform::PERF_COUNTER_RATE;
}

std::string valueText(Platform::PdhHandle counter, bool fraction)
{
    Platform::PdhFmtCounterValue value;
    const uint32_t format = fraction ? Platform::PDH_FMT_DOUBLE : Platform::PDH_FMT_LARGE;
    if (Platform::perfData().getFormattedValue(counter, format, nullptr, value) != Platform::PDH_CSTATUS_VALID_DATA)
        return "";
    char text[48];
    if (fraction)
        std::snprintf(text, sizeof text, "%.2f", value.doubleValue);
    else
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value.largeValue));
    return text;
}

} // namespace

std::string SelfFigures::text()
{
    Platform::PerfDataProvider& pdh = Platform::perfData();
    std::vector<std::string> names, instances;
    OwnQuery query;
    if (!query.ok() || pdh.enumObjectItems(OBJECT, names, instances) != Platform::PDH_CSTATUS_VALID_DATA)
        return "";
    std::vector<std::pair<std::string, Platform::PdhHandle>> counters;
    for (const std::string& name : names) {
        Platform::PdhHandle h = Platform::PDH_NULL_HANDLE;
        if (pdh.addCounter(query.handle(), "\\" + std::string(OBJECT) + "\\" + name, 0, h) ==
            Platform::PDH_CSTATUS_VALID_DATA)
            counters.emplace_back(name, h);
    }
    pdh.collectQueryData(query.handle());
    DateTime::sleepMilliseconds(RATE_WINDOW_MS);
    pdh.collectQueryData(query.handle());
    std::string out;
    for (const auto& c : counters) {
        uint32_t type = 0;
        const bool fraction = pdh.getCounterType(c.second, type) == Platform::PDH_CSTATUS_VALID_DATA &&
                              (Platform::isFractionCounterType(type) || isRate(type));
        out += (out.empty() ? "" : ";") + c.first + "=" + valueText(c.second, fraction);
    }
    return out;
}

} // namespace Telvar
