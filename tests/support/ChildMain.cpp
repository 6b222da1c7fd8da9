#include "support/ChildMain.h"

#include <cerrno>
#include <cstring>
#include <map>

#include <csignal>

#ifdef _WIN32
#include <windows.h>
#else
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

#ifdef _WIN32

namespace {

// One argument as the C runtime of the child splits it again: quoted when
// it holds blanks or quotes, inner quotes and the backslashes before them
// escaped. A value with a "-" inside is quoted too: the collector reads
// its own command line, where that "-" would start an option.
std::string commandLineArgument(const std::string& argument)
{
    const bool dashInsideValue = argument[0] != '-' && argument.find('-') != std::string::npos;
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos && !dashInsideValue)
        return argument;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

} // namespace

std::string selfExecutable()
{
    char path[MAX_PATH];
    DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
    return n == 0 || n >= sizeof path ? std::string() : std::string(path, n);
}

ChildProcess::~ChildProcess()
{
    if (process_ != nullptr) {
        killHard();
        std::vector<std::string> ignored;
        wait(ignored);
    }
    if (pipeHandle_ != nullptr)
        ::CloseHandle(pipeHandle_);
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args)
{
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return false;
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    std::string line = commandLineArgument(program);
    for (const std::string& a : args)
        line += " " + commandLineArgument(a);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    BOOL started = ::CreateProcessA(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                    &startup, &info);
    ::CloseHandle(writeEnd);
    if (!started) {
        ::CloseHandle(readEnd);
        return false;
    }
    ::CloseHandle(info.hThread);
    process_ = info.hProcess;
    pipeHandle_ = readEnd;
    pid_ = static_cast<long>(info.dwProcessId);
    partial_.clear();
    return true;
}

void ChildProcess::readLines(std::vector<std::string>& lines, int waitMs)
{
    HANDLE pipe = pipeHandle_;
    if (pipe == nullptr)
        return;
    ULONGLONG until = ::GetTickCount64() + static_cast<ULONGLONG>(waitMs > 0 ? waitMs : 0);
    char buffer[4096];
    bool got = false;
    for (;;) {
        DWORD available = 0;
        if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
            break;  // the writer is gone and all was read
        if (available == 0) {
            if (got || ::GetTickCount64() >= until)
                break;
            ::Sleep(10);
            continue;
        }
        DWORD n = 0;
        if (!::ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &n, nullptr) || n == 0)
            break;
        partial_.append(buffer, n);
        got = true;
    }
    size_t start = 0;
    for (size_t end; (end = partial_.find('\n', start)) != std::string::npos; start = end + 1) {
        size_t length = end - start;
        if (length > 0 && partial_[end - 1] == '\r')
            --length;
        lines.push_back(partial_.substr(start, length));
    }
    partial_.erase(0, start);
}

void ChildProcess::killHard()
{
    if (process_ != nullptr)
        ::TerminateProcess(process_, 137);
}

int ChildProcess::wait(std::vector<std::string>& lines)
{
    if (process_ == nullptr)
        return -1;
    DWORD code = static_cast<DWORD>(-1);
    // The pipe is read while waiting: a child blocked on a full pipe would never end.
    while (::WaitForSingleObject(process_, 20) == WAIT_TIMEOUT)
        readLines(lines);
    ::GetExitCodeProcess(process_, &code);
    ::CloseHandle(process_);
    process_ = nullptr;
    pid_ = -1;
    readLines(lines);
    ::CloseHandle(pipeHandle_);
    pipeHandle_ = nullptr;
    partial_.clear();
    return static_cast<int>(code);
}

#else

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

#endif

} // namespace Testing
} // namespace Telvar
