#include "support/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Telvar {
namespace Testing {

Platform::ProcessId forkChild(const std::function<int()>& body)
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
    return static_cast<Platform::ProcessId>(pid);
}

bool killProcessHard(Platform::ProcessId pid)
{
    return pid > 0 && ::kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}

int waitChild(Platform::ProcessId pid, int timeoutMs)
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

} // namespace Testing
} // namespace Telvar
