#include "ravlon/HttpModule.h"

#include <mutex>
#include <vector>

#include "platform/Process.h"
#include "platform/SharedModule.h"

namespace Telvar {

const HttpModule* HttpModule::get(std::string& problem)
{
    static std::mutex lock;
    static const HttpModule* module = nullptr;
    static std::string failure;
    std::lock_guard<std::mutex> hold(lock);
    if (module != nullptr)
        return module;
    if (!failure.empty()) {
        problem = failure;
        return nullptr;
    }
    const std::string name = "ravlon-http.so";
    std::vector<std::string> candidates;
    const std::string chosen = Platform::environmentVariable("RAVLON_MODULE_DIR");
    if (!chosen.empty()) {
        candidates.push_back(chosen + "/" + name);
    } else {
        const std::string dir = Platform::programDirectory();
        candidates.push_back(dir + "/" + name);
        candidates.push_back(dir + "/../lib/ravlon/" + name);
    }
    std::string errors;
    for (const std::string& path : candidates) {
        std::string error;
        using Entry = const HttpModule* (*)();
        auto entry = reinterpret_cast<Entry>(Platform::moduleSymbol(path, "ravlonHttpModule", error));
        if (entry != nullptr && (module = entry()) != nullptr)
            return module;
        errors += (errors.empty() ? "" : "; ") + error;
    }
    // Said once; a later start would fail the same way.
    failure = "the HTTP module cannot be loaded (" + errors + ")";
    problem = failure;
    return nullptr;
}

} // namespace Telvar
