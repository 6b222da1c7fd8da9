// Feeds arbitrary text to the command-line split and the option parser. Both
// must end, and what they hand out can only come from the text: no pair,
// name or value adds bytes the text does not have.
#include "agent/CommandLine.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace Telvar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::string path;
    std::string arguments;
    CommandLine::split(text, path, arguments);
    if (path.size() + arguments.size() > text.size())
        __builtin_trap();
    if (!arguments.empty() && arguments[0] == ' ')
        __builtin_trap();

    const CommandLine::Options options = CommandLine::parse(text);
    size_t bytes = 0;
    for (const CommandLine::Option& option : options)
        bytes += option.first.size() + option.second.size();
    // Every pair was started by at least one byte of the text.
    if (bytes > text.size() || options.size() > text.size())
        __builtin_trap();
    return 0;
}
