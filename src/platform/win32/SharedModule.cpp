#include "platform/SharedModule.h"

#include <windows.h>

namespace Telvar {
namespace Platform {

std::string programDirectory()
{
    char path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return std::string();
    const std::string file(path, n);
    const size_t separator = file.find_last_of("\\/");
    return separator == std::string::npos ? std::string() : file.substr(0, separator);
}

void* moduleSymbol(const std::string& path, const char* symbol, std::string& error)
{
    // Never freed: its code may run on threads until the process ends.
    HMODULE module = ::LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error = "cannot load " + path + ": error " + std::to_string(::GetLastError());
        return nullptr;
    }
    void* found = reinterpret_cast<void*>(::GetProcAddress(module, symbol));
    if (found == nullptr)
        error = path + " has no " + symbol;
    return found;
}

} // namespace Platform
} // namespace Telvar
