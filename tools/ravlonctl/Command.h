#pragma once

#include <string>
#include <vector>

namespace Telvar {
namespace Ctl {

// Exit codes shared by all subcommands.
enum ExitCode { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2, EXIT_TIMEOUT = 3 };

using Args = std::vector<std::string>;

// A subcommand: run receives the arguments after the subcommand word.
struct Command {
    const char* name;
    const char* usage;    // one line: "ravlonctl NAME ..."
    const char* summary;  // one line for the overview
    const char* help;     // full --help text
    int (*run)(const Args& args);
};

// Each subcommand file registers itself with a static CommandRegistrar.
void registerCommand(const Command& command);
const std::vector<Command>& commands();

struct CommandRegistrar {
    explicit CommandRegistrar(const Command& command) { registerCommand(command); }
};

// Prints the usage line of the command to stderr and returns EXIT_USAGE.
int usageError(const Command& command, const std::string& problem);

// True when args contain "--help" or "-h" (before a "--"); prints the
// command's help then.
bool wantsHelp(const Command& command, const Args& args);
// The command's help, with the exit statuses.
void printHelp(const Command& command);
// "--name=value" as "--name" "value", "-n5" as "-n" "5" (up to a "--").
Args conventionalForms(const Args& args);

} // namespace Ctl
} // namespace Telvar
