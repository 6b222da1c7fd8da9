#include "ravlon/StartPauses.h"

#include "common/DateTime.h"
#include "platform/Process.h"

namespace Telvar {

std::atomic<uint32_t> StartPauses::start_{DEFAULT_START_SECONDS};
std::atomic<uint32_t> StartPauses::settle_{DEFAULT_SETTLE_SECONDS};

namespace {

bool readVariable(const char* name, uint32_t& seconds, std::string& error)
{
    if (!Platform::hasEnvironmentVariable(name))
        return true;
    const std::string text = Platform::environmentVariable(name);
    if (StartPauses::parseSeconds(text, seconds))
        return true;
    error = std::string(name) + "=\"" + text + "\" is not a number of whole seconds from 0 to " +
            std::to_string(StartPauses::MAXIMUM_SECONDS) + ".";
    return false;
}

} // namespace

bool StartPauses::parseSeconds(const std::string& text, uint32_t& seconds)
{
    if (text.empty() || text.size() > 9)
        return false;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value > MAXIMUM_SECONDS)
        return false;
    seconds = value;
    return true;
}

bool StartPauses::load(std::string& error)
{
    uint32_t start = DEFAULT_START_SECONDS;
    uint32_t settle = DEFAULT_SETTLE_SECONDS;
    if (!readVariable(START_VARIABLE, start, error) || !readVariable(SETTLE_VARIABLE, settle, error))
        return false;
    start_ = start;
    settle_ = settle;
    return true;
}

bool StartPauses::pause(uint32_t seconds, const std::function<bool()>& stop)
{
    int64_t left = static_cast<int64_t>(seconds) * 1000;
    while (left > 0) {
        if (stop && stop())
            return false;
        int step = left < STEP_MS ? static_cast<int>(left) : STEP_MS;
        DateTime::sleepMilliseconds(step);
        left -= step;
    }
    return !(stop && stop());
}

} // namespace Telvar
