// ravlonctl sample: samples counter paths the way the collector does and
// prints one CSV line per interval.
#include "Command.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/DateTime.h"
#include "common/SmartPointer.h"
#include "platform/PerfData.h"
#include "ravlon/Counter.h"
#include "ravlon/CounterNames.h"

namespace Telvar {
namespace Ctl {
namespace {

int run(const Args& args);

const Command COMMAND = {
    "sample",
    "ravlonctl sample [-n COUNT] [-i SECONDS] PATH...",
    "sample counter paths as the collector does",
    "Adds each PATH (such as '\\Processor(_Total)\\% Processor Time') to a\n"
    "performance-data query exactly as the collector does, translation into\n"
    "the system's language included, then prints a CSV line every SECONDS\n"
    "(default 1): the local time, then each counter's value as the collector\n"
    "writes it, empty while the counter has no data. The first line names the\n"
    "paths. Object and counter names match without regard to case. -n stops\n"
    "after COUNT lines (default: run until interrupted); -n5, -i0.5 and\n"
    "--opt=value forms are taken too.\n"
    "\n"
    "Exit status: 0 after sampling, 1 when a PATH cannot be added (each one\n"
    "is named on stderr with the reason, and nothing is sampled) or no query\n"
    "can be opened, 2 for a usage error.",
    run,
};

const CommandRegistrar registrar(COMMAND);

std::string quoted(const std::string& s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

bool parseCount(const std::string& text, long& count)
{
    char* end = nullptr;
    count = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && count > 0;
}

bool parseSeconds(const std::string& text, double& seconds)
{
    char* end = nullptr;
    seconds = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && seconds > 0 && seconds <= 86400;
}

struct SampleOptions {
    long count = -1;  // lines to print; -1: until interrupted
    double seconds = 1.0;
    std::vector<std::string> paths;
};

// 0 when the arguments are sound, else the usage error's exit code.
int parseArguments(const Args& args, SampleOptions& options)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-n" || a == "-i") {
            if (i + 1 >= args.size())
                return usageError(COMMAND, a + " needs a value");
            const std::string& v = args[++i];
            if (a == "-n" && !parseCount(v, options.count))
                return usageError(COMMAND, "COUNT must be a positive number, not '" + v + "'");
            if (a == "-i" && !parseSeconds(v, options.seconds))
                return usageError(COMMAND, "SECONDS must be a positive number, not '" + v + "'");
        } else if (a.size() > 1 && a[0] == '-') {
            return usageError(COMMAND, "unknown option '" + a + "'");
        } else {
            options.paths.push_back(a);
        }
    }
    if (options.paths.empty())
        return usageError(COMMAND, "no PATH given");
    return 0;
}

// "\\Object\\Counter" into its object and counter, as the counters file has them.
void splitPath(const std::string& path, std::string& object, std::string& counter)
{
    size_t last = path.rfind('\\');
    object = last != std::string::npos && last > 0 ? path.substr(1, last - 1) : std::string();
    counter = last != std::string::npos ? path.substr(last + 1) : path;
}

// Says on stderr why a path gives no values: asks once more for the status
// the collector only logs.
void reportUnusable(Platform::PerfDataProvider& pdh, const std::string& path, const Counter& c)
{
    const std::string& tried = c.localizedPath.empty() ? path : c.localizedPath;
    Platform::PdhHandle probe = Platform::PDH_NULL_HANDLE;
    Platform::PdhStatus s = pdh.addCounter(pdhQuery, tried, 0, probe);
    if (s == 0) {
        pdh.removeCounter(probe);
        std::fprintf(stderr, "ravlonctl sample: '%s' has no translation into the system's language\n",
                     path.c_str());
    } else {
        std::fprintf(stderr, "ravlonctl sample: cannot add '%s': %s\n", path.c_str(), pdhStatusText(s).c_str());
    }
}

// One column per path; false (each unusable path named) when a path gave no counter.
bool columnsFor(Platform::PerfDataProvider& pdh, const std::vector<std::string>& paths,
                std::vector<SmartPointer<Counter>>& columns)
{
    bool usable = true;
    for (const std::string& p : paths) {
        std::string object;
        std::string counter;
        splitPath(p, object, counter);
        SmartPointer<Counter> c = findCounter("\\" + object + "\\" + counter);
        columns.push_back(c);
        if (c.isNull() || !isValid(*c)) {
            usable = false;
            if (!c.isNull())
                reportUnusable(pdh, p, *c);
            else
                std::fprintf(stderr, "ravlonctl sample: '%s' is not a counter path\n", p.c_str());
        }
    }
    return usable;
}

void printLines(Platform::PerfDataProvider& pdh, const SampleOptions& options,
                const std::vector<SmartPointer<Counter>>& columns)
{
    std::string header = quoted("Time");
    for (const std::string& p : options.paths)
        header += "," + quoted(p);
    std::printf("%s\n", header.c_str());
    std::fflush(stdout);

    // A first collection, so that rates have their base at the first line.
    pdh.collectQueryData(pdhQuery);
    const int intervalMs = static_cast<int>(options.seconds * 1000.0 + 0.5);
    for (long n = 0; options.count < 0 || n < options.count; ++n) {
        Clock::current().sleepMilliseconds(intervalMs);
        pdh.collectQueryData(pdhQuery);
        registerCounterData(true);
        std::string line = quoted(DateTime::now().toText(false));
        for (const SmartPointer<Counter>& c : columns) {
            bool shown = !c.isNull() && isValid(*c) && hasData(*c);
            line += "," + quoted(shown ? valueText(*c) : std::string());
        }
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
}

int run(const Args& args)
{
    SampleOptions options;
    if (int error = parseArguments(args, options))
        return error;

    // Registered as the counters file would.
    for (const std::string& p : options.paths) {
        std::string object;
        std::string counter;
        splitPath(p, object, counter);
        registerCounter(SmartPointer<Counter>(new Counter(object, counter)));
    }
    Platform::PerfDataProvider& pdh = Platform::perfData();
    Platform::PdhStatus status = pdh.openQuery(pdhQuery);
    if (status != 0) {
        std::fprintf(stderr, "ravlonctl sample: cannot open a query: %s\n", pdhStatusText(status).c_str());
        return EXIT_FAILED;
    }
    if (!localizeCounters()) {
        std::fprintf(stderr, "ravlonctl sample: cannot read the counter names\n");
        pdh.closeQuery(pdhQuery);
        return EXIT_FAILED;
    }
    addCountersToQuery();
    std::vector<SmartPointer<Counter>> columns;
    const bool usable = columnsFor(pdh, options.paths, columns);
    if (usable)
        printLines(pdh, options, columns);
    pdh.closeQuery(pdhQuery);
    pdhQuery = Platform::PDH_NULL_HANDLE;
    clearRegistry();
    return usable ? EXIT_OK : EXIT_FAILED;
}

} // namespace
} // namespace Ctl
} // namespace Telvar
