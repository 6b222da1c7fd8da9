#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "RecordReader.h"

namespace Telvar {
namespace Ctl {

// The records of one collection scheme with the names of their columns.
struct SchemeRecords {
    std::string scheme;               // empty when no file name told it
    std::vector<std::string> columns; // counter paths, or "1", "2", ...
    bool named = false;               // columns come from a counters file
    std::vector<Record> records;      // in time order
};

// Records of several data files, grouped by scheme and named through the
// scheme's counters file: given directly, or found through the collector
// configuration and the scheme in each file's name.
class RecordSet {
public:
    struct Options {
        std::string countersFile;
        std::string configFile;
        bool haveFrom = false;
        bool haveTo = false;
        int64_t from = 0; // records at or after, seconds since 1970
        int64_t to = 0;   // records at or before
    };

    // Reads every file. False on a problem that leaves nothing sensible to
    // show (an unreadable counters file, one counters file for files of
    // several schemes); error() says which. Line problems do not fail.
    bool load(const std::vector<std::string>& files, const Options& options);

    const std::vector<SchemeRecords>& schemes() const { return schemes_; }
    // Lines and files that did not give records, in reading order.
    const std::vector<RecordProblem>& problems() const { return problems_; }
    // Remarks that change nothing read ("columns are numbered because ...").
    const std::vector<std::string>& notes() const { return notes_; }
    const std::string& error() const { return error_; }

    // A counters file lists some dozens of counters; more is not one.
    static constexpr uint64_t MAX_COUNTERS_FILE = 1024 * 1024;

    // The counter paths of a counters file, in file order; false with a reason.
    static bool readCountersFile(const std::string& path, std::vector<std::string>& paths, std::string& error);

    // Index of the column a selection names: the exact path, a number from
    // 1, or the end of exactly one path ("% Processor Time"). -1 with a
    // reason when it names none or several.
    static int findColumn(const std::vector<std::string>& columns, const std::string& selection,
                          std::string& error);

private:
    // Groups the files' records by the scheme their names give.
    void readFiles(const std::vector<std::string>& files);
    // With one counters file all records are of one scheme; false when the
    // file names say otherwise.
    bool mergeIntoOneScheme();
    bool nameColumns(SchemeRecords& group, const Options& options);
    void checkWidths(SchemeRecords& group);

    std::vector<SchemeRecords> schemes_;
    std::vector<RecordProblem> problems_;
    std::vector<std::string> notes_;
    std::string error_;
};

} // namespace Ctl
} // namespace Telvar
