#pragma once

#include <functional>
#include <string>

#include "common/DateTime.h"
#include "common/PrimeTime.h"

namespace Telvar {

// The labels of every measurement record: the four static host facts and
// the prime-time definition. Filled while the agent configures itself (no
// worker runs then) and only read by the record writers afterwards.
class AgentFacts {
public:
    // Fills domain, computer name, architecture and operating-system name;
    // a fact it cannot read is left as it is.
    using StaticInfoSource = std::function<void(std::string& domain, std::string& computerName,
                                                std::string& architecture, std::string& osName)>;

    // Gathers through SystemInfo::getStaticInfo.
    AgentFacts();
    explicit AgentFacts(StaticInfoSource source);
    virtual ~AgentFacts();

    // Reads the host facts again; one that cannot be read keeps its value.
    void gatherHostFacts();

    // Replaces the prime-time definition with the rules of the file; false
    // (definition unchanged) when it cannot be read.
    bool loadPrimeTime(const std::string& path);
    // Back to no rules: every moment is "undef".
    void clearPrimeTime();

    const std::string& domain() const { return domain_; }
    const std::string& computerName() const { return computerName_; }
    const std::string& architecture() const { return architecture_; }
    const std::string& osName() const { return osName_; }

    // "prime", "non-prime" or "undef". Uses the definition's cache, so calls
    // must not overlap (the writers hold samplingLock).
    std::string primeTimeClass(const DateTime& moment);
    PrimeTime& primeTime() { return primeTime_; }

private:
    StaticInfoSource source_;
    std::string domain_;
    std::string computerName_;
    std::string architecture_;
    std::string osName_;
    PrimeTime primeTime_;
};

} // namespace Telvar
