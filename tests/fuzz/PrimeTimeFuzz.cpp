// Loads arbitrary text as prime-time rules and classifies a few moments.
#include "common/DateTime.h"
#include "common/PrimeTime.h"
#include "platform/Process.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

using namespace Telvar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path =
        (std::filesystem::temp_directory_path() /
         ("primetime-fuzz-" + std::to_string(Platform::currentProcessId())))
            .string();
    std::string text(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    // Through the file, as the agent loads it, and from memory on top.
    PrimeTime primeTime;
    primeTime.load(path);
    primeTime.loadText(text);
    const int64_t moments[] = {0, 1, 86399, 951782400, 1798675200, 2147483647};
    for (int64_t seconds : moments)
        PrimeTime::label(primeTime.classify(DateTime(seconds)));
    for (int32_t hour = -1; hour <= 24; hour += 5)
        primeTime.classifyParts(2026, 12, 7, 1, hour);
    return 0;
}
