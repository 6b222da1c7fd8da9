// ravlonctl chart: counters of data files over time as an SVG picture.
#include "Command.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "RecordOptions.h"
#include "RecordSet.h"
#include "SvgChart.h"

namespace Telvar {
namespace Ctl {
namespace {

int run(const Args& args);

const Command COMMAND = {
    "chart",
    "ravlonctl chart (--counters FILE | --config FILE) [--counter PATH]... [--from TIME] [--to TIME]\n"
    "                       --out FILE.svg FILE...",
    "draw the counters of data files as an SVG chart",
    "Draws the counters of one scheme's data files over time into FILE.svg, one\n"
    "panel per counter: bytes in KiB/MiB/GiB, percentages from 0 to 100, a gap\n"
    "where a record had no value or records are missing, prime-time periods\n"
    "shaded. The files are read as 'ravlonctl records' reads them.\n"
    "\n"
    "  --counters FILE  the scheme's counters file (names the counters)\n"
    "  --config FILE    find it through the collector configuration\n"
    "  --counter PATH   draw this counter only (path, its end or its column\n"
    "                   number); repeatable; default all\n"
    "  --from, --to     only records at or after / at or before the time\n"
    "  --out FILE.svg   the picture; written whole or not at all\n"
    "\n"
    "Exit codes: 0 drawn, 1 drawn but some lines were not records, or nothing\n"
    "to draw, or the picture could not be written, 2 usage.",
    run,
};

const CommandRegistrar registrar(COMMAND);

SvgChart::Series seriesOf(const SchemeRecords& group, size_t column)
{
    SvgChart::Series series;
    series.name = group.columns[column];
    for (const Record& r : group.records) {
        SvgChart::Point p;
        p.time = r.time;
        p.present = !r.values[column].empty();
        p.value = p.present ? std::strtod(r.values[column].c_str(), nullptr) : 0;
        series.points.push_back(p);
    }
    return series;
}

// A record stands for the half minute before it.
void addPrimeTime(SvgChart& chart, const SchemeRecords& group)
{
    const int64_t period = 30;
    for (const Record& r : group.records)
        if (r.primeClass == "prime")
            chart.addPrimeTime(r.time - period, r.time);
}

std::string titleOf(const SchemeRecords& group)
{
    std::string title = "Scheme " + (group.scheme.empty() ? std::string("unknown") : group.scheme);
    if (!group.records.empty())
        title += " on " + group.records.front().computer;
    return title;
}

// Through a temporary name, so that a failed write leaves no half picture.
bool writeWhole(const std::string& path, const std::string& text)
{
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out.good()) {
            std::remove(temporary.c_str());
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

int run(const Args& args)
{
    RecordOptions shared;
    std::vector<std::string> selected;
    std::string out;
    std::vector<std::string> files;
    const std::vector<RecordOptions::OwnOption> own = {
        {"--counter", [&](const std::string& v) { selected.push_back(v); return std::string(); }},
        {"--out", [&](const std::string& v) { out = v; return std::string(); }},
    };
    if (int error = shared.parse(COMMAND, args, own, files))
        return error;
    if (out.empty())
        return usageError(COMMAND, "--out FILE.svg is missing");
    std::string wrong = shared.check();
    if (!wrong.empty())
        return usageError(COMMAND, wrong);
    if (shared.options.countersFile.empty() && shared.options.configFile.empty())
        return usageError(COMMAND, "--counters or --config is needed to name the counters");

    RecordSet set;
    if (!shared.load(COMMAND.name, files, set))
        return EXIT_FAILED;
    RecordOptions::reportProblems(set);
    if (set.schemes().size() > 1) {
        std::fprintf(stderr, "ravlonctl chart: the files are of %zu schemes (%s, %s); a chart shows one\n",
                     set.schemes().size(), set.schemes()[0].scheme.c_str(), set.schemes()[1].scheme.c_str());
        return EXIT_FAILED;
    }
    if (set.schemes().empty() || set.schemes()[0].records.empty()) {
        std::fprintf(stderr, "ravlonctl chart: no records to draw\n");
        return EXIT_FAILED;
    }
    const SchemeRecords& group = set.schemes()[0];
    std::vector<size_t> columns;
    for (const std::string& s : selected) {
        std::string problem;
        int c = RecordSet::findColumn(group.columns, s, problem);
        if (c < 0)
            return usageError(COMMAND, "--counter: " + problem);
        columns.push_back(static_cast<size_t>(c));
    }
    if (selected.empty())
        for (size_t c = 0; c < group.columns.size(); ++c)
            columns.push_back(c);

    SvgChart chart(titleOf(group));
    addPrimeTime(chart, group);
    for (size_t c : columns)
        chart.addSeries(seriesOf(group, c));
    if (!writeWhole(out, chart.render())) {
        std::fprintf(stderr, "ravlonctl chart: cannot write %s\n", out.c_str());
        return EXIT_FAILED;
    }
    return set.problems().empty() ? EXIT_OK : EXIT_FAILED;
}

} // namespace
} // namespace Ctl
} // namespace Telvar
