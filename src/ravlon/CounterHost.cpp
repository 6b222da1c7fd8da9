#include "ravlon/CounterHost.h"

#include <map>

#include "common/StringUtil.h"
#include "platform/PerfData.h"
#include "ravlon/ConfigurationJudge.h"
#include "ravlon/Counter.h"
#include "ravlon/CounterNames.h"

namespace Telvar {

namespace {

using Platform::PdhStatus;

struct Group {
    const CounterHost::Listed* first = nullptr;
    size_t count = 0;
    bool perObject = false;
    std::string why;
};

bool containsIgnoringCase(const std::vector<std::string>& list, const std::string& word)
{
    const std::string lower = StringUtil::toLowerCopy(word);
    for (const std::string& item : list)
        if (StringUtil::toLowerCopy(item) == lower)
            return true;
    return false;
}

// A host may run hundreds of processes: the first few tell enough.
std::string joined(const std::vector<std::string>& list)
{
    constexpr size_t SHOWN = 12;
    std::string text;
    for (size_t i = 0; i < list.size() && i < SHOWN; ++i)
        text += (text.empty() ? "" : ", ") + list[i];
    if (list.size() > SHOWN)
        text += " and " + std::to_string(list.size() - SHOWN) + " more";
    return text;
}

// Why the host gives no value for an object's instance; empty when it has it.
std::string instanceProblem(const std::string& object)
{
    std::string base;
    std::string instance;
    if (!ConfigurationJudge::splitInstance(object, base, instance) || instance == "*")
        return "";
    std::vector<std::string> counters;
    std::vector<std::string> instances;
    if (Platform::perfData().enumObjectItems(base, counters, instances) != 0 || instances.empty() ||
        containsIgnoringCase(instances, instance))
        return "";
    return "this host has no instance " + instance + " of " + base + "; it has " + joined(instances);
}

std::string addProblem(Platform::PdhHandle query, const Counter& c)
{
    Platform::PerfDataProvider& pdh = Platform::perfData();
    const std::string path = c.localizedPath.empty() ? c.counterPath : c.localizedPath;
    Platform::PdhHandle handle = Platform::PDH_NULL_HANDLE;
    PdhStatus status = pdh.addCounter(query, path, 0, handle);
    if (status == 0) {
        if (handle != Platform::PDH_NULL_HANDLE)
            pdh.removeCounter(handle);
        return instanceProblem(c.object);
    }
    return "this host cannot give it: " + pdhStatusText(status);
}

} // namespace

CounterHost::Report CounterHost::check(const std::vector<Listed>& counters)
{
    Report report;
    if (counters.empty())
        return report;
    clearRegistry();
    for (const Listed& l : counters)
        registerCounter(SmartPointer<Counter>(new Counter(l.object, l.counter)));
    if (!localizeCounters()) {
        clearRegistry();
        return {false, "the host's English counter names cannot be read", {}};
    }
    Platform::PdhHandle query = Platform::PDH_NULL_HANDLE;
    if (Platform::perfData().openQuery(query) != 0) {
        clearRegistry();
        return {false, "no performance data query can be opened on this host", {}};
    }
    // Keyed by file and object, in the order first seen.
    std::map<std::string, Group> groups;
    std::vector<std::string> order;
    for (const Listed& l : counters) {
        SmartPointer<Counter> c = findCounter("\\" + l.object + "\\" + l.counter);
        std::string why = c.isNull() ? std::string() : addProblem(query, *c);
        if (why.empty())
            continue;
        // An instance the host lacks is one finding for all the object's counters.
        const bool perObject = why.compare(0, 20, "this host has no ins") == 0;
        const std::string key = l.file + "\n" + l.object + (perObject ? "" : "\n" + l.counter);
        Group& g = groups[key];
        if (g.first == nullptr) {
            g.first = &l;
            g.why = why;
            g.perObject = perObject;
            order.push_back(key);
        }
        ++g.count;
    }
    Platform::perfData().closeQuery(query);
    clearRegistry();
    for (const std::string& key : order) {
        const Group& g = groups[key];
        const Listed& l = *g.first;
        const std::string what =
            g.perObject ? l.object + " (" + std::to_string(g.count) + " counter" + (g.count > 1 ? "s" : "") + ")"
                        : "\\" + l.object + "\\" + l.counter;
        report.missing.push_back({l.file, l.line,
                                  what + " of scheme " + l.scheme + ": " + g.why +
                                      ". Not collected: the column stays empty until it appears"});
    }
    return report;
}

} // namespace Telvar
