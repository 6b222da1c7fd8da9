#pragma once

#include <string>
#include <utility>
#include <vector>

namespace Telvar {

// The program's command line: the split into program path and argument text,
// and the option parser.
//
// Options: "-x" names option x (characters directly after it start its
// value: "-cfile"), "--name" a long option; otherwise the next token is the
// value. Values may be quoted with double or single quotes and then contain
// blanks and "-". Inside an unquoted token a "-" or a quote ends the token.
// A value without option has an empty name, an option without value an empty
// value. The parser reads each byte at most once: an unterminated quote takes
// the rest of the text, a "-" at the end or before a blank is a plain value.
class CommandLine {
public:
    using Option = std::pair<std::string, std::string>;
    using Options = std::vector<Option>;

    static void split(const std::string& line, std::string& programPath, std::string& arguments);
    static Options parse(const std::string& text);

    static bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
};

} // namespace Telvar
