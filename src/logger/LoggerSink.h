#pragma once

#include <cstdint>

#include "common/LogSink.h"
#include "common/SmartPointer.h"

namespace Telvar {

class LoggerCentre;

// Connects the classes below the logging library to it.
class LoggerSink {
public:
    // A sink that logs through a LoggerUnit of the module: debug texts under
    // the process-wide debug level, messages by severity (notice to fatal),
    // their parameters as text. The unit lives as long as any copy of the
    // sink. A null centre gives a sink that logs nothing.
    static LogSink forModule(const SmartPointer<LoggerCentre>& centre, int32_t moduleId);
};

} // namespace Telvar
