#include "ravlon/CounterLog.h"

#include <cstdarg>
#include <cstdio>

namespace Telvar {
namespace CounterLog {

bool debugf(int32_t level, const char* templ, ...)
{
    char small[512];
    va_list args;
    va_start(args, templ);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(small, sizeof small, templ, args);
    va_end(args);
    std::string text;
    if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
        text.assign(small, static_cast<size_t>(n));
    } else if (n >= 0) {
        text.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(&text[0], text.size(), templ, again);
        text.resize(static_cast<size_t>(n));
    }
    va_end(again);
    return debug(level, text);
}

// Until the module has a LoggerUnit to write to, entries go nowhere.
bool debug(int32_t, const std::string&) { return false; }
bool warning(int32_t, const std::vector<std::string>&) { return false; }
bool fatal(int32_t, const std::vector<std::string>&) { return false; }

} // namespace CounterLog
} // namespace Telvar
