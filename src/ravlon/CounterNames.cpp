#include "ravlon/CounterNames.h"

#include <cstdlib>
#include <new>
#include <vector>

#include "common/StringUtil.h"
#include "common/SystemInfo.h"
#include "platform/PerfData.h"
#include "ravlon/Counter.h"
#include "ravlon/CounterLog.h"

namespace Telvar {

using namespace Platform;

namespace {

constexpr uint32_t FIRST_TABLE_SIZE = 256;
constexpr uint32_t LOOKUP_SIZE = 200;
constexpr uint32_t LOOKUP_STEP = 100;
// A name longer than this is not a name; stop growing the buffer there.
constexpr uint32_t LOOKUP_LIMIT = 65536;

// The computer name the debug lines report for an object lookup.
std::string computerName()
{
    std::string domain, computer, architecture, osName;
    SystemInfo::getStaticInfo(domain, computer, architecture, osName);
    return computer;
}

// The usual leading-digits conversion; no digits give 0. Out-of-range
// numbers wrap as an unsigned conversion does.
uint32_t leadingNumber(const std::string& s)
{
    int64_t value = 0;
    StringUtil::leadingDigits(s, value);
    return static_cast<uint32_t>(value);
}

enum class LookupResult { Found, Failed, OutOfMemory };

// Current-language name of number; size is the lookup buffer size, grown
// in steps of 100 while the buffer is too short.
LookupResult lookupName(uint32_t number, bool isObject, const std::string& english, const Counter& c,
                        uint32_t& size, std::string& translated)
{
    PerfDataProvider& pdh = perfData();
    for (;;) {
        std::vector<char> buffer;
        uint32_t allocated = size + (isObject ? 1 : 0);
        try {
            buffer.assign(allocated, '\0');
        } catch (const std::bad_alloc&) {
            CounterLog::fatal(CounterLog::MSG_OUT_OF_MEMORY);
            return LookupResult::OutOfMemory;
        }
        uint32_t asked = allocated;
        PdhStatus status = pdh.lookupNameByIndex(nullptr, number, buffer.data(), asked);
        if (status == 0) {
            buffer.back() = '\0';
            translated = buffer.data();
            return LookupResult::Found;
        }
        if ((status == PDH_MORE_DATA || status == PDH_INSUFFICIENT_BUFFER) && size < LOOKUP_LIMIT) {
            size += LOOKUP_STEP;
            continue;
        }
        if (status == PDH_INVALID_ARGUMENT) {
            CounterLog::warning(CounterLog::MSG_BAD_LOOKUP_ARGUMENT, {english, "Argument"});
            return LookupResult::Failed;
        }
        CounterLog::warning(CounterLog::MSG_CANNOT_ADD, {c.counterPath});
        if (isObject)
            CounterLog::debugf(1, "mapCountersCurrentLanguage error. (%s) Unable to add \"%s\" to machine \"%s\".",
                               pdhStatusText(status).c_str(), c.counterPath.c_str(), computerName().c_str());
        else
            CounterLog::debugf(1, "mapCountersCurrentLanguage error. (%s) Unable to add \"%s\".",
                               pdhStatusText(status).c_str(), c.counterPath.c_str());
        return LookupResult::Failed;
    }
}

} // namespace

bool readEnglishNames(std::string& table)
{
    CounterLog::debug(2, "Getting registered counters...");
    PerfDataProvider& pdh = perfData();
    uint32_t size = FIRST_TABLE_SIZE;
    for (;;) {
        std::vector<char> buffer;
        try {
            buffer.assign(size, '\0');
        } catch (const std::bad_alloc&) {
            CounterLog::fatal(CounterLog::MSG_OUT_OF_MEMORY);
            return false;
        }
        uint32_t got = size;
        uint32_t error = pdh.englishNameTable(buffer.data(), got);
        if (error == PERF_ERROR_MORE_DATA) {
            // A size that does not grow would ask the same question forever.
            size = got > size ? got : size * 2;
            continue;
        }
        if (error != PERF_ERROR_SUCCESS) {
            CounterLog::fatal(CounterLog::MSG_NO_NAME_TABLE, {pdh.errorText(error)});
            return false;
        }
        table.assign(buffer.data(), got < size ? got : size);
        CounterLog::debug(3, "    Got 'em.");
        return true;
    }
}

bool NameLess::operator()(const std::string& a, const std::string& b) const
{
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        x = static_cast<unsigned char>(x >= 'A' && x <= 'Z' ? x - 'A' + 'a' : x);
        y = static_cast<unsigned char>(y >= 'A' && y <= 'Z' ? y - 'A' + 'a' : y);
        if (x != y)
            return x < y;
    }
    return a.size() < b.size();
}

bool buildEnglishNameIndex(const std::string& table, EnglishNameIndex& index)
{
    CounterLog::debug(2, "Mapping counters...");
    size_t pos = 0;
    uint32_t number = 0;
    bool wantNumber = true;
    while (pos < table.size()) {
        size_t end = table.find('\0', pos);
        if (end == std::string::npos)
            end = table.size();
        std::string piece = table.substr(pos, end - pos);
        pos = end + 1;
        if (piece.empty())
            break;  // the table ends with an empty string
        if (wantNumber) {
            number = leadingNumber(piece);
        } else if (index.emplace(piece, number).second) {
            CounterLog::debugf(5, "   Mapped \"%s\" to index %i.", piece.c_str(), static_cast<int>(number));
        }
        wantNumber = !wantNumber;
    }
    return true;
}

bool mapCountersCurrentLanguage(const EnglishNameIndex& index)
{
    CounterRegistry& registry = counterRegistry();
    CounterLog::debugf(2, "Mapping %i counter names to current language...", static_cast<int>(registry.counters.size()));
    uint32_t size = LOOKUP_SIZE;
    for (SmartPointer<Counter>& cp : registry.counters) {
        if (cp.isNull())
            continue;
        Counter& c = *cp;
        std::string base = c.object;
        std::string instancePart;
        size_t open = base.find('(');
        bool hasInstance = open != std::string::npos;
        if (hasInstance) {
            instancePart = base.substr(open + 1);  // the closing parenthesis stays with it
            base.erase(open);
        }
        auto objectIt = index.find(base);
        if (objectIt == index.end()) {
            CounterLog::debugf(1, "   ERROR: Unable to find mapping for object \"%s\". Ignoring it.", base.c_str());
            continue;
        }
        std::string translatedBase;
        LookupResult r = lookupName(objectIt->second, true, base, c, size, translatedBase);
        if (r == LookupResult::OutOfMemory)
            return false;
        if (r == LookupResult::Failed)
            continue;
        CounterLog::debugf(5, "   Mapped object \"%s\" to \"%s\".", base.c_str(), translatedBase.c_str());
        auto counterIt = index.find(c.counter);
        if (counterIt == index.end()) {
            CounterLog::debugf(1, "   ERROR: Unable to find mapping for counter \"%s\". Ignoring it.",
                               c.counter.c_str());
            continue;
        }
        size = LOOKUP_SIZE;
        std::string translatedCounter;
        r = lookupName(counterIt->second, false, c.counter, c, size, translatedCounter);
        if (r == LookupResult::OutOfMemory)
            return false;
        if (r == LookupResult::Failed)
            continue;
        c.localizedPath = "\\" + translatedBase + (hasInstance ? "(" + instancePart : std::string()) + "\\" +
                          translatedCounter;
        CounterLog::debugf(5, "   Mapped counter \"%s\" to \"%s\".", c.counter.c_str(), translatedCounter.c_str());
    }
    return true;
}

bool localizeCounters()
{
    std::string table;
    if (!readEnglishNames(table))
        return false;
    EnglishNameIndex index;
    buildEnglishNameIndex(table, index);
    return mapCountersCurrentLanguage(index);
}

} // namespace Telvar
