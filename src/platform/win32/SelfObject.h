#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/CollectorStatistics.h"
#include "platform/PerfData.h"

namespace Telvar {
namespace Platform {

// The Ravlon Collector object, which PDH does not publish: the process's own
// figures through the Win32 API, its threads' processor time by kind, and the
// counts the collector keeps. Its names are appended to the English name
// table under indices far above the system's, so that they translate to
// themselves.
class SelfObject {
public:
    static constexpr const char* NAME = "Ravlon Collector";
    static constexpr uint32_t FIRST_INDEX = 2000000000u;

    struct Thread {
        uint32_t tid;
        uint32_t kind;
        uint64_t created;  // tells a reused thread id apart
        uint64_t time;     // kernel + user, 100 ns
    };
    struct Sample {
        bool taken = false;
        int64_t ms = 0;
        uint64_t processTime = 0;  // kernel + user, 100 ns
        std::vector<Thread> threads;
        uint64_t workingSet = 0, privateBytes = 0, threadCount = 0, handleCount = 0;
        bool memory = false, handles = false;
        int64_t figures[CollectorStatistics::FIGURES] = {};
        double lastDeliveryAge = 0;
    };

    static const std::vector<std::string>& counterNames();
    // The counter a path "\Ravlon Collector\Name" names; -1 for another path.
    static int counterOf(const std::string& path);
    static uint32_t counterType(int counter);
    static void take(Sample& s);
    // cur and prev are the last two samples (prev.taken false before the second).
    static PdhStatus value(int counter, const Sample& cur, const Sample& prev, double& v);

    static bool nameOfIndex(uint32_t index, std::string& name);
    // "index\0name\0" for the object and each counter.
    static std::string tableEntries();
};

} // namespace Platform
} // namespace Telvar
