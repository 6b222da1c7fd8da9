#pragma once

#include <string>
#include <vector>

namespace Telvar {
namespace Testing {

// A test executable can start itself as a helper process: started with
// CHILD_OPTION + name, it runs the child function registered under that
// name (with the arguments after the option) instead of its tests.
constexpr const char* CHILD_OPTION = "--telvar-child=";

using ChildFunction = int (*)(const std::vector<std::string>& args);

// Registers at static initialisation: `const ChildRegistrar r("name", f);`
class ChildRegistrar {
public:
    ChildRegistrar(const char* name, ChildFunction function);
};

// Runs the requested child and answers true (its exit code in code) when
// argv asks for one.
bool runChild(int argc, char** argv, int& code);

// Path of the running executable.
std::string selfExecutable();

} // namespace Testing
} // namespace Telvar

namespace Telvar {
namespace Testing {

// A child process whose standard output comes back through a pipe, read
// line by line without blocking.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Kills a child still running and reaps it.
    ~ChildProcess();

    // Runs program with args (argv[0] is program); false when it cannot start.
    bool start(const std::string& program, const std::vector<std::string>& args);
    // Appends the whole lines that arrived so far; waits up to waitMs for some.
    void readLines(std::vector<std::string>& lines, int waitMs = 0);
    // SIGKILL.
    void killHard();
    // Waits for the end, reads the rest of the pipe; the exit code, or
    // 128 + signal number.
    int wait(std::vector<std::string>& lines);
    long pid() const { return pid_; }

private:
    long pid_ = -1;
    int pipe_ = -1;
    // Windows: the child's process and the read end of its output pipe.
    void* process_ = nullptr;
    void* pipeHandle_ = nullptr;
    std::string partial_;
};

} // namespace Testing
} // namespace Telvar
