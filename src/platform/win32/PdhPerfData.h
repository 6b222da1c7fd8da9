#pragma once

#include <map>
#include <mutex>
#include <set>

#include "platform/PerfData.h"
#include "platform/win32/SelfObject.h"

namespace Telvar {
namespace Platform {

// The system provider on Windows: the Performance Data Helper itself and the
// name table the registry publishes under HKEY_PERFORMANCE_DATA. Handles it
// did not give out, or already closed, get PDH_INVALID_HANDLE as on the other
// systems: PDH itself may follow them as pointers.
class PdhPerfData : public PerfDataProvider {
public:
    PdhStatus openQuery(PdhHandle& query) override;
    PdhStatus closeQuery(PdhHandle query) override;
    PdhStatus addCounter(PdhHandle query, const std::string& path, uintptr_t userData,
                         PdhHandle& counter) override;
    PdhStatus removeCounter(PdhHandle counter) override;
    PdhStatus collectQueryData(PdhHandle query) override;
    PdhStatus getFormattedValue(PdhHandle counter, uint32_t format, uint32_t* type,
                                PdhFmtCounterValue& value) override;
    PdhStatus getCounterType(PdhHandle counter, uint32_t& type) override;
    PdhStatus lookupNameByIndex(const char* machine, uint32_t index, char* buffer, uint32_t& size) override;
    uint32_t englishNameTable(char* buffer, uint32_t& size) override;
    PdhStatus enumObjects(std::vector<std::string>& objects) override;
    PdhStatus enumObjectItems(const std::string& object, std::vector<std::string>& counters,
                              std::vector<std::string>& instances) override;

private:
    bool knownQuery(PdhHandle query);
    bool knownCounter(PdhHandle counter);
    // The Ravlon Collector object's counters, served here rather than by PDH.
    struct SelfCounter {
        PdhHandle query;
        int counter;
    };
    struct SelfSamples {
        SelfObject::Sample previous, current;
    };
    bool isSelfCounter(PdhHandle counter);
    PdhStatus addSelfCounter(PdhHandle query, int index, PdhHandle& counter);
    bool collectSelf(PdhHandle query);
    PdhStatus selfValue(PdhHandle counter, uint32_t format, uint32_t* type, PdhFmtCounterValue& value);

    std::mutex mutex_;
    // Open queries with their counters (guarded by mutex_).
    std::map<PdhHandle, std::set<PdhHandle>> queries_;
    // Counter to its query (guarded by mutex_).
    std::map<PdhHandle, PdhHandle> counters_;
    // Self counters by handle, and the samples of the queries that hold some
    // (guarded by mutex_). Their handles are odd: PDH's are aligned pointers.
    std::map<PdhHandle, SelfCounter> selfCounters_;
    std::map<PdhHandle, SelfSamples> selfSamples_;
    PdhHandle nextSelf_ = 1;
};

} // namespace Platform
} // namespace Telvar
