#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Telvar {

class ConfReader;

// Decides whether the collector starts with a configuration, before anything
// is set up from it. The collector's start-up and reconfigure and
// "ravlonctl check-config" all ask this one judge, so they cannot disagree.
// Every problem is a finding that names the file and, where known, the
// line; a finding that refuses stops the collector, a warning names what the
// collector does instead (a default, a skipped scheme, an empty column).
class ConfigurationJudge {
public:
    struct Finding {
        bool refuses = false;
        std::string where;  // "FILE:LINE" or "FILE"
        std::string text;
        // "FILE:LINE: text", warnings with "warning: " before the text.
        std::string line() const;
    };

    struct Verdict {
        std::vector<Finding> findings;
        bool refused() const;
        // The first refusing finding's line; empty when none refuses.
        std::string firstRefusal() const;
    };

    // configurationDirectory is the resource ConfigurationDir (normalised),
    // empty when the resource store has none. The host's counters are
    // looked at through the performance-data provider.
    static Verdict judge(const ConfReader& reader, const std::string& configurationDirectory);

    // The candidate closest to word (edit distance, case ignored) when it
    // is close enough to be a slip; empty otherwise.
    static std::string nearest(const std::string& word, const std::vector<std::string>& candidates);

    // The instance part of an object name ("Processor(5)" gives "Processor"
    // and "5"); false when it has none.
    static bool splitInstance(const std::string& object, std::string& base, std::string& instance);
};

} // namespace Telvar
