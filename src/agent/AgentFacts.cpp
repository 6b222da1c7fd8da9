#include "agent/AgentFacts.h"

#include <utility>

#include "common/SystemInfo.h"

namespace Telvar {

AgentFacts::AgentFacts()
    : AgentFacts(StaticInfoSource(&SystemInfo::getStaticInfo))
{
}

AgentFacts::AgentFacts(StaticInfoSource source)
    : source_(std::move(source))
{
}

AgentFacts::~AgentFacts() = default;

void AgentFacts::gatherHostFacts()
{
    if (source_)
        source_(domain_, computerName_, architecture_, osName_);
}

bool AgentFacts::loadPrimeTime(const std::string& path)
{
    // A fresh definition: loading appends, and a reconfiguration must not
    // keep the rules of a file that has changed since.
    PrimeTime fresh;
    if (!fresh.load(path))
        return false;
    primeTime_ = fresh;
    return true;
}

void AgentFacts::clearPrimeTime()
{
    primeTime_ = PrimeTime();
}

std::string AgentFacts::primeTimeClass(const DateTime& moment)
{
    return PrimeTime::label(primeTime_.classify(moment));
}

} // namespace Telvar
