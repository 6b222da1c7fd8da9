#include "RecordOptions.h"

#include <algorithm>
#include <cstdio>

#include "common/DateTime.h"
#include "common/Exception.h"

namespace Telvar {
namespace Ctl {

bool RecordOptions::parseTime(const std::string& text, int64_t& seconds)
{
    try {
        DateTimeParts parts = DateTime::parseDateTime(text, DateTime::PARSE_DATE_TIME);
        seconds = DateTime(parts).seconds();
        return true;
    } catch (const Exception&) {
        return false;
    }
}

int RecordOptions::parse(const Command& command, const Args& args, const std::vector<OwnOption>& own,
                         std::vector<std::string>& files)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string problem;
        if (take(args, i, problem)) {
            if (!problem.empty())
                return usageError(command, problem);
            continue;
        }
        auto option = std::find_if(own.begin(), own.end(), [&](const OwnOption& o) { return o.name == a; });
        if (option != own.end()) {
            if (i + 1 >= args.size())
                return usageError(command, a + " needs a value");
            problem = option->take(args[++i]);
            if (!problem.empty())
                return usageError(command, problem);
        } else if (a == "--") {
            files.insert(files.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        } else if (a.size() > 1 && a[0] == '-') {
            return usageError(command, "unknown option '" + a + "'");
        } else {
            files.push_back(a);
        }
    }
    if (files.empty())
        return usageError(command, "no FILE given");
    return 0;
}

bool RecordOptions::take(const Args& args, size_t& i, std::string& problem)
{
    const std::string& a = args[i];
    if (a != "--counters" && a != "--config" && a != "--from" && a != "--to")
        return false;
    if (i + 1 >= args.size()) {
        problem = a + " needs a value";
        return true;
    }
    const std::string& value = args[++i];
    if (a == "--counters") {
        options.countersFile = value;
    } else if (a == "--config") {
        options.configFile = value;
    } else {
        int64_t seconds = 0;
        if (!parseTime(value, seconds)) {
            problem = a + " expects a time such as 2026-12-08T04:30:00, not \"" + value + "\"";
            return true;
        }
        (a == "--from" ? options.from : options.to) = seconds;
        (a == "--from" ? options.haveFrom : options.haveTo) = true;
    }
    return true;
}

std::string RecordOptions::check() const
{
    if (!options.countersFile.empty() && !options.configFile.empty())
        return "give --counters or --config, not both";
    if (options.haveFrom && options.haveTo && options.from > options.to)
        return "--from is after --to";
    return std::string();
}

void RecordOptions::reportProblems(const RecordSet& set)
{
    std::fflush(stdout);
    for (const RecordProblem& p : set.problems())
        std::fprintf(stderr, "%s\n", p.text().c_str());
}

bool RecordOptions::load(const char* command, const std::vector<std::string>& files, RecordSet& set) const
{
    bool loaded = set.load(files, options);
    for (const std::string& note : set.notes())
        std::fprintf(stderr, "ravlonctl %s: %s\n", command, note.c_str());
    if (!loaded) {
        reportProblems(set);
        std::fprintf(stderr, "ravlonctl %s: %s\n", command, set.error().c_str());
    }
    return loaded;
}

} // namespace Ctl
} // namespace Telvar
