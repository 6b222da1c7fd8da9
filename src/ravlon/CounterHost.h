#pragma once

#include <string>
#include <vector>

namespace Telvar {

// Looks at the counters of counters files against this host, as the
// collector will add them: which ones the host cannot give, and for an
// instance it lacks, which instances it has. One finding per object and
// file, so a missing interface is one line, not one per counter.
class CounterHost {
public:
    struct Listed {
        std::string scheme;
        std::string file;
        int line = 0;
        std::string object;
        std::string counter;
    };
    struct Missing {
        std::string file;
        int line = 0;  // the first counter of the object in the file
        std::string text;
    };
    struct Report {
        bool usable = true;   // false: the collector cannot start (problem says why)
        std::string problem;
        std::vector<Missing> missing;
    };

    // Uses (and empties) the counter registry: call it while no sampling runs.
    static Report check(const std::vector<Listed>& counters);
};

} // namespace Telvar
