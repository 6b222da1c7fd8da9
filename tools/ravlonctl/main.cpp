// ravlonctl: the operator's command-line tool.
#include "Command.h"

#include <cstdio>
#include <cstring>

namespace Telvar {
namespace Ctl {

static std::vector<Command>& registry()
{
    static std::vector<Command> all;
    return all;
}

void registerCommand(const Command& command) { registry().push_back(command); }

const std::vector<Command>& commands() { return registry(); }

int usageError(const Command& command, const std::string& problem)
{
    if (!problem.empty())
        std::fprintf(stderr, "ravlonctl %s: %s\n", command.name, problem.c_str());
    std::fprintf(stderr, "usage: %s\n", command.usage);
    return EXIT_USAGE;
}

bool wantsHelp(const Command& command, const Args& args)
{
    for (const std::string& a : args) {
        if (a == "--help" || a == "-h") {
            std::printf("usage: %s\n\n%s\n", command.usage, command.help);
            return true;
        }
    }
    return false;
}

} // namespace Ctl
} // namespace Telvar

using namespace Telvar::Ctl;

static void overview(std::FILE* out)
{
    std::fprintf(out, "usage: ravlonctl COMMAND [ARGS...]\n\n"
                      "Operator tool of the Ravlon performance-data collector.\n\n"
                      "Commands:\n");
    for (const Command& c : commands())
        std::fprintf(out, "  %-14s %s\n", c.name, c.summary);
    std::fprintf(out, "\n'ravlonctl COMMAND --help' describes one command.\n");
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        overview(stderr);
        return EXIT_USAGE;
    }
    const char* word = argv[1];
    if (std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0 || std::strcmp(word, "help") == 0) {
        overview(stdout);
        return EXIT_OK;
    }
    for (const Command& c : commands()) {
        if (std::strcmp(c.name, word) == 0) {
            Args args(argv + 2, argv + argc);
            if (wantsHelp(c, args))
                return EXIT_OK;
            return c.run(args);
        }
    }
    std::fprintf(stderr, "ravlonctl: unknown command '%s'\n", word);
    overview(stderr);
    return EXIT_USAGE;
}
