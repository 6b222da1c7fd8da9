#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

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

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> entries_;
};

} // namespace Telvar
