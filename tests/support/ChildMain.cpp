#include "support/ChildMain.h"

#include <cstring>
#include <map>

#include <unistd.h>

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

std::string selfExecutable()
{
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return std::string();
    return std::string(path, static_cast<size_t>(n));
}

} // namespace Testing
} // namespace Telvar
