// ravlonctl records: data files as a table, CSV or JSON lines.
#include "Command.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "RecordOptions.h"
#include "RecordSet.h"
#include "common/DateTime.h"
#include "ravlon/RecordLines.h"

namespace Telvar {
namespace Ctl {
namespace {

int run(const Args& args);

const Command COMMAND = {
    "records",
    "ravlonctl records [--counters FILE | --config FILE] [--format table|csv|json|influx] [--columns LIST]\n"
    "                         [--from TIME] [--to TIME] FILE...",
    "show the records of data files",
    "Reads data files (\".data\", \".make\", \".make.tmp\"; plain or gzip) and shows\n"
    "their records in time order: the local time, the host facts, the prime-time\n"
    "class and one value per counter. A counter without data is shown empty.\n"
    "\n"
    "  --counters FILE  the scheme's counters file names the columns\n"
    "  --config FILE    the collector configuration: each file's scheme (from its\n"
    "                   name, <scheme>Log-...) leads to its counters file\n"
    "                   Without either, columns are numbered.\n"
    "  --format F       table (default; aligned, one counter per line when too\n"
    "                   wide for $COLUMNS or 160), csv (a header row; one scheme\n"
    "                   only) or json (one object per line)\n"
    "  --columns LIST   comma-separated counters to show: a path, its end\n"
    "                   (\"% Processor Time\") or a column number from 1\n"
    "  --from, --to     only records at or after / at or before the time\n"
    "                   (2026-12-08T04:30:00 local, or with Z or an offset)\n"
    "\n"
    "A line that is not part of a record is reported on stderr as file:line:\n"
    "reason and reading goes on. Files larger than 64 MiB (uncompressed) and\n"
    "lines longer than 64 KiB are refused.\n"
    "\n"
    "Exit codes: 0 all lines read, 1 a line or file could not be read, 2 usage.",
    run,
};

const CommandRegistrar registrar(COMMAND);

enum class Format { TABLE, CSV, JSON, INFLUX };

// The columns of one scheme that are shown.
struct View {
    const SchemeRecords* group;
    std::vector<size_t> shown;
};

std::string csvField(const std::string& s)
{
    if (s.find_first_of(",\"\r\n") == std::string::npos)
        return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

std::string jsonString(const std::string& s)
{
    std::string out = "\"";
    for (char ch : s) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 32 || c >= 127) {
            // Bytes of the system code page, taken as Latin-1.
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

// JSON takes no leading zeros and no "1." forms; the reader's numbers are
// decimal, so only leading zeros need a rewrite.
std::string jsonNumber(const std::string& text)
{
    size_t digits = text[0] == '-' ? 1 : 0;
    if (text.size() > digits + 1 && text[digits] == '0' && text[digits + 1] != '.' && text[digits + 1] != 'e' &&
        text[digits + 1] != 'E') {
        char out[64];
        std::snprintf(out, sizeof out, "%.17g", std::strtod(text.c_str(), nullptr));
        return out;
    }
    return text;
}

std::string localTime(int64_t seconds) { return DateTime(seconds).toText(false); }

void printCsv(const View& view)
{
    const SchemeRecords& g = *view.group;
    std::string header = "time,seconds,computer,architecture,domain,os,class";
    for (size_t c : view.shown)
        header += "," + csvField(g.columns[c]);
    std::printf("%s\n", header.c_str());
    for (const Record& r : g.records) {
        std::string line = localTime(r.time) + "," + std::to_string(r.time) + "," + csvField(r.computer) + "," +
                           csvField(r.architecture) + "," + csvField(r.domain) + "," + csvField(r.os) + "," +
                           r.primeClass;
        for (size_t c : view.shown)
            line += "," + r.values[c];
        std::printf("%s\n", line.c_str());
    }
}

void printJson(const View& view)
{
    const SchemeRecords& g = *view.group;
    for (const Record& r : g.records) {
        std::string line = "{\"scheme\":" + jsonString(g.scheme) + ",\"time\":" + jsonString(localTime(r.time)) +
                           ",\"seconds\":" + std::to_string(r.time) + ",\"computer\":" + jsonString(r.computer) +
                           ",\"architecture\":" + jsonString(r.architecture) + ",\"domain\":" +
                           jsonString(r.domain) + ",\"os\":" + jsonString(r.os) + ",\"class\":" +
                           jsonString(r.primeClass) + ",\"values\":{";
        for (size_t i = 0; i < view.shown.size(); ++i) {
            size_t c = view.shown[i];
            line += (i ? "," : "") + jsonString(g.columns[c]) + ":" +
                    (r.values[c].empty() ? std::string("null") : jsonNumber(r.values[c]));
        }
        std::printf("%s}}\n", line.c_str());
    }
}

// Line protocol with the collector's own names: a file loaded with curl
// lands on the series the push writes.
void printInflux(const View& view)
{
    const SchemeRecords& g = *view.group;
    std::vector<std::string> paths;
    for (size_t c : view.shown)
        paths.push_back(g.columns[c]);
    RecordSample sample;
    sample.scheme = g.scheme;
    sample.names = MetricNames::forPaths(paths);
    for (const Record& r : g.records) {
        sample.host = r.computer;
        sample.time = r.time;
        sample.values.clear();
        for (size_t c : view.shown)
            sample.values.push_back(r.values[c]);
        std::fputs(RecordLines::influx(sample).c_str(), stdout);
    }
}

std::string padLeft(const std::string& s, size_t width) { return std::string(width - std::min(width, s.size()), ' ') + s; }
std::string padRight(const std::string& s, size_t width) { return s + std::string(width - std::min(width, s.size()), ' '); }

size_t terminalWidth()
{
    const char* columns = std::getenv("COLUMNS");
    long width = columns != nullptr ? std::strtol(columns, nullptr, 10) : 0;
    return width >= 40 && width <= 10000 ? static_cast<size_t>(width) : 160;
}

// The scheme, the record count and the host; true when the records come
// from several hosts, which then get a column of their own.
bool printHeading(const SchemeRecords& g)
{
    std::set<std::string> hosts;
    for (const Record& r : g.records)
        hosts.insert(r.computer + " (" + r.architecture + ", " + r.domain + ", " + r.os + ")");
    std::string heading = "scheme " + (g.scheme.empty() ? std::string("unknown") : g.scheme) + ": " +
                          std::to_string(g.records.size()) + (g.records.size() == 1 ? " record" : " records");
    if (hosts.size() == 1)
        heading += " from " + *hosts.begin();
    std::printf("%s\n", heading.c_str());
    return hosts.size() > 1;
}

// Time, class and (with several hosts) computer, then the shown values.
std::vector<std::string> cellsOf(const Record& r, const View& view, bool hostColumn)
{
    std::vector<std::string> cells = {localTime(r.time), r.primeClass};
    if (hostColumn)
        cells.push_back(r.computer);
    for (size_t c : view.shown)
        cells.push_back(r.values[c]);
    return cells;
}

// Labels left-aligned, values right-aligned; false when the lines would be
// wider than the terminal.
bool printAligned(const std::vector<std::vector<std::string>>& rows, size_t fixed)
{
    std::vector<size_t> width(rows[0].size());
    for (const std::vector<std::string>& row : rows)
        for (size_t i = 0; i < row.size(); ++i)
            width[i] = std::max(width[i], row[i].size());
    size_t total = 0;
    for (size_t w : width)
        total += w + 2;
    if (total > terminalWidth())
        return false;
    for (const std::vector<std::string>& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i)
            line += (i ? "  " : "") + (i < fixed ? padRight(row[i], width[i]) : padLeft(row[i], width[i]));
        std::printf("%s\n", line.c_str());
    }
    return true;
}

// One line for the record, then one per counter.
void printLong(const std::vector<std::vector<std::string>>& rows, size_t fixed)
{
    const std::vector<std::string>& head = rows[0];
    size_t nameWidth = 0;
    for (size_t i = fixed; i < head.size(); ++i)
        nameWidth = std::max(nameWidth, head[i].size());
    for (size_t r = 1; r < rows.size(); ++r) {
        std::string line;
        for (size_t i = 0; i < fixed; ++i)
            line += (i ? "  " : "") + rows[r][i];
        std::printf("%s\n", line.c_str());
        for (size_t i = fixed; i < head.size(); ++i) {
            line = "  " + padRight(head[i], nameWidth) + "  " + rows[r][i];
            while (line.back() == ' ')
                line.pop_back();
            std::printf("%s\n", line.c_str());
        }
    }
}

void printTable(const View& view)
{
    const SchemeRecords& g = *view.group;
    bool hostColumn = printHeading(g);
    if (g.records.empty())
        return;
    std::vector<std::vector<std::string>> rows(1, {"time", "class"});
    if (hostColumn)
        rows[0].push_back("computer");
    const size_t fixed = rows[0].size();
    for (size_t c : view.shown)
        rows[0].push_back(g.columns[c]);
    for (const Record& r : g.records)
        rows.push_back(cellsOf(r, view, hostColumn));
    if (!printAligned(rows, fixed))
        printLong(rows, fixed);
}

std::vector<std::string> splitList(const std::string& list)
{
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        items.push_back(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos)
            return items;
        start = comma + 1;
    }
}

// The columns a view shows: all, or those --columns names; a usage problem
// (empty when fine).
std::string chooseColumns(bool haveColumns, const std::string& columns, View& view)
{
    const SchemeRecords& g = *view.group;
    if (!haveColumns) {
        for (size_t c = 0; c < g.columns.size(); ++c)
            view.shown.push_back(c);
        return std::string();
    }
    for (const std::string& item : splitList(columns)) {
        std::string problem;
        int c = RecordSet::findColumn(g.columns, item, problem);
        if (c < 0)
            return "--columns: " + problem + (g.scheme.empty() ? std::string() : " in scheme " + g.scheme);
        view.shown.push_back(static_cast<size_t>(c));
    }
    return std::string();
}

int run(const Args& args)
{
    RecordOptions shared;
    Format format = Format::TABLE;
    std::string columns;
    bool haveColumns = false;
    std::vector<std::string> files;
    const std::vector<RecordOptions::OwnOption> own = {
        {"--format",
         [&](const std::string& v) {
             if (v != "table" && v != "csv" && v != "json" && v != "influx")
                 return "--format expects table, csv, json or influx, not \"" + v + "\"";
             format = v == "table" ? Format::TABLE
                      : v == "csv" ? Format::CSV
                      : v == "json" ? Format::JSON
                                    : Format::INFLUX;
             return std::string();
         }},
        {"--columns",
         [&](const std::string& v) {
             columns = v;
             haveColumns = true;
             return std::string();
         }},
    };
    if (int error = shared.parse(COMMAND, args, own, files))
        return error;
    std::string wrong = shared.check();
    if (!wrong.empty())
        return usageError(COMMAND, wrong);

    RecordSet set;
    if (!shared.load(COMMAND.name, files, set))
        return EXIT_FAILED;
    if (format == Format::CSV && set.schemes().size() > 1) {
        RecordOptions::reportProblems(set);
        return usageError(COMMAND, "csv holds one scheme, and the files are of " +
                                       std::to_string(set.schemes().size()) +
                                       " (" + set.schemes()[0].scheme + ", " + set.schemes()[1].scheme + ")");
    }
    if (format == Format::INFLUX && shared.options.countersFile.empty() && shared.options.configFile.empty()) {
        RecordOptions::reportProblems(set);
        return usageError(COMMAND, "--format influx names the counters: give --counters or --config");
    }
    std::vector<View> views;
    for (const SchemeRecords& g : set.schemes()) {
        views.push_back(View{&g, {}});
        std::string problem = chooseColumns(haveColumns, columns, views.back());
        if (!problem.empty())
            return usageError(COMMAND, problem);
    }
    for (size_t i = 0; i < views.size(); ++i) {
        if (format == Format::TABLE) {
            if (i > 0)
                std::printf("\n");
            printTable(views[i]);
        } else if (format == Format::CSV) {
            printCsv(views[i]);
        } else if (format == Format::INFLUX) {
            printInflux(views[i]);
        } else {
            printJson(views[i]);
        }
    }
    RecordOptions::reportProblems(set);
    return set.problems().empty() ? EXIT_OK : EXIT_FAILED;
}

} // namespace
} // namespace Ctl
} // namespace Telvar
