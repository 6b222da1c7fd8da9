// ravlonctl primetime: classifies moments with a prime-time file.
#include "Command.h"

#include <cstdio>
#include <string>
#include <vector>

#include "common/DateTime.h"
#include "common/Exception.h"
#include "common/PrimeTime.h"

namespace Telvar {
namespace Ctl {
namespace {

int run(const Args& args);

const Command COMMAND = {
    "primetime",
    "ravlonctl primetime FILE [MOMENT...]",
    "classify moments with a prime-time file",
    "Loads the prime-time rules of FILE and prints each MOMENT with its class,\n"
    "'prime', 'non-prime' or 'undef', one per line. A MOMENT is a date and\n"
    "time such as 2026-12-07T09:30:00 (local time), 2026-12-07T08:30:00Z or\n"
    "2026-12-07T09:30:00+01:00, or 'now'. Without MOMENT the current moment\n"
    "is classified.\n"
    "\n"
    "A malformed rule (fewer than five fields, a number outside its field, a\n"
    "pattern that is not a number, list or range) is named as 'FILE:LINE: text'\n"
    "on stderr and nothing is classified: the collector would label records\n"
    "with the rules as written, and it warns about the same lines.\n"
    "\n"
    "Exit status: 0 when classified, 1 when FILE cannot be read or has a\n"
    "malformed rule, 2 for a usage error.",
    run,
};

const CommandRegistrar registrar(COMMAND);

int run(const Args& args)
{
    if (args.empty())
        return usageError(COMMAND, "FILE is missing");
    const std::string& file = args[0];
    if (file.size() > 1 && file[0] == '-')
        return usageError(COMMAND, "unknown option '" + file + "'");

    std::vector<DateTime> moments;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "now") {
            moments.push_back(DateTime::now());
            continue;
        }
        try {
            moments.push_back(DateTime(DateTime::parseDateTime(args[i])));
        } catch (const TimeException&) {
            return usageError(COMMAND, "'" + args[i] + "' is not a moment");
        }
    }
    if (moments.empty())
        moments.push_back(DateTime::now());

    PrimeTime primeTime;
    std::vector<PrimeTime::Problem> problems;
    if (!PrimeTime::check(file, problems) || !primeTime.load(file)) {
        std::fprintf(stderr, "ravlonctl primetime: cannot read %s\n", file.c_str());
        return EXIT_FAILED;
    }
    for (const PrimeTime::Problem& p : problems)
        std::fprintf(stderr, "%s:%d: %s\n", file.c_str(), static_cast<int>(p.line), p.text.c_str());
    if (!problems.empty()) {
        std::fprintf(stderr, "ravlonctl primetime: %s has malformed rules; nothing classified\n", file.c_str());
        return EXIT_FAILED;
    }
    for (const DateTime& moment : moments)
        std::printf("%s %s\n", moment.toText(false, false, true).c_str(),
                    PrimeTime::label(primeTime.classify(moment)));
    return EXIT_OK;
}

} // namespace
} // namespace Ctl
} // namespace Telvar
