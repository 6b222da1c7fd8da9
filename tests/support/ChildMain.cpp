#include "support/ChildMain.h"

#include <cerrno>
#include <cstring>
#include <map>

#include <csignal>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace Telvar {
namespace Testing {

namespace {

std::map<std::string, ChildFunction>& children()
{
    static std::map<std::string, ChildFunction>* table = new std::map<std::string, ChildFunction>;
    return *table;
}

} // namespace

ChildRegistrar::ChildRegistrar(const char* name, ChildFunction function) { children()[name] = function; }

bool runChild(int argc, char** argv, int& code)
{
    if (argc < 2 || std::strncmp(argv[1], CHILD_OPTION, std::strlen(CHILD_OPTION)) != 0)
        return false;
    auto it = children().find(argv[1] + std::strlen(CHILD_OPTION));
    if (it == children().end()) {
        code = 125;
        return true;
    }
    code = it->second(std::vector<std::string>(argv + 2, argv + argc));
    return true;
}

// Starting and killing children is POSIX here; the tests that do it are not
// built for Windows.
#ifndef _WIN32

std::string selfExecutable()
{
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return std::string();
    return std::string(path, static_cast<size_t>(n));
}

ChildProcess::~ChildProcess()
{
    if (pid_ > 0) {
        killHard();
        std::vector<std::string> ignored;
        wait(ignored);
    }
    if (pipe_ >= 0)
        ::close(pipe_);
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    std::vector<std::string> all;
    all.push_back(program);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    pipe_ = fds[0];
    ::fcntl(pipe_, F_SETFL, ::fcntl(pipe_, F_GETFL) | O_NONBLOCK);
    pid_ = pid;
    partial_.clear();
    return true;
}

void ChildProcess::readLines(std::vector<std::string>& lines, int waitMs)
{
    if (pipe_ < 0)
        return;
    pollfd fd = {pipe_, POLLIN, 0};
    if (waitMs > 0)
        ::poll(&fd, 1, waitMs);
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(pipe_, buffer, sizeof buffer);
        if (n <= 0)
            break;
        partial_.append(buffer, static_cast<size_t>(n));
    }
    size_t start = 0;
    for (size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(partial_.substr(start, end - start));
    partial_.erase(0, start);
}

void ChildProcess::killHard()
{
    if (pid_ > 0)
        ::kill(static_cast<pid_t>(pid_), SIGKILL);
}

int ChildProcess::wait(std::vector<std::string>& lines)
{
    if (pid_ <= 0)
        return -1;
    int status = 0;
    while (::waitpid(static_cast<pid_t>(pid_), &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    // The writer is gone: what the pipe holds is all there is.
    readLines(lines);
    ::close(pipe_);
    pipe_ = -1;
    // A line cut off by the end was never sent whole.
    partial_.clear();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#endif // _WIN32

} // namespace Testing
} // namespace Telvar
