#include "platform/Process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <sys/types.h>
#include <sys/wait.h>
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

ProcessId forkChild(const std::function<int()>& body)
{
    pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        int rc = 1;
        try {
            rc = body();
        } catch (...) {
            rc = 1;
        }
        // Skip the parent's atexit handlers and static destructors.
        ::_exit(rc);
    }
    return static_cast<ProcessId>(pid);
}

bool killProcessHard(ProcessId pid)
{
    return pid > 0 && ::kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}

int waitChild(ProcessId pid, int timeoutMs)
{
    int status = 0;
    int waited = 0;
    for (;;) {
        pid_t r = ::waitpid(static_cast<pid_t>(pid), &status, timeoutMs < 0 ? 0 : WNOHANG);
        if (r == static_cast<pid_t>(pid))
            break;
        if (r < 0 && errno != EINTR)
            return -1;
        if (timeoutMs >= 0 && waited >= timeoutMs)
            return -1;
        struct timespec ts = {0, 5 * 1000 * 1000};
        ::nanosleep(&ts, nullptr);
        waited += 5;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
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

} // namespace Platform
} // namespace Telvar
