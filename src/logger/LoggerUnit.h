#pragma once

#include <cstdint>
#include <string>

#include "common/SmartPointer.h"
#include "logger/LogIdentifiers.h"
#include "logger/LogSeverity.h"
#include "logger/LoggerCentre.h"
#include "logger/ParamStream.h"

namespace Telvar {

// A module's logger. Every call answers true when the entry was delivered or
// suppressed by a threshold, false when it could not be delivered. Nothing
// here throws.
class LoggerUnit {
public:
    LoggerUnit(SmartPointer<LoggerCentre> centre, int32_t moduleId);
    LoggerUnit(const LoggerUnit&) = delete;
    LoggerUnit& operator=(const LoggerUnit&) = delete;
    virtual ~LoggerUnit();

    // Debug text of level 1..5, filtered by debugLevel().
    bool debug(int32_t level, const std::string& text);
    // The template filled from the parameters (formatTemplate), then as above.
    bool debug(int32_t level, const std::string& templ, const ParamStream& params);

    // A numbered message; not filtered by the severity threshold.
    bool message(int32_t severity, int32_t messageId, const std::string& parameters);

    // Filtered by severityThreshold(), then message().
    bool notice(int32_t messageId);
    bool notice(int32_t messageId, const ParamStream& params);
    bool warning(int32_t messageId);
    bool warning(int32_t messageId, const ParamStream& params);
    bool error(int32_t messageId);
    bool error(int32_t messageId, const ParamStream& params);
    bool critical(int32_t messageId);
    bool critical(int32_t messageId, const ParamStream& params);
    bool fatal(int32_t messageId);
    bool fatal(int32_t messageId, const ParamStream& params);

    int32_t moduleId() const { return moduleId_; }
    const SmartPointer<LoggerCentre>& centre() const { return centre_; }

private:
    bool severe(int32_t severity, int32_t messageId, const std::string& parameters);

    int32_t moduleId_;
    SmartPointer<LoggerCentre> centre_;
};

} // namespace Telvar
