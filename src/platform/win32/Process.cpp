#include "platform/Process.h"

#include <cstdlib>
#include <vector>

#include <windows.h>

namespace Telvar {
namespace Platform {

ProcessId currentProcessId() { return static_cast<ProcessId>(::GetCurrentProcessId()); }

bool processExists(ProcessId pid)
{
    if (pid <= 0 || pid > 0xFFFFFFFFLL)
        return false;
    HANDLE process = ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                   static_cast<DWORD>(pid));
    if (process == nullptr)
        return ::GetLastError() == ERROR_ACCESS_DENIED;
    // The id stays valid while a handle is open: an ended process is
    // signalled, not gone.
    bool running = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    ::CloseHandle(process);
    return running;
}

std::string environmentVariable(const std::string& name)
{
    std::vector<char> buffer(256);
    for (;;) {
        DWORD n = ::GetEnvironmentVariableA(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return std::string();
        if (n < buffer.size())
            return std::string(buffer.data(), n);
        buffer.resize(n);
    }
}

bool hasEnvironmentVariable(const std::string& name)
{
    char probe[1];
    ::SetLastError(ERROR_SUCCESS);
    if (::GetEnvironmentVariableA(name.c_str(), probe, 1) != 0)
        return true;
    return ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

// The C runtime keeps its own copy of the environment: both are set so that
// the process and the programs it starts see the same.
void setEnvironmentVariable(const std::string& name, const std::string& value)
{
    if (value.empty()) {
        ::SetEnvironmentVariableA(name.c_str(), "");
        return;
    }
    ::_putenv_s(name.c_str(), value.c_str());
    ::SetEnvironmentVariableA(name.c_str(), value.c_str());
}

void unsetEnvironmentVariable(const std::string& name)
{
    ::_putenv_s(name.c_str(), "");
    ::SetEnvironmentVariableA(name.c_str(), nullptr);
}

} // namespace Platform
} // namespace Telvar
