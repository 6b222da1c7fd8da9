#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Command.h"
#include "RecordSet.h"

namespace Telvar {
namespace Ctl {

// Options that 'records' and 'chart' share: where the column names come
// from and which period to read.
class RecordOptions {
public:
    // Takes args[i] (and its value) when it is a shared option. Returns
    // false when it is not one; sets problem when it is one but wrong.
    bool take(const Args& args, size_t& i, std::string& problem);

    // A command's own option: gets its value, returns a problem (empty when
    // fine).
    struct OwnOption {
        std::string name;
        std::function<std::string(const std::string& value)> take;
    };
    // The argument loop of both commands: shared options, the command's own
    // options (each with one value), "--" ending the options, and FILEs.
    // 0 when fine (at least one FILE), else the exit code of the usage error
    // it printed.
    int parse(const Command& command, const Args& args, const std::vector<OwnOption>& own,
              std::vector<std::string>& files);

    // Checks the combination; empty when fine.
    std::string check() const;

    // Reads the files; prints problems and notes on stderr. False when
    // nothing sensible can be shown (the reason printed, prefixed by the
    // command name).
    bool load(const char* command, const std::vector<std::string>& files, RecordSet& set) const;

    // Prints every problem as file:line: reason.
    static void reportProblems(const RecordSet& set);

    // "2026-12-08T04:50:30" style local text, or a text with "Z" or an
    // offset; false when the text is not a time.
    static bool parseTime(const std::string& text, int64_t& seconds);

    RecordSet::Options options;
};

} // namespace Ctl
} // namespace Telvar
