#pragma once

#include <cstdint>
#include <string>

namespace Telvar {
namespace Platform {

using ProcessId = int64_t;

ProcessId currentProcessId();

// True while a process with this id exists.
bool processExists(ProcessId pid);

// Value of an environment variable, empty when unset.
std::string environmentVariable(const std::string& name);
bool hasEnvironmentVariable(const std::string& name);
void setEnvironmentVariable(const std::string& name, const std::string& value);
void unsetEnvironmentVariable(const std::string& name);

} // namespace Platform
} // namespace Telvar
