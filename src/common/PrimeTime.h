#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/DateTime.h"

namespace Telvar {

// Labels moments "prime", "non-prime" or "undef" from a file of calendar
// rules "year:month:day:weekday:hour [exclude|0]". The last matching rule
// decides. Classification caches the last moment, so one object must not be
// classified from two threads at once.
class PrimeTime {
public:
    enum Class { UNDEF = 0, PRIME = 1, NON_PRIME = 2 };

    struct Rule {
        std::string year;
        std::string month;
        std::string day;
        std::string weekday; // 0 = Sunday .. 6 = Saturday
        std::string hour;
        bool prime = true;
    };

    PrimeTime();
    virtual ~PrimeTime();

    // Appends the file's rules; false when it cannot be opened.
    bool load(const std::string& path);

    // A line that cannot be what its writer meant: fewer than four ":", an
    // empty pattern, or a number outside its field's range (a rule that can
    // never match). Lines count from 1.
    struct Problem {
        int32_t line;
        std::string text;
    };
    // False when the file cannot be read; problems gets one entry per bad line.
    static bool check(const std::string& path, std::vector<Problem>& problems);
    static void checkText(const std::string& text, std::vector<Problem>& problems);
    // Appends the rules of a text already in memory.
    void loadText(const std::string& text);
    int32_t classify(const DateTime& moment);
    // Local components given directly (weekday 0 = Sunday); no cache.
    int32_t classifyParts(int32_t year, int32_t month, int32_t day, int32_t weekday,
                          int32_t hour) const;

    static const char* label(int32_t result);
    static bool matches(const std::string& pattern, int32_t number);
    // One rule line as the loader reads it; false for a blank or comment line.
    static bool parseLine(const std::string& line, Rule& rule);

    const std::vector<Rule>& rules() const { return rules_; }

private:
    std::vector<Rule> rules_;
    // Empty until the first classification after a load, so new rules are
    // never hidden by a result cached under the old ones.
    bool cached_ = false;
    DateTime cachedMoment_;
    int32_t cachedResult_ = UNDEF;
};

} // namespace Telvar
