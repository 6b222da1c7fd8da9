#include "logger/LoggerAgent.h"

namespace Telvar {

LoggerAgent::~LoggerAgent() = default;

bool LoggerAgent::isAvailable() const { return true; }

} // namespace Telvar
