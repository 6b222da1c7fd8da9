// ravlonctl: the operator's command-line tool.
#include "Command.h"

#include <cstdio>
#include <cstring>

#ifndef RAVLON_VERSION
#define RAVLON_VERSION "unknown"
#endif

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

void printHelp(const Command& command)
{
    std::printf("usage: %s\n\n%s\n", command.usage, command.help);
    const bool told = std::strstr(command.help, "Exit status") != nullptr || std::strstr(command.help, "Exit codes");
    if (!told)
        std::printf("\nExit status: 0 on success, 1 when it failed (the reason is on stderr), 2 for a\n"
                    "usage error.\n");
}

bool wantsHelp(const Command& command, const Args& args)
{
    for (const std::string& a : args) {
        if (a == "--") {
            return false;
        }
        if (a == "--help" || a == "-h") {
            printHelp(command);
            return true;
        }
    }
    return false;
}

Args conventionalForms(const Args& args)
{
    Args out;
    bool options = true;
    for (const std::string& a : args) {
        if (a == "--")
            options = false;
        const bool longWithValue = a.size() > 3 && a.compare(0, 2, "--") == 0 && a.find('=') != std::string::npos;
        // A letter and its value in one word, as "-n5"; "-5" stays a value.
        const bool shortWithValue = a.size() > 2 && a[0] == '-' && a[1] != '-' && a[1] != 'h' &&
                                    ((a[1] >= 'a' && a[1] <= 'z') || (a[1] >= 'A' && a[1] <= 'Z'));
        if (options && longWithValue) {
            out.push_back(a.substr(0, a.find('=')));
            out.push_back(a.substr(a.find('=') + 1));
        } else if (options && shortWithValue) {
            out.push_back(a.substr(0, 2));
            out.push_back(a.substr(2));
        } else {
            out.push_back(a);
        }
    }
    return out;
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
    std::fprintf(out, "\n'ravlonctl help COMMAND' (or 'ravlonctl COMMAND --help') describes one command;\n"
                      "options take '--name value' or '--name=value', '-n 5' or '-n5'.\n"
                      "Exit status: 0 on success, 1 when the command failed, 2 for a usage error,\n"
                      "3 when an answer did not come in time.\n");
}

static const Command* findCommand(const char* word)
{
    for (const Command& c : commands())
        if (std::strcmp(c.name, word) == 0)
            return &c;
    return nullptr;
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        overview(stderr);
        return EXIT_USAGE;
    }
    const char* word = argv[1];
    if (std::strcmp(word, "--version") == 0) {
        std::printf("ravlonctl %s\n", RAVLON_VERSION);
        return EXIT_OK;
    }
    if (std::strcmp(word, "help") == 0 && argc > 2) {
        const Command* c = findCommand(argv[2]);
        if (c == nullptr) {
            std::fprintf(stderr, "ravlonctl help: unknown command '%s'\n", argv[2]);
            overview(stderr);
            return EXIT_USAGE;
        }
        printHelp(*c);
        return EXIT_OK;
    }
    if (std::strcmp(word, "--help") == 0 || std::strcmp(word, "-h") == 0 || std::strcmp(word, "help") == 0) {
        overview(stdout);
        return EXIT_OK;
    }
    if (const Command* c = findCommand(word)) {
        Args args = conventionalForms(Args(argv + 2, argv + argc));
        if (wantsHelp(*c, args))
            return EXIT_OK;
        return c->run(args);
    }
    std::fprintf(stderr, "ravlonctl: unknown command '%s'\n", word);
    overview(stderr);
    return EXIT_USAGE;
}
