// Loads arbitrary bytes as a message catalogue file and looks messages up.
#include "logger/LogCommons.h"
#include "platform/Process.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

using namespace Telvar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::filesystem::path base =
        std::filesystem::temp_directory_path() /
        ("catalogue-fuzz-" + std::to_string(Platform::currentProcessId()));
    static const bool made = std::filesystem::create_directories(base / LogCommons::DIRECTORY) || true;
    (void)made;
    {
        std::ofstream out(base / LogCommons::DIRECTORY / (std::string("ravlon") + LogCommons::EXTENSION),
                          std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    LogCommons catalogue;
    catalogue.load(base.string(), LogCommons::SELECT_ALL);
    std::string templ;
    for (int32_t module = 0; module < 12; ++module)
        for (int32_t message = -1; message < 40; message += 3)
            catalogue.lookup(module, message, templ);
    // One line on its own, as the loader splits it.
    int32_t number = 0;
    LogCommons::parseLine(std::string(reinterpret_cast<const char*>(data), size), number, templ);
    return 0;
}
