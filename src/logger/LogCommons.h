#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace Telvar {

// The message catalogue: templates keyed "module.message", e.g. "21.7".
class LogCommons {
public:
    LogCommons() = default;
    LogCommons(const LogCommons&) = delete;
    LogCommons& operator=(const LogCommons&) = delete;
    virtual ~LogCommons();

    static std::string makeKey(int32_t moduleId, int32_t messageId);

    // The first entry of a key is kept: false when the key was already there.
    bool insert(int32_t moduleId, int32_t messageId, const std::string& templ);
    bool insert(const std::string& key, const std::string& templ);

    // True and the template when (module, message) is known.
    bool lookup(int32_t moduleId, int32_t messageId, std::string& templ) const;

    size_t size() const;
    void clear();

    // Outcome of load().
    struct LoadResult {
        bool completed = false;       // the directory walk finished
        std::string error;            // empty on success
        std::vector<std::string> loaded;  // module keys of the files read, in order
        std::vector<std::string> skipped; // file names not read
        std::vector<size_t> counts;       // entries read from each loaded file
    };

    static constexpr const char* DIRECTORY = "LogMessages";
    static constexpr const char* EXTENSION = ".mess";
    static constexpr const char* SELECT_ALL = "all";

    // Reads base + "LogMessages/" + key + ".mess" for every known module key
    // that selection names ("all", or a text containing the wanted keys).
    // A file that cannot be read ends the walk; entries read so far stay.
    LoadResult load(const std::string& baseDirectory, const std::string& selection);

    // One catalogue line "number: template" (both trimmed; no ":" gives an
    // empty template). False for blank lines and "//" comments.
    static bool parseLine(const std::string& line, int32_t& number, std::string& templ);

    // The catalogue texts shipped with the program, built into it: they word
    // a message whose catalogue is not loaded (yet), as before the
    // configuration names the catalogue directory.
    static const LogCommons& builtIn();
    // Inserts every line of one catalogue file's text; the number of entries.
    size_t insertText(int32_t moduleId, const std::string& text);

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> entries_;
};

} // namespace Telvar
