#pragma once

#include <string>

namespace Telvar {

class Agent;

// Judges a configuration file before a reload stops anything: the checks
// the agent and the collector make while configuring, on a reader of its
// own. A reload that would fail leaves the running configuration and its
// threads alone.
class ReloadCheck {
public:
    struct Problem {
        std::string file;  // the file at fault
        int line = 0;      // 0 when no line is known (a missing key)
        std::string reason;
        // "file:line: reason", "file: reason" without a line, or the reason
        // alone when it names its place itself (file empty).
        std::string text() const;
    };

    // True when configuring from the agent's configuration file could
    // succeed; otherwise problem names the first fault found.
    static bool check(const Agent& agent, Problem& problem);
};

} // namespace Telvar
