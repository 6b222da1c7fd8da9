#include "platform/Process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sys/types.h>
#include <unistd.h>

namespace Telvar {
namespace Platform {

ProcessId currentProcessId() { return static_cast<ProcessId>(::getpid()); }

bool processExists(ProcessId pid)
{
    if (pid <= 0)
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

std::string environmentVariable(const std::string& name)
{
    const char* v = std::getenv(name.c_str());
    return v ? std::string(v) : std::string();
}

bool hasEnvironmentVariable(const std::string& name) { return std::getenv(name.c_str()) != nullptr; }

void setEnvironmentVariable(const std::string& name, const std::string& value)
{
    ::setenv(name.c_str(), value.c_str(), 1);
}

void unsetEnvironmentVariable(const std::string& name) { ::unsetenv(name.c_str()); }

} // namespace Platform
} // namespace Telvar
