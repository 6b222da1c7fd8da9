#pragma once

// A scripted performance-data provider for tests: a name table with English
// and current-language names, paths the add call accepts, and per-counter
// queues of formatted-value results. install() makes it the process-wide
// provider until the fake is destroyed.

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "platform/PerfData.h"

namespace Telvar {
namespace Test {

class FakePerfData : public Platform::PerfDataProvider {
public:
    // One scripted answer of getFormattedValue.
    struct Value {
        Platform::PdhStatus status = 0;   // the call's own result
        Platform::PdhStatus cStatus = 0;  // the value's status
        double doubleValue = 0.0;
        int64_t largeValue = 0;
    };

    FakePerfData();
    ~FakePerfData() override;

    void install();
    void uninstall();

    // Name table: index with its English and current-language name.
    void addName(uint32_t index, const std::string& english, const std::string& current);
    // A few objects and counters with German current-language names.
    void addGermanNames();
    // A number that appears in the English table but whose lookup answers status.
    void failLookup(uint32_t index, Platform::PdhStatus status);
    // Error code of the next englishNameTable calls (0: success).
    void failEnglishTable(uint32_t error) { englishTableError_ = error; }
    // Extra raw bytes appended to the English table (malformed tails, etc.).
    void appendRawEnglishTable(const std::string& bytes) { rawTableTail_ += bytes; }
    std::string englishTableBytes() const;

    // Paths the add call accepts; any other path gets addStatus (default
    // PDH_CSTATUS_NO_OBJECT) or the status set for it.
    void acceptPath(const std::string& path);
    void rejectPath(const std::string& path, Platform::PdhStatus status);
    // Values answered for a path, one per call; the last one repeats.
    void queueValue(const std::string& path, const Value& value);
    void queueDouble(const std::string& path, double v);
    void queueLarge(const std::string& path, int64_t v);
    void clearValues(const std::string& path) { values_.erase(path); }
    // The counter type of a path (default PERF_COUNTER_COUNTER), or the
    // status getCounterType answers for it.
    void setCounterType(const std::string& path, uint32_t type) { types_[path] = type; }
    void failCounterType(const std::string& path, Platform::PdhStatus status) { typeFailures_[path] = status; }

    // What the code under test asked.
    std::vector<uint32_t> lookupSizes;      // buffer size of every lookup call
    std::vector<uint32_t> tableSizes;       // buffer size of every englishNameTable call
    std::vector<std::string> addedPaths;    // paths of every add call
    std::vector<uint32_t> formatsAsked;     // format of every getFormattedValue call
    int collections = 0;

    // PerfDataProvider
    Platform::PdhStatus openQuery(Platform::PdhHandle& query) override;
    Platform::PdhStatus closeQuery(Platform::PdhHandle query) override;
    Platform::PdhStatus addCounter(Platform::PdhHandle query, const std::string& path, uintptr_t userData,
                                   Platform::PdhHandle& counter) override;
    Platform::PdhStatus removeCounter(Platform::PdhHandle counter) override;
    Platform::PdhStatus collectQueryData(Platform::PdhHandle query) override;
    Platform::PdhStatus getFormattedValue(Platform::PdhHandle counter, uint32_t format, uint32_t* type,
                                          Platform::PdhFmtCounterValue& value) override;
    Platform::PdhStatus lookupNameByIndex(const char* machine, uint32_t index, char* buffer,
                                          uint32_t& size) override;
    uint32_t englishNameTable(char* buffer, uint32_t& size) override;
    std::string errorText(uint32_t error) override;
    Platform::PdhStatus getCounterType(Platform::PdhHandle counter, uint32_t& type) override;
    Platform::PdhStatus enumObjects(std::vector<std::string>& objects) override;
    Platform::PdhStatus enumObjectItems(const std::string& object, std::vector<std::string>& counters,
                                        std::vector<std::string>& instances) override;

private:
    struct Name {
        uint32_t index;
        std::string english;
        std::string current;
    };
    std::vector<Name> names_;
    std::map<uint32_t, Platform::PdhStatus> lookupFailures_;
    uint32_t englishTableError_ = 0;
    std::string rawTableTail_;
    std::map<std::string, bool> accepted_;
    std::map<std::string, Platform::PdhStatus> rejected_;
    std::map<std::string, std::deque<Value>> values_;
    std::map<std::string, uint32_t> types_;
    std::map<std::string, Platform::PdhStatus> typeFailures_;
    std::map<Platform::PdhHandle, std::string> handles_;
    Platform::PdhHandle nextHandle_ = 0x100;
    bool installed_ = false;
};

} // namespace Test
} // namespace Telvar
