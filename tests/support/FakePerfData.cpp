#include "support/FakePerfData.h"

#include <cstring>

namespace Telvar {
namespace Test {

using namespace Platform;

FakePerfData::FakePerfData() = default;

FakePerfData::~FakePerfData() { uninstall(); }

void FakePerfData::install()
{
    setPerfDataProvider(this);
    installed_ = true;
}

void FakePerfData::uninstall()
{
    if (installed_)
        setPerfDataProvider(nullptr);
    installed_ = false;
}

void FakePerfData::addName(uint32_t index, const std::string& english, const std::string& current)
{
    names_.push_back(Name{index, english, current});
}

void FakePerfData::addGermanNames()
{
    addName(230, "Process", "Prozess");
    addName(238, "Processor", "Prozessor");
    addName(6, "% Processor Time", "Prozessorzeit (%)");
    addName(1746, "% Idle Time", "Leerlaufzeit (%)");
    addName(4, "Memory", "Speicher");
    addName(1380, "Available Bytes", "Verf\xc3\xbcgbare Bytes");
    addName(26, "Committed Bytes", "Zugesicherte verwendete Bytes");
    addName(234, "PhysicalDisk", "Physikalischer Datentr\xc3\xa4ger");
    addName(220, "Disk Read Bytes/sec", "Bytes gelesen/s");
}

void FakePerfData::failLookup(uint32_t index, PdhStatus status) { lookupFailures_[index] = status; }

std::string FakePerfData::englishTableBytes() const
{
    std::string bytes;
    for (const Name& n : names_) {
        bytes += std::to_string(n.index);
        bytes += '\0';
        bytes += n.english;
        bytes += '\0';
    }
    bytes += rawTableTail_;
    bytes += '\0';
    return bytes;
}

void FakePerfData::acceptPath(const std::string& path) { accepted_[path] = true; }

void FakePerfData::rejectPath(const std::string& path, PdhStatus status) { rejected_[path] = status; }

void FakePerfData::queueValue(const std::string& path, const Value& value) { values_[path].push_back(value); }

void FakePerfData::queueDouble(const std::string& path, double v)
{
    Value value;
    value.doubleValue = v;
    queueValue(path, value);
}

void FakePerfData::queueLarge(const std::string& path, int64_t v)
{
    Value value;
    value.largeValue = v;
    queueValue(path, value);
}

PdhStatus FakePerfData::openQuery(PdhHandle& query)
{
    query = 0x42;
    return 0;
}

PdhStatus FakePerfData::closeQuery(PdhHandle) { return 0; }

PdhStatus FakePerfData::addCounter(PdhHandle, const std::string& path, uintptr_t, PdhHandle& counter)
{
    addedPaths.push_back(path);
    counter = PDH_NULL_HANDLE;
    auto r = rejected_.find(path);
    if (r != rejected_.end()) {
        counter = PDH_BAD_HANDLE_VALUE;
        return r->second;
    }
    if (accepted_.count(path) == 0)
        return PDH_CSTATUS_NO_OBJECT;
    counter = nextHandle_++;
    handles_[counter] = path;
    return 0;
}

PdhStatus FakePerfData::removeCounter(PdhHandle counter)
{
    return handles_.erase(counter) != 0 ? 0 : PDH_INVALID_HANDLE;
}

PdhStatus FakePerfData::collectQueryData(PdhHandle)
{
    ++collections;
    return 0;
}

PdhStatus FakePerfData::getCounterType(PdhHandle counter, uint32_t& type)
{
    auto h = handles_.find(counter);
    if (h == handles_.end())
        return PDH_INVALID_HANDLE;
    auto failure = typeFailures_.find(h->second);
    if (failure != typeFailures_.end())
        return failure->second;
    auto t = types_.find(h->second);
    type = t != types_.end() ? t->second : PERF_COUNTER_COUNTER;
    return 0;
}

PdhStatus FakePerfData::getFormattedValue(PdhHandle counter, uint32_t format, uint32_t* type,
                                          PdhFmtCounterValue& value)
{
    formatsAsked.push_back(format);
    value = PdhFmtCounterValue();
    auto h = handles_.find(counter);
    if (h == handles_.end())
        return PDH_INVALID_HANDLE;
    if (type != nullptr) {
        auto t = types_.find(h->second);
        *type = t != types_.end() ? t->second : PERF_COUNTER_COUNTER;
    }
    std::deque<Value>& queue = values_[h->second];
    if (queue.empty()) {
        value.cStatus = PDH_CSTATUS_INVALID_DATA;
        return PDH_INVALID_DATA;
    }
    Value v = queue.front();
    if (queue.size() > 1)
        queue.pop_front();
    value.cStatus = v.cStatus;
    if (format & PDH_FMT_DOUBLE)
        value.doubleValue = v.doubleValue;
    if (format & PDH_FMT_LARGE)
        value.largeValue = v.largeValue;
    return v.status;
}

PdhStatus FakePerfData::lookupNameByIndex(const char*, uint32_t index, char* buffer, uint32_t& size)
{
    lookupSizes.push_back(size);
    auto f = lookupFailures_.find(index);
    if (f != lookupFailures_.end())
        return f->second;
    for (const Name& n : names_) {
        if (n.index != index)
            continue;
        uint32_t needed = static_cast<uint32_t>(n.current.size() + 1);
        if (buffer == nullptr || size < needed) {
            size = needed;
            return PDH_MORE_DATA;
        }
        std::memcpy(buffer, n.current.c_str(), needed);
        size = needed;
        return 0;
    }
    return PDH_INVALID_ARGUMENT;
}

uint32_t FakePerfData::englishNameTable(char* buffer, uint32_t& size)
{
    tableSizes.push_back(size);
    if (englishTableError_ != 0)
        return englishTableError_;
    std::string bytes = englishTableBytes();
    uint32_t needed = static_cast<uint32_t>(bytes.size());
    if (buffer == nullptr || size < needed) {
        size = needed;
        return PERF_ERROR_MORE_DATA;
    }
    std::memcpy(buffer, bytes.data(), needed);
    size = needed;
    return PERF_ERROR_SUCCESS;
}

std::string FakePerfData::errorText(uint32_t error) { return "fake error " + std::to_string(error); }

PdhStatus FakePerfData::enumObjects(std::vector<std::string>& objects)
{
    objects.clear();
    for (const Name& n : names_)
        objects.push_back(n.current);
    return 0;
}

PdhStatus FakePerfData::enumObjectItems(const std::string&, std::vector<std::string>& counters,
                                        std::vector<std::string>& instances)
{
    counters.clear();
    instances.clear();
    return PDH_CSTATUS_NO_OBJECT;
}

} // namespace Test
} // namespace Telvar
