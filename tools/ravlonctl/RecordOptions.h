#pragma once

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
