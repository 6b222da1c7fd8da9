#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Telvar {
namespace Ctl {

// One measurement record: a classification line and the measurement line
// after it.
struct Record {
    std::string file;
    size_t line = 0;        // of the classification line, from 1
    int64_t time = 0;       // seconds since 1970 UTC
    std::string code;       // "36" or "??"
    std::string computer;
    std::string architecture;
    std::string domain;
    std::string os;
    std::string primeClass; // "prime", "non-prime" or "undef"
    // One text per column as written; empty for a counter without data.
    std::vector<std::string> values;
};

// A line that is not part of a record. Line 0 stands for the whole file.
struct RecordProblem {
    std::string file;
    size_t line = 0;
    std::string reason;

    // "file:line: reason", or "file: reason" for line 0.
    std::string text() const;
};

// Reads data files (".data", ".make", ".make.tmp"; plain or gzip) into
// records. Lines that do not form a record are collected as problems and
// reading goes on; a line without its line end (a write cut short) is one
// of them.
class RecordReader {
public:
    // Bounds on hostile input: a longer line is reported and skipped, a file
    // with more uncompressed bytes is refused as a whole.
    static constexpr size_t MAX_LINE = 64 * 1024;
    static constexpr int64_t MAX_FILE = 64 * 1024 * 1024;

    // The scheme a data file's name carries: "cpuLog-1700000000-12-3.data"
    // (also ".make", ".make.tmp", any of them with ".gz" added, and with a
    // directory in front) gives "cpu". Empty when the name has another form.
    static std::string schemeOfFileName(const std::string& path);

    // Reads one file; false when it could not be read at all (a problem
    // with line 0 says why). Records read before a failure are kept.
    bool readFile(const std::string& path);

    // The record lines of content, as if read from a file of that name.
    void parse(const std::string& file, const std::string& content);

    // Strict decimal number as the collector writes it: optional "-",
    // digits, optional "." and digits, optional exponent.
    static bool isNumber(const std::string& text);

    const std::vector<Record>& records() const { return records_; }
    std::vector<Record>& records() { return records_; }
    const std::vector<RecordProblem>& problems() const { return problems_; }

private:
    void problem(const std::string& file, size_t line, const std::string& reason);
    // Empty on success, else the reason.
    static std::string parseClassification(const std::string& line, Record& record);
    static std::string parseMeasurement(const std::string& line, Record& record);

    std::vector<Record> records_;
    std::vector<RecordProblem> problems_;
};

} // namespace Ctl
} // namespace Telvar
