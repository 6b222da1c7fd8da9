#include "platform/Process.h"

#include <atomic>
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

namespace {

std::atomic<void (*)()> stopHandler{nullptr};

// Runs on a thread the system starts for the event.
BOOL WINAPI onConsoleControl(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT: {
        void (*handler)() = stopHandler.load();
        if (handler == nullptr)
            return FALSE;
        handler();
        return TRUE;
    }
    default:
        return FALSE;
    }
}

} // namespace

void setStopHandler(void (*handler)())
{
    bool first = stopHandler.exchange(handler) == nullptr;
    if (first && handler != nullptr)
        ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

// Console writes do not block on a stop the way a pipe can on Linux; the
// caller sees its stop flag between writes.
bool writeStandardOutput(const std::string& text)
{
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE)
        return false;
    size_t done = 0;
    while (done < text.size()) {
        size_t chunk = text.size() - done;
        DWORD written = 0;
        DWORD want = chunk > 0x10000000u ? 0x10000000u : static_cast<DWORD>(chunk);
        if (!::WriteFile(out, text.data() + done, want, &written, nullptr) || written == 0)
            return false;
        done += written;
    }
    return true;
}

// The process heap is shared by all threads already.
void shareOneHeap() {}

} // namespace Platform
} // namespace Telvar
