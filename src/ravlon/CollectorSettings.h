#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Telvar {

class ConfReader;

// The collector's settings as the configuration and the resources give
// them, read without setting anything up: the collector configures from
// them, and the configuration check reports on them.
class CollectorSettings {
public:
    static constexpr const char* KEY_SCHEMES = "ravlon.collect";
    static constexpr const char* KIND_COUNTERS_FILE = "counters-file";
    static constexpr const char* KIND_IDLE_DATA = "idle-data";

    // The keys of one collection scheme; each result is the getter's (0
    // when readable).
    struct Scheme {
        std::string name;
        std::string key;  // "ravlon.collect." + name
        int32_t activeResult = 0;
        bool active = false;
        int32_t kindResult = 0;
        std::string kind;  // trimmed, case kept
        int32_t fileResult = 0;
        std::string file;
    };
    // The schemes in file order; the result is that of "ravlon.collect".
    static int32_t readSchemes(const ConfReader* configuration, std::vector<Scheme>& schemes);

    // Resource "InstallDir", else the current directory; normalised, ending
    // in a separator.
    static std::string installDirectory();
    // "ravlon.working-dir", else the install directory's Log/temp/RVL;
    // normalised, ending in a separator.
    static std::string workingDirectory(const ConfReader* configuration, const std::string& installDirectory);

    // Makes the directory with every missing one above it; true when it is
    // a directory afterwards.
    static bool makeDirectory(const std::string& directory);
    // Whether makeDirectory could succeed, without creating anything: the
    // nearest existing path at or above it must be a directory. blocking
    // receives that path when it is not.
    static bool canMakeDirectory(const std::string& directory, std::string& blocking);
};

} // namespace Telvar
