#include "platform/SharedModule.h"

#include <climits>
#include <dlfcn.h>
#include <unistd.h>

namespace Telvar {
namespace Platform {

std::string programDirectory()
{
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return std::string();
    const std::string file(path, static_cast<size_t>(n));
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? std::string() : file.substr(0, slash == 0 ? 1 : slash);
}

void* moduleSymbol(const std::string& path, const char* symbol, std::string& error)
{
    // Never closed: its code may run on threads until the process ends.
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* why = ::dlerror();
        error = why != nullptr ? why : "cannot load " + path;
        return nullptr;
    }
    void* found = ::dlsym(module, symbol);
    if (found == nullptr)
        error = path + " has no " + symbol;
    return found;
}

} // namespace Platform
} // namespace Telvar
