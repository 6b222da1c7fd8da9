#include "platform/Process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <malloc.h>
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

namespace {

void (*stopHandler)() = nullptr;

extern "C" void onStopSignal(int)
{
    if (stopHandler != nullptr)
        stopHandler();
}

} // namespace

void setStopHandler(void (*handler)())
{
    stopHandler = handler;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocked write must return, so that the stop is seen.
    action.sa_flags = 0;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

bool writeStandardOutput(const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void shareOneHeap() { ::mallopt(M_ARENA_MAX, 1); }

} // namespace Platform
} // namespace Telvar
