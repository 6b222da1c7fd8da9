// Arbitrary bytes as what a killed writer left: a data file's working copy
// and its ".make". Trimming must keep exactly a prefix that ends with a
// whole record, and recovery must deliver without crashing.
#include "logger/LoggerUnit.h"
#include "platform/Process.h"
#include "ravlon/LeftoverRecovery.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

using namespace Telvar;
namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void put(const fs::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const fs::path dir =
        fs::temp_directory_path() / ("trim-fuzz-" + std::to_string(Platform::currentProcessId()));
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir);
    const std::string input(reinterpret_cast<const char*>(data), size);

    const fs::path copy = dir / "cpu-1-2-3.make.tmp";
    put(copy, input);
    uint64_t kept = 0;
    uint64_t removed = 0;
    if (LeftoverRecovery::trimToLastRecord(copy.string(), kept, removed)) {
        const std::string after = slurp(copy);
        // A prefix of what was there, cut at a line end, nothing invented.
        if (after.size() != kept || kept + removed != input.size() || input.compare(0, kept, after) != 0 ||
            (kept > 0 && after.back() != '\n'))
            std::abort();
        uint64_t length = 0;
        if (!LeftoverRecovery::completeLength(copy.string(), length) || length != kept)
            std::abort();
    }

    // The whole recovery over a copy, its ".make" (the input's first half)
    // and lock debris.
    put(copy, input);
    put(dir / "cpu-1-2-3.make", input.substr(0, input.size() / 2));
    put(dir / "cpu-1-2-3.make.lock", "");
    LeftoverRecovery::recover(dir.string(), SmartPointer<LoggerUnit>());
    for (const auto& entry : fs::directory_iterator(dir)) {
        // A delivered file holds whole records only.
        if (entry.path().extension() == ".data") {
            const std::string text = slurp(entry.path());
            uint64_t length = 0;
            if (text.empty() || text.back() != '\n' ||
                !LeftoverRecovery::completeLength(entry.path().string(), length) || length != text.size())
                std::abort();
        }
    }
    return 0;
}
