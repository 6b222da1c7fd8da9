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
