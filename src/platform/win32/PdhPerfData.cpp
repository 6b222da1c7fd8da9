#include "platform/win32/PdhPerfData.h"

#include <cstring>

#include <windows.h>
#include <pdh.h>
#include <pdhmsg.h>

namespace Telvar {
namespace Platform {

namespace {

// The name table is a few hundred kilobytes; anything far beyond is not one.
constexpr DWORD MAX_NAME_TABLE = 16u * 1024 * 1024;
constexpr int ENUM_TRIES = 4;

PDH_HQUERY queryOf(PdhHandle handle) { return reinterpret_cast<PDH_HQUERY>(handle); }
PDH_HCOUNTER counterOf(PdhHandle handle) { return reinterpret_cast<PDH_HCOUNTER>(handle); }

void splitMultiString(const std::vector<char>& buffer, DWORD length, std::vector<std::string>& out)
{
    out.clear();
    size_t i = 0;
    while (i < length && i < buffer.size() && buffer[i] != '\0') {
        size_t end = i;
        while (end < length && end < buffer.size() && buffer[end] != '\0')
            ++end;
        out.emplace_back(&buffer[i], end - i);
        i = end + 1;
    }
}

} // namespace

bool PdhPerfData::knownQuery(PdhHandle query)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return queries_.count(query) != 0;
}

bool PdhPerfData::knownCounter(PdhHandle counter)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_.count(counter) != 0;
}

bool PdhPerfData::isSelfCounter(PdhHandle counter)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return selfCounters_.count(counter) != 0;
}

PdhStatus PdhPerfData::addSelfCounter(PdhHandle query, int index, PdhHandle& counter)
{
    std::lock_guard<std::mutex> lock(mutex_);
    counter = nextSelf_;
    nextSelf_ += 2;
    selfCounters_[counter] = SelfCounter{query, index};
    selfSamples_[query];
    queries_[query].insert(counter);
    counters_[counter] = query;
    return PDH_CSTATUS_VALID_DATA;
}

// True when the query holds self counters (their sample is then taken).
bool PdhPerfData::collectSelf(PdhHandle query)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = selfSamples_.find(query);
    if (it == selfSamples_.end())
        return false;
    it->second.previous = std::move(it->second.current);
    SelfObject::take(it->second.current);
    return true;
}

PdhStatus PdhPerfData::selfValue(PdhHandle counter, uint32_t format, uint32_t* type, PdhFmtCounterValue& value)
{
    value = PdhFmtCounterValue();
    std::lock_guard<std::mutex> lock(mutex_);
    const SelfCounter& c = selfCounters_[counter];
    const uint32_t counterType = SelfObject::counterType(c.counter);
    if (type != nullptr)
        *type = counterType;
    const SelfSamples& samples = selfSamples_[c.query];
    double v = 0;
    value.cStatus = SelfObject::value(c.counter, samples.current, samples.previous, v);
    if (value.cStatus != PDH_CSTATUS_VALID_DATA)
        return PDH_INVALID_DATA;
    if ((counterType & PERF_DISPLAY_MASK) == PERF_DISPLAY_PERCENT && (format & PDH_FMT_NOCAP100) == 0 && v > 100.0)
        v = 100.0;
    if (format & PDH_FMT_DOUBLE)
        value.doubleValue = v;
    else if (format & PDH_FMT_LARGE)
        value.largeValue = static_cast<int64_t>(v);
    else if (format & PDH_FMT_LONG)
        value.longValue = static_cast<int32_t>(v < 2147483647.0 ? v : 2147483647.0);
    else
        return PDH_INVALID_ARGUMENT;
    return PDH_CSTATUS_VALID_DATA;
}

PdhStatus PdhPerfData::openQuery(PdhHandle& query)
{
    PDH_HQUERY handle = nullptr;
    DWORD status = ::PdhOpenQueryA(nullptr, 0, &handle);
    query = status == ERROR_SUCCESS ? reinterpret_cast<PdhHandle>(handle) : PDH_NULL_HANDLE;
    if (query != PDH_NULL_HANDLE) {
        std::lock_guard<std::mutex> lock(mutex_);
        queries_[query];
    }
    return static_cast<PdhStatus>(status);
}

PdhStatus PdhPerfData::closeQuery(PdhHandle query)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = queries_.find(query);
        if (it == queries_.end())
            return PDH_INVALID_HANDLE;
        // PDH closes the query's counters with it.
        for (PdhHandle c : it->second) {
            counters_.erase(c);
            selfCounters_.erase(c);
        }
        selfSamples_.erase(query);
        queries_.erase(it);
    }
    return static_cast<PdhStatus>(::PdhCloseQuery(queryOf(query)));
}

PdhStatus PdhPerfData::addCounter(PdhHandle query, const std::string& path, uintptr_t userData,
                                  PdhHandle& counter)
{
    counter = PDH_NULL_HANDLE;
    if (!knownQuery(query))
        return PDH_INVALID_HANDLE;
    const int self = SelfObject::counterOf(path);
    if (self >= 0)
        return addSelfCounter(query, self, counter);
    PDH_HCOUNTER handle = nullptr;
    DWORD status = ::PdhAddCounterA(queryOf(query), path.c_str(), userData, &handle);
    if (status != ERROR_SUCCESS || handle == nullptr)
        return static_cast<PdhStatus>(status);
    counter = reinterpret_cast<PdhHandle>(handle);
    std::lock_guard<std::mutex> lock(mutex_);
    queries_[query].insert(counter);
    counters_[counter] = query;
    return static_cast<PdhStatus>(status);
}

PdhStatus PdhPerfData::removeCounter(PdhHandle counter)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = counters_.find(counter);
        if (it == counters_.end())
            return PDH_INVALID_HANDLE;
        queries_[it->second].erase(counter);
        counters_.erase(it);
        if (selfCounters_.erase(counter) != 0)
            return PDH_CSTATUS_VALID_DATA;
    }
    return static_cast<PdhStatus>(::PdhRemoveCounter(counterOf(counter)));
}

PdhStatus PdhPerfData::collectQueryData(PdhHandle query)
{
    if (!knownQuery(query))
        return PDH_INVALID_HANDLE;
    const bool self = collectSelf(query);
    PdhStatus status = static_cast<PdhStatus>(::PdhCollectQueryData(queryOf(query)));
    // a query of self counters only has nothing for PDH to collect
    return self && status == PDH_NO_DATA ? PDH_CSTATUS_VALID_DATA : status;
}

PdhStatus PdhPerfData::getFormattedValue(PdhHandle counter, uint32_t format, uint32_t* type,
                                         PdhFmtCounterValue& value)
{
    if (!knownCounter(counter)) {
        value = PdhFmtCounterValue();
        return PDH_INVALID_HANDLE;
    }
    if (isSelfCounter(counter))
        return selfValue(counter, format, type, value);
    PDH_FMT_COUNTERVALUE raw;
    std::memset(&raw, 0, sizeof raw);
    DWORD counterType = 0;
    DWORD status = ::PdhGetFormattedCounterValue(counterOf(counter), format, &counterType, &raw);
    if (type != nullptr)
        *type = counterType;
    value = PdhFmtCounterValue();
    value.cStatus = static_cast<PdhStatus>(raw.CStatus);
    if (status == ERROR_SUCCESS) {
        if (format & PDH_FMT_DOUBLE)
            value.doubleValue = raw.doubleValue;
        else if (format & PDH_FMT_LARGE)
            value.largeValue = raw.largeValue;
        else if (format & PDH_FMT_LONG)
            value.longValue = raw.longValue;
    }
    return static_cast<PdhStatus>(status);
}

PdhStatus PdhPerfData::getCounterType(PdhHandle counter, uint32_t& type)
{
    if (!knownCounter(counter))
        return PDH_INVALID_HANDLE;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto self = selfCounters_.find(counter);
        if (self != selfCounters_.end()) {
            type = SelfObject::counterType(self->second.counter);
            return PDH_CSTATUS_VALID_DATA;
        }
    }
    DWORD size = 0;
    DWORD status = ::PdhGetCounterInfoA(counterOf(counter), FALSE, &size, nullptr);
    if (status != PDH_MORE_DATA && status != ERROR_SUCCESS)
        return static_cast<PdhStatus>(status);
    std::vector<BYTE> info(size > sizeof(PDH_COUNTER_INFO_A) ? size : sizeof(PDH_COUNTER_INFO_A));
    size = static_cast<DWORD>(info.size());
    status = ::PdhGetCounterInfoA(counterOf(counter), FALSE, &size, reinterpret_cast<PDH_COUNTER_INFO_A*>(info.data()));
    if (status == ERROR_SUCCESS)
        type = reinterpret_cast<PDH_COUNTER_INFO_A*>(info.data())->dwType;
    return static_cast<PdhStatus>(status);
}

PdhStatus PdhPerfData::lookupNameByIndex(const char* machine, uint32_t index, char* buffer, uint32_t& size)
{
    std::string self;
    if (SelfObject::nameOfIndex(index, self)) {
        const uint32_t needed = static_cast<uint32_t>(self.size() + 1);
        if (buffer == nullptr || needed > size) {
            size = needed;
            return PDH_MORE_DATA;
        }
        std::memcpy(buffer, self.c_str(), needed);
        size = needed;
        return PDH_CSTATUS_VALID_DATA;
    }
    // PDH may write into a buffer that turns out too small; the caller's is
    // only touched once the whole name fits.
    std::vector<char> local(size > PDH_MAX_COUNTER_NAME ? size : PDH_MAX_COUNTER_NAME + 1);
    DWORD length = static_cast<DWORD>(local.size());
    DWORD status = ::PdhLookupPerfNameByIndexA(machine, index, local.data(), &length);
    if (status == PDH_MORE_DATA || status == PDH_INSUFFICIENT_BUFFER) {
        size = length;
        return PDH_MORE_DATA;
    }
    if (status != ERROR_SUCCESS)
        return static_cast<PdhStatus>(status);
    local.back() = '\0';
    uint32_t needed = static_cast<uint32_t>(std::strlen(local.data()) + 1);
    if (buffer == nullptr || needed > size) {
        size = needed;
        return PDH_MORE_DATA;
    }
    std::memcpy(buffer, local.data(), needed);
    size = needed;
    return PDH_CSTATUS_VALID_DATA;
}

uint32_t PdhPerfData::englishNameTable(char* buffer, uint32_t& size)
{
    // HKEY_PERFORMANCE_DATA does not tell the size it needs: grow until the
    // table fits.
    std::vector<BYTE> local(size > 64 * 1024 ? size : 64 * 1024);
    LONG rc;
    DWORD length;
    for (;;) {
        length = static_cast<DWORD>(local.size());
        DWORD type = 0;
        rc = ::RegQueryValueExA(HKEY_PERFORMANCE_DATA, "Counter 009", nullptr, &type, local.data(), &length);
        if (rc != ERROR_MORE_DATA)
            break;
        if (local.size() >= MAX_NAME_TABLE) {
            ::RegCloseKey(HKEY_PERFORMANCE_DATA);
            return PERF_ERROR_NOT_ENOUGH_MEMORY;
        }
        local.resize(local.size() * 2);
    }
    ::RegCloseKey(HKEY_PERFORMANCE_DATA);
    if (rc != ERROR_SUCCESS)
        return static_cast<uint32_t>(rc);
    // The self object's names go before the empty string that ends the table
    // (added when the system left it out).
    const std::string self = SelfObject::tableEntries();
    local.resize(length);
    const bool ended = length >= 2 && local[length - 1] == '\0' && local[length - 2] == '\0';
    if (ended)
        local.pop_back();
    else if (length > 0 && local[length - 1] != '\0')
        local.push_back('\0');
    local.insert(local.end(), self.begin(), self.end());
    local.push_back('\0');
    length = static_cast<DWORD>(local.size());
    if (buffer == nullptr || length > size) {
        size = length;
        return PERF_ERROR_MORE_DATA;
    }
    std::memcpy(buffer, local.data(), length);
    size = length;
    return PERF_ERROR_SUCCESS;
}

PdhStatus PdhPerfData::enumObjects(std::vector<std::string>& objects)
{
    objects.clear();
    DWORD status = PDH_MORE_DATA;
    for (int attempt = 0; attempt < ENUM_TRIES && status == PDH_MORE_DATA; ++attempt) {
        DWORD length = 0;
        status = ::PdhEnumObjectsA(nullptr, nullptr, nullptr, &length, PERF_DETAIL_WIZARD, attempt == 0);
        if (status != PDH_MORE_DATA && status != ERROR_SUCCESS)
            return static_cast<PdhStatus>(status);
        std::vector<char> list(length + 2, '\0');
        length = static_cast<DWORD>(list.size());
        status = ::PdhEnumObjectsA(nullptr, nullptr, list.data(), &length, PERF_DETAIL_WIZARD, FALSE);
        if (status == ERROR_SUCCESS)
            splitMultiString(list, static_cast<DWORD>(list.size()), objects);
    }
    if (status == ERROR_SUCCESS)
        objects.push_back(SelfObject::NAME);
    return static_cast<PdhStatus>(status);
}

PdhStatus PdhPerfData::enumObjectItems(const std::string& object, std::vector<std::string>& counters,
                                       std::vector<std::string>& instances)
{
    counters.clear();
    instances.clear();
    if (object == SelfObject::NAME) {
        counters = SelfObject::counterNames();
        return PDH_CSTATUS_VALID_DATA;
    }
    DWORD status = PDH_MORE_DATA;
    for (int attempt = 0; attempt < ENUM_TRIES && status == PDH_MORE_DATA; ++attempt) {
        DWORD counterLength = 0, instanceLength = 0;
        status = ::PdhEnumObjectItemsA(nullptr, nullptr, object.c_str(), nullptr, &counterLength, nullptr,
                                       &instanceLength, PERF_DETAIL_WIZARD, 0);
        if (status != PDH_MORE_DATA && status != ERROR_SUCCESS)
            return static_cast<PdhStatus>(status);
        std::vector<char> counterList(counterLength + 2, '\0');
        std::vector<char> instanceList(instanceLength + 2, '\0');
        counterLength = static_cast<DWORD>(counterList.size());
        instanceLength = static_cast<DWORD>(instanceList.size());
        status = ::PdhEnumObjectItemsA(nullptr, nullptr, object.c_str(), counterList.data(), &counterLength,
                                       instanceList.data(), &instanceLength, PERF_DETAIL_WIZARD, 0);
        if (status == ERROR_SUCCESS) {
            splitMultiString(counterList, static_cast<DWORD>(counterList.size()), counters);
            splitMultiString(instanceList, static_cast<DWORD>(instanceList.size()), instances);
        }
    }
    return static_cast<PdhStatus>(status);
}

} // namespace Platform
} // namespace Telvar
