#include "ravlon/Counter.h"

#include <cstdio>
#include <string>

#include "ravlon/CounterLog.h"

namespace Telvar {

using namespace Platform;

Platform::PdhHandle pdhQuery = PDH_NULL_HANDLE;
std::atomic<bool> degradePdhWarnings{false};

Counter::Counter(const std::string& objectName, const std::string& counterName)
    : counterPath("\\" + objectName + "\\" + counterName), object(objectName), counter(counterName)
{
}

Counter::~Counter() = default;

CounterRegistry& counterRegistry()
{
    static CounterRegistry registry;
    return registry;
}

bool registerCounter(const SmartPointer<Counter>& counter)
{
    if (counter.isNull())
        return false;
    CounterRegistry& r = counterRegistry();
    if (r.positions.count(counter->counterPath) != 0)
        return false;
    r.counters.push_back(counter);
    r.positions[counter->counterPath] = r.counters.size() - 1;
    CounterLog::debugf(5, "Added counter \"%s\".", counter->counterPath.c_str());
    return true;
}

SmartPointer<Counter> findCounter(const std::string& counterPath)
{
    CounterRegistry& r = counterRegistry();
    auto it = r.positions.find(counterPath);
    if (it == r.positions.end() || it->second >= r.counters.size())
        return SmartPointer<Counter>();
    return r.counters[it->second];
}

void clearRegistry()
{
    CounterRegistry& r = counterRegistry();
    r.counters.clear();
    r.positions.clear();
}

namespace {

// Percentages, and every counter whose type makes its value a fraction
// (ratios, averages, timers), are read as doubles; whole counts as integers.
uint32_t valueFormat(PerfDataProvider& pdh, PdhHandle handle, const std::string& path)
{
    uint32_t type = 0;
    if (path.find('%') != std::string::npos ||
        (pdh.getCounterType(handle, type) == PDH_CSTATUS_VALID_DATA && isFractionCounterType(type)))
        return PDH_FMT_DOUBLE;
    return PDH_FMT_LARGE;
}

} // namespace

bool addCountersToQuery()
{
    PerfDataProvider& pdh = perfData();
    for (SmartPointer<Counter>& c : counterRegistry().counters) {
        if (c.isNull())
            continue;
        if (c->localizedPath.empty()) {
            c->handle = PDH_NULL_HANDLE;
            CounterLog::debugf(4, "   No valid mapping for object \"%s\", counter \"%s\".", c->object.c_str(),
                               c->counter.c_str());
            continue;
        }
        PdhHandle handle = PDH_NULL_HANDLE;
        PdhStatus status = pdh.addCounter(pdhQuery, c->localizedPath, 0, handle);
        // A null handle with a success status would never give values either.
        if (status == 0 && handle != PDH_BAD_HANDLE_VALUE && handle != PDH_NULL_HANDLE) {
            c->handle = handle;
            CounterLog::debugf(5, "      Added counter \"%s\".", c->localizedPath.c_str());
            c->format = valueFormat(pdh, handle, c->localizedPath);
        } else {
            c->handle = PDH_NULL_HANDLE;
            CounterLog::warning(CounterLog::MSG_CANNOT_ADD, {c->localizedPath});
            CounterLog::debugf(1, "PdhAddCounter error. (%s) Unable to add \"%s\".", pdhStatusText(status).c_str(),
                               c->localizedPath.c_str());
        }
    }
    CounterLog::debug(3, "   Done.");
    return true;
}

namespace {

void resetSums(Counter& c)
{
    c.integerSum = 0;
    c.realSum = 0.0;
    c.sampleCount = 0;
    c.hasData = false;
}

} // namespace

namespace {

// A rate counter has no value before its second sample, nor for a sample or
// two when its source restarts (a process instance changing hands): "no
// valid data" is a failure only when it lasts this many samples.
constexpr uint32_t LASTING_SAMPLES = 3;

// Whether this failure is to be said now; a failure goes on silently.
bool firstOfFailure(Counter& c, PdhStatus failure, PdhStatus cStatus)
{
    ++c.failedInARow;
    if (failure == c.reportedFailure)
        return false;
    if (cStatus == PDH_CSTATUS_INVALID_DATA && c.failedInARow < LASTING_SAMPLES)
        return false;
    c.reportedFailure = failure;
    return true;
}

void reportFailure(Counter& c, PdhStatus status, PdhStatus cStatus, bool degrade)
{
    if (!firstOfFailure(c, status != 0 ? status : cStatus, cStatus))
        return;
    // The configuration check named a missing instance already.
    if (cStatus == PDH_CSTATUS_NO_INSTANCE)
        return;
    if (status != 0) {
        std::string text = pdhStatusText(status);
        if (status == PDH_INVALID_HANDLE || status == PDH_INVALID_ARGUMENT || status == PDH_INVALID_DATA) {
            if (degrade)
                CounterLog::debugf(1, "PdhCollectQueryData error! (%s.)", text.c_str());
            else
                CounterLog::warning(CounterLog::MSG_PDH_ERROR, {text + " (" + c.localizedPath + ")"});
        }
        CounterLog::debugf(1, "registerCounterData: Error \"%s\", getting value for \"%s\". Resetting.",
                           text.c_str(), c.localizedPath.c_str());
        return;
    }
    if (cStatus == PDH_CSTATUS_INVALID_DATA) {
        CounterLog::debugf(1, "The counter \"%s\" does not have valid data.", c.localizedPath.c_str());
        if (!degrade)
            CounterLog::warning(CounterLog::MSG_NO_VALID_DATA, {c.localizedPath});
    }
}

void reportValue(Counter& c)
{
    c.failedInARow = 0;
    if (c.reportedFailure == 0)
        return;
    c.reportedFailure = 0;
    CounterLog::notice(CounterLog::MSG_VALUES_AGAIN, {c.localizedPath});
}

} // namespace

bool registerCounterData(bool reset)
{
    PerfDataProvider& pdh = perfData();
    const bool degrade = degradePdhWarnings.load();
    for (SmartPointer<Counter>& cp : counterRegistry().counters) {
        if (cp.isNull() || cp->handle == PDH_NULL_HANDLE)
            continue;
        Counter& c = *cp;
        if (reset)
            resetSums(c);
        uint32_t type = 0;
        PdhFmtCounterValue value;
        PdhStatus status = pdh.getFormattedValue(c.handle, c.format, &type, value);
        if (status != 0) {
            reportFailure(c, status, value.cStatus == PDH_CSTATUS_VALID_DATA ? 0 : value.cStatus, degrade);
            resetSums(c);
            continue;
        }
        if (value.cStatus == PDH_CSTATUS_VALID_DATA || value.cStatus == PDH_CSTATUS_NEW_DATA) {
            if (c.format == PDH_FMT_LARGE)
                c.integerSum += value.largeValue;
            else if (c.format == PDH_FMT_DOUBLE)
                c.realSum += value.doubleValue;
            ++c.sampleCount;
            c.hasData = true;
            reportValue(c);
        } else {
            c.hasData = false;
            reportFailure(c, 0, value.cStatus, degrade);
        }
    }
    return true;
}

std::string valueText(const Counter& c)
{
    // A count of zero cannot come with data; it would only divide by zero.
    const bool usable = c.hasData && c.sampleCount != 0;
    char text[64];
    if (c.format == PDH_FMT_DOUBLE) {
        double average = usable ? c.realSum / static_cast<double>(c.sampleCount) : 0.0;
        std::snprintf(text, sizeof text, "%.2f", average);
        std::string s = text;
        while (!s.empty() && s.back() == '0')
            s.pop_back();
        for (char& ch : s)
            if (ch == ',')
                ch = '.';
        if (!s.empty() && s.back() == '.')
            s.pop_back();
        return s;
    }
    if (c.format == PDH_FMT_LARGE) {
        int64_t average = usable ? c.integerSum / static_cast<int64_t>(c.sampleCount) : 0;
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(average));
        return text;
    }
    CounterLog::debugf(1, "Unknown value format for counter \"%s\".", c.localizedPath.c_str());
    return "0";
}

bool isValid(const Counter& c) { return c.handle != PDH_NULL_HANDLE; }

bool hasData(const Counter& c) { return c.hasData; }

namespace {

struct StatusEntry {
    PdhStatus code;
    const char* name;
    const char* text;  // null: the name
};

const StatusEntry STATUS_TABLE[] = {
    {PDH_CSTATUS_VALID_DATA, "PDH_CSTATUS_VALID_DATA", nullptr},
    {PDH_CSTATUS_NEW_DATA, "PDH_CSTATUS_NEW_DATA", nullptr},
    {PDH_CSTATUS_NO_MACHINE, "PDH_CSTATUS_NO_MACHINE", "No machine (PDH_CSTATUS_NO_MACHINE)"},
    {PDH_CSTATUS_NO_INSTANCE, "PDH_CSTATUS_NO_INSTANCE", nullptr},
    {PDH_MORE_DATA, "PDH_MORE_DATA", nullptr},
    {PDH_CSTATUS_ITEM_NOT_VALIDATED, "PDH_CSTATUS_ITEM_NOT_VALIDATED", nullptr},
    {PDH_RETRY, "PDH_RETRY", nullptr},
    {PDH_NO_DATA, "PDH_NO_DATA", nullptr},
    {PDH_CALC_NEGATIVE_DENOMINATOR, "PDH_CALC_NEGATIVE_DENOMINATOR", nullptr},
    {PDH_CALC_NEGATIVE_TIMEBASE, "PDH_CALC_NEGATIVE_TIMEBASE", nullptr},
    {PDH_CALC_NEGATIVE_VALUE, "PDH_CALC_NEGATIVE_VALUE",
     "A counter with a negative value was detected (PDH_CALC_NEGATIVE_VALUE)"},
    {PDH_DIALOG_CANCELLED, "PDH_DIALOG_CANCELLED", nullptr},
    {PDH_END_OF_LOG_FILE, "PDH_END_OF_LOG_FILE", nullptr},
    {PDH_ASYNC_QUERY_TIMEOUT, "PDH_ASYNC_QUERY_TIMEOUT", nullptr},
    {PDH_CANNOT_SET_DEFAULT_REALTIME_DATASOURCE, "PDH_CANNOT_SET_DEFAULT_REALTIME_DATASOURCE", nullptr},
    {PDH_CSTATUS_NO_OBJECT, "PDH_CSTATUS_NO_OBJECT", "No object (PDH_CSTATUS_NO_OBJECT)"},
    {PDH_CSTATUS_NO_COUNTER, "PDH_CSTATUS_NO_COUNTER", "No counter (PDH_CSTATUS_NO_COUNTER)"},
    {PDH_CSTATUS_INVALID_DATA, "PDH_CSTATUS_INVALID_DATA", nullptr},
    {PDH_MEMORY_ALLOCATION_FAILURE, "PDH_MEMORY_ALLOCATION_FAILURE",
     "Memory allocation failure (PDH_MEMORY_ALLOCATION_FAILURE)"},
    {PDH_INVALID_HANDLE, "PDH_INVALID_HANDLE", "Invalid handle (PDH_INVALID_HANDLE)"},
    {PDH_INVALID_ARGUMENT, "PDH_INVALID_ARGUMENT", "Invalid argument (PDH_INVALID_ARGUMENT)"},
    {PDH_FUNCTION_NOT_FOUND, "PDH_FUNCTION_NOT_FOUND", "Function not found (PDH_FUNCTION_NOT_FOUND)"},
    {PDH_CSTATUS_NO_COUNTERNAME, "PDH_CSTATUS_NO_COUNTERNAME", "No counter name (PDH_CSTATUS_NO_COUNTERNAME)"},
    {PDH_CSTATUS_BAD_COUNTERNAME, "PDH_CSTATUS_BAD_COUNTERNAME", "Bad counter name (PDH_CSTATUS_BAD_COUNTERNAME)"},
    {PDH_INVALID_BUFFER, "PDH_INVALID_BUFFER", nullptr},
    {PDH_INSUFFICIENT_BUFFER, "PDH_INSUFFICIENT_BUFFER", nullptr},
    {PDH_CANNOT_CONNECT_MACHINE, "PDH_CANNOT_CONNECT_MACHINE", nullptr},
    {PDH_INVALID_PATH, "PDH_INVALID_PATH", nullptr},
    {PDH_INVALID_INSTANCE, "PDH_INVALID_INSTANCE", nullptr},
    {PDH_INVALID_DATA, "PDH_INVALID_DATA", "No valid data (PDH_INVALID_DATA)"},
    {PDH_NO_DIALOG_DATA, "PDH_NO_DIALOG_DATA", nullptr},
    {PDH_CANNOT_READ_NAME_STRINGS, "PDH_CANNOT_READ_NAME_STRINGS", nullptr},
    {PDH_LOG_FILE_CREATE_ERROR, "PDH_LOG_FILE_CREATE_ERROR", nullptr},
    {PDH_LOG_FILE_OPEN_ERROR, "PDH_LOG_FILE_OPEN_ERROR", nullptr},
    {PDH_LOG_TYPE_NOT_FOUND, "PDH_LOG_TYPE_NOT_FOUND", nullptr},
    {PDH_NO_MORE_DATA, "PDH_NO_MORE_DATA", nullptr},
    {PDH_ENTRY_NOT_IN_LOG_FILE, "PDH_ENTRY_NOT_IN_LOG_FILE", nullptr},
    {PDH_DATA_SOURCE_IS_LOG_FILE, "PDH_DATA_SOURCE_IS_LOG_FILE", nullptr},
    {PDH_DATA_SOURCE_IS_REAL_TIME, "PDH_DATA_SOURCE_IS_REAL_TIME", nullptr},
    {PDH_UNABLE_READ_LOG_HEADER, "PDH_UNABLE_READ_LOG_HEADER", nullptr},
    {PDH_FILE_NOT_FOUND, "PDH_FILE_NOT_FOUND", nullptr},
    {PDH_FILE_ALREADY_EXISTS, "PDH_FILE_ALREADY_EXISTS", nullptr},
    {PDH_NOT_IMPLEMENTED, "PDH_NOT_IMPLEMENTED", nullptr},
    {PDH_STRING_NOT_FOUND, "PDH_STRING_NOT_FOUND", nullptr},
    {PDH_UNABLE_MAP_NAME_FILES, "PDH_UNABLE_MAP_NAME_FILES", nullptr},
    {PDH_UNKNOWN_LOG_FORMAT, "PDH_UNKNOWN_LOG_FORMAT", nullptr},
    {PDH_UNKNOWN_LOGSVC_COMMAND, "PDH_UNKNOWN_LOGSVC_COMMAND", nullptr},
    {PDH_LOGSVC_QUERY_NOT_FOUND, "PDH_LOGSVC_QUERY_NOT_FOUND", nullptr},
    {PDH_LOGSVC_NOT_OPENED, "PDH_LOGSVC_NOT_OPENED", nullptr},
    {PDH_WBEM_ERROR, "PDH_WBEM_ERROR", nullptr},
    {PDH_ACCESS_DENIED, "PDH_ACCESS_DENIED", nullptr},
    {PDH_LOG_FILE_TOO_SMALL, "PDH_LOG_FILE_TOO_SMALL", nullptr},
    {PDH_INVALID_DATASOURCE, "PDH_INVALID_DATASOURCE", nullptr},
    {PDH_INVALID_SQLDB, "PDH_INVALID_SQLDB", nullptr},
    {PDH_NO_COUNTERS, "PDH_NO_COUNTERS", nullptr},
    {PDH_SQL_ALLOC_FAILED, "PDH_SQL_ALLOC_FAILED", nullptr},
    {PDH_SQL_ALLOCCON_FAILED, "PDH_SQL_ALLOCCON_FAILED", nullptr},
    {PDH_SQL_EXEC_DIRECT_FAILED, "PDH_SQL_EXEC_DIRECT_FAILED", nullptr},
    {PDH_SQL_FETCH_FAILED, "PDH_SQL_FETCH_FAILED", nullptr},
    {PDH_SQL_ROWCOUNT_FAILED, "PDH_SQL_ROWCOUNT_FAILED", nullptr},
    {PDH_SQL_MORE_RESULTS_FAILED, "PDH_SQL_MORE_RESULTS_FAILED", nullptr},
    {PDH_SQL_CONNECT_FAILED, "PDH_SQL_CONNECT_FAILED", nullptr},
    {PDH_SQL_BIND_FAILED, "PDH_SQL_BIND_FAILED", nullptr},
    {PDH_CANNOT_CONNECT_WMI_SERVER, "PDH_CANNOT_CONNECT_WMI_SERVER", nullptr},
    {PDH_PLA_COLLECTION_ALREADY_RUNNING, "PDH_PLA_COLLECTION_ALREADY_RUNNING", nullptr},
    {PDH_PLA_ERROR_SCHEDULE_OVERLAP, "PDH_PLA_ERROR_SCHEDULE_OVERLAP", nullptr},
    {PDH_PLA_COLLECTION_NOT_FOUND, "PDH_PLA_COLLECTION_NOT_FOUND", nullptr},
    {PDH_PLA_ERROR_SCHEDULE_ELAPSED, "PDH_PLA_ERROR_SCHEDULE_ELAPSED", nullptr},
    {PDH_PLA_ERROR_NOSTART, "PDH_PLA_ERROR_NOSTART", nullptr},
    {PDH_PLA_ERROR_ALREADY_EXISTS, "PDH_PLA_ERROR_ALREADY_EXISTS", nullptr},
    {PDH_PLA_ERROR_TYPE_MISMATCH, "PDH_PLA_ERROR_TYPE_MISMATCH", nullptr},
    {PDH_PLA_ERROR_FILEPATH, "PDH_PLA_ERROR_FILEPATH", nullptr},
    {PDH_PLA_SERVICE_ERROR, "PDH_PLA_SERVICE_ERROR", nullptr},
    {PDH_PLA_VALIDATION_ERROR, "PDH_PLA_VALIDATION_ERROR", nullptr},
    {PDH_PLA_VALIDATION_WARNING, "PDH_PLA_VALIDATION_WARNING", nullptr},
    {PDH_PLA_ERROR_NAME_TOO_LONG, "PDH_PLA_ERROR_NAME_TOO_LONG", nullptr},
    {PDH_INVALID_SQL_LOG_FORMAT, "PDH_INVALID_SQL_LOG_FORMAT", nullptr},
    {PDH_COUNTER_ALREADY_IN_QUERY, "PDH_COUNTER_ALREADY_IN_QUERY", nullptr},
};

const StatusEntry* findStatus(PdhStatus status)
{
    for (const StatusEntry& e : STATUS_TABLE)
        if (e.code == status)
            return &e;
    return nullptr;
}

std::string unknownStatus(PdhStatus status, uint32_t lastError)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(status));
    return "UNKNOWN (Status=" + std::to_string(static_cast<int32_t>(status)) + "{" + hex +
           "}  LastError=" + std::to_string(lastError) + ")";
}

} // namespace

std::string pdhStatusText(PdhStatus status)
{
    // Taken first: building the text must not change it.
    uint32_t lastError = pdhLastError();
    const StatusEntry* e = findStatus(status);
    if (e == nullptr)
        return unknownStatus(status, lastError);
    return e->text != nullptr ? e->text : e->name;
}

std::string pdhStatusName(PdhStatus status)
{
    uint32_t lastError = pdhLastError();
    const StatusEntry* e = findStatus(status);
    if (e == nullptr)
        return unknownStatus(status, lastError);
    return e->name;
}

} // namespace Telvar
