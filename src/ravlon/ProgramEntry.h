#pragma once

#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <string>
#include <vector>

#include "agent/CommandLine.h"
#include "platform/Process.h"

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
    static constexpr int EXIT_CONFIGURATION_FAILED = Platform::EXIT_STATUS_MINUS_ONE;
    // Resource naming the installation's group (default "ravlon").
    static constexpr const char* GROUP_RESOURCE = "InstallationGroup";

    // "--help" and "--version" (anywhere among the arguments): writes the
    // answer to out, sets exitCode and answers true.
    static bool answerInformational(const std::vector<std::string>& arguments, std::ostream& out, int& exitCode);
    static std::string helpText();
    // Anything but one leading "-c FILE" is a usage error; problem says which.
    static bool usageProblem(const CommandLine::Options& options, std::string& problem);
    // For the command-line text the agent gets ("dummy" first): a usage
    // error is written to err with the usage, exitCode set to EXIT_USAGE.
    static bool answerUsage(const std::string& commandLine, std::ostream& err, int& exitCode);
    static std::string versionText();

    // "dummy" followed by the arguments as one text in the agent's syntax:
    // values other than plain options are quoted so that blanks, "-" and
    // quotes inside them survive.
    static std::string commandLineText(const std::vector<std::string>& arguments);

    // The start pause, then the collector from construction to its end.
    // Reasons of a failed or early end go to err as one line (and to the
    // log). Answers the process exit status.
    static int runCollector(const std::string& commandLine, std::ostream& err);

    // The hidden window of the Windows entry, through which the system asks
    // the program to end.
    static constexpr const char* WINDOW_CLASS = "GenericAppClass";
    static constexpr const char* WINDOW_MENU = "GenericAppMenu";
    static constexpr const char* WINDOW_TITLE = "Ravlon";
    // Vertical and horizontal redraw, a device context of its own.
    static constexpr uint32_t WINDOW_CLASS_STYLE = 35;
    // The window colour (system colour 5) + 1.
    static constexpr int32_t WINDOW_BACKGROUND = 6;
    // An overlapped window with both scroll bars.
    static constexpr uint32_t WINDOW_STYLE = 0x00FF0000;

    // The Windows entry with the command-line text the system gives: the
    // start pause, the window class (unless a previous instance registered
    // it) and the hidden window, then the collector as runCollector, built
    // from "dummy" directly followed by commandLine. A window that cannot
    // be made is reported to err and the collector runs without it (its
    // commands still reach it).
    static int runWindowed(const std::string& commandLine, bool previousInstance, std::ostream& err);

    // Outside requests, from any thread: stop ends a pause at once and
    // reaches main control as the close message; reconfigure asks the
    // running collector to configure again.
    static void requestStop();
    static void requestReconfigure();
    static bool stopRequested();

private:
    static bool startPause(std::ostream& err);
    static int live(const std::string& commandLine, std::ostream& err);
    static bool runtimeDirectoryRefused(std::ostream& err);

    static std::mutex lock_;
    static Ravlon* collector_;  // guarded by lock_
    static unsigned mainThread_; // guarded by lock_
};

} // namespace Telvar
