#include "logger/LogSeverity.h"

namespace Telvar {

namespace {
const char* const severityWords[] = {"NOTICE", "WARNING", "ERROR", "CRITICAL", "FATAL"};
}

std::string severityName(int32_t severity)
{
    if (severity < SEVERITY_NOTICE || severity > SEVERITY_FATAL)
        return std::string();
    return severityWords[severity];
}

int32_t parseSeverity(const std::string& word)
{
    if (word == "NONE" || word == "NOTHING")
        return SEVERITY_NONE;
    for (int32_t i = SEVERITY_NOTICE; i <= SEVERITY_FATAL; ++i)
        if (word == severityWords[i])
            return i;
    return SEVERITY_INVALID;
}

} // namespace Telvar
