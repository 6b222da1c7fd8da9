// Reads arbitrary bytes as a counters file, plain and gzip-compressed.
#include "common/FileBase.h"
#include "logger/LoggerUnit.h"
#include "platform/Process.h"
#include "ravlon/Counter.h"
#include "ravlon/CountersFile.h"

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace Telvar;

namespace {

std::string scratch(const char* suffix)
{
    return (std::filesystem::temp_directory_path() /
            ("counters-fuzz-" + std::to_string(Platform::currentProcessId()) + suffix))
        .string();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string plain = scratch(".counters");
    static const std::string packed = scratch(".counters.gz");
    {
        std::ofstream out(plain, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    std::vector<SmartPointer<Counter>> counters;
    CountersFile::setUpCounters(SmartPointer<LoggerUnit>(), plain, counters);
    // The same bytes as the content of a gzip file: the reader sees them
    // through FileGZ, with its length count and line reading.
    gzFile gz = gzopen(packed.c_str(), "wb1");
    if (gz != nullptr) {
        if (size > 0)
            gzwrite(gz, data, static_cast<unsigned>(size));
        gzclose(gz);
        counters.clear();
        CountersFile::setUpCounters(SmartPointer<LoggerUnit>(), packed, counters);
    }
    // And as a gzip stream itself, damaged or not.
    static const std::string raw = scratch("-raw.counters.gz");
    {
        std::ofstream out(raw, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    counters.clear();
    CountersFile::setUpCounters(SmartPointer<LoggerUnit>(), raw, counters);
    return 0;
}
