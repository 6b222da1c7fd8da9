#pragma once

#include <iosfwd>
#include <mutex>
#include <string>
#include <vector>

namespace Telvar {

class Ravlon;

// What every entry point of the collector shares: the informational options,
// the command-line text handed to the agent, the whole life of the collector
// (start pause, configuration, main control) and the outside requests that
// reach it while it lives. An operating system's entry only gathers its
// arguments and routes its stop and reconfigure requests here.
class ProgramEntry {
public:
    static constexpr int EXIT_OK = 0;
    static constexpr int EXIT_USAGE = 2;
    // The -1 of a failed configuration, as a process exit status.
    static constexpr int EXIT_CONFIGURATION_FAILED = 255;

    // "--help" and "--version" (anywhere among the arguments): writes the
    // answer to out, sets exitCode and answers true.
    static bool answerInformational(const std::vector<std::string>& arguments, std::ostream& out, int& exitCode);
    static std::string helpText();
    static std::string versionText();

    // "dummy" followed by the arguments as one text in the agent's syntax:
    // values other than plain options are quoted so that blanks, "-" and
    // quotes inside them survive.
    static std::string commandLineText(const std::vector<std::string>& arguments);

    // The start pause, then the collector from construction to its end.
    // Reasons of a failed or early end go to err as one line (and to the
    // log). Answers the process exit status.
    static int runCollector(const std::string& commandLine, std::ostream& err);

    // Outside requests, from any thread: stop ends a pause at once and
    // reaches main control as the close message; reconfigure asks the
    // running collector to configure again.
    static void requestStop();
    static void requestReconfigure();
    static bool stopRequested();

private:
    static std::mutex lock_;
    static Ravlon* collector_;  // guarded by lock_
    static unsigned mainThread_; // guarded by lock_
};

} // namespace Telvar
