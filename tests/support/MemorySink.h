#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "common/SmartPointer.h"
#include "logger/LogIdentifiers.h"
#include "logger/LoggerAgent.h"

namespace Telvar {

class LoggerCentre;

// A sink that keeps the lines in memory, for tests that check what was logged.
//
//   SmartPointer<MemorySink> sink;
//   SmartPointer<LoggerCentre> centre = MemorySink::makeCentre(sink);
//   LoggerUnit unit(centre, MODULE_AGENT);
//   ... sink->lines() ...
class MemorySink : public LoggerAgent {
public:
    MemorySink() = default;
    ~MemorySink() override;

    std::string location() const override { return "memory://"; }
    bool write(const std::string& line) override;

    std::vector<std::string> lines() const;
    size_t count() const;
    // The text part of each line (after the thread id and ": ").
    std::vector<std::string> texts() const;
    // True when some line contains the fragment.
    bool contains(const std::string& fragment) const;
    void clear();

    // write() answers false (and keeps nothing) while this is set.
    void setFailing(bool failing);

    // A messenger and centre writing into a new MemorySink, returned in sink.
    static SmartPointer<LoggerCentre> makeCentre(SmartPointer<MemorySink>& sink,
                                                 int32_t applicationId = APPLICATION_RAVLON);

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    bool failing_ = false;
};

} // namespace Telvar
