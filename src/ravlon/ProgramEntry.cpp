#include "ravlon/ProgramEntry.h"

#include <atomic>
#include <memory>
#include <ostream>

#include "agent/CommandLine.h"
#include "common/Resources.h"
#include "logger/LogSetup.h"
#include "logger/LoggerUnit.h"
#include "logger/ParamStream.h"
#include "platform/FileSystem.h"
#include "platform/Installation.h"
#include "platform/MailslotTransport.h"
#include "platform/MessageWindow.h"
#include "platform/Process.h"
#include "platform/SystemError.h"
#include "platform/Thread.h"
#include "platform/ThreadId.h"
#include "ravlon/Ravlon.h"
#include "ravlon/StartPauses.h"

#ifndef RAVLON_VERSION
#define RAVLON_VERSION "unknown"
#endif

namespace Telvar {

std::mutex ProgramEntry::lock_;
Ravlon* ProgramEntry::collector_ = nullptr;
unsigned ProgramEntry::mainThread_ = 0;

namespace {

std::atomic<bool> g_stop{false};

bool plainOption(const std::string& argument)
{
    if (argument.size() < 2 || argument[0] != '-')
        return false;
    for (char c : argument)
        if (c == ' ' || c == '\t' || c == '"' || c == '\'')
            return false;
    return true;
}

std::string quoted(const std::string& value)
{
    // The agent's syntax has no escape: a value holding a double quote is
    // written in single quotes.
    char quote = value.find('"') == std::string::npos ? '"' : '\'';
    return quote + value + quote;
}

// Numbered, so that it is logged whatever the debug level.
void logEnd(Ravlon& collector, bool fatal, const std::string& reason)
{
    const SmartPointer<LoggerUnit>& unit = collector.programUnit();
    if (unit.isNull())
        return;
    if (fatal)
        unit->fatal(Ravlon::MSG_ENDING, ParamStream() << reason);
    else
        unit->error(Ravlon::MSG_ENDING, ParamStream() << reason);
}

// Absolute, as the user may have looked elsewhere.
std::string logPath(const Ravlon& collector)
{
    const LogSetup& log = collector.logSetup();
    if (log.logFileName.empty())
        return "";
    const std::string path = log.logDirectory + log.logFileName;
    const std::string absolute = Platform::absolutePath(path);
    return absolute.empty() ? path : absolute;
}

} // namespace

std::string ProgramEntry::versionText() { return std::string("ravlon ") + RAVLON_VERSION + "\n"; }

std::string ProgramEntry::helpText()
{
    return "Usage: ravlon [-c CONFIGURATION_FILE]\n"
           "       ravlon --help | --version\n"
           "\n"
           "Ravlon samples the host's performance counters once a second and writes one\n"
           "measurement record per collection scheme at every :00 and :30 second mark\n"
           "into data files in its working directory, delivered as \".data\" files at the\n"
           "configured interval. It takes commands on the mailslot \"Telvar_Ravlon\".\n"
           "It runs in the foreground until stopped: SIGTERM or SIGINT (Ctrl-C) stop it\n"
           "with every record delivered, SIGHUP makes it read its configuration again.\n"
           "Before the first start, 'ravlonctl setup' makes an installation (resources,\n"
           "configuration, directories); 'ravlonctl check-config FILE' checks a\n"
           "configuration with the collector's own rules.\n"
           "\n"
           "Options:\n"
           "  -c FILE, -cFILE      the configuration file (default: ravlon.conf in the\n"
           "                       resource ConfigurationDir); kept for every reconfigure\n"
           "  -h, --help           this text\n"
           "  --version            the program's version\n"
           "\n"
           "Environment:\n"
           "  RAVLON_START_DELAY   seconds to wait before anything else (default 20)\n"
           "  RAVLON_SETTLE_DELAY  seconds to wait after configuring, before recovering\n"
           "                       the files of a crashed run (default 10)\n"
           "                       Both take whole seconds from 0 to 86400.\n"
           "  TELVAR_REGISTRY_ROOT where the resource store lives\n"
           "                       (default /var/lib/telvar/registry)\n"
           "  TELVAR_ENV           the key path of the resources\n"
           "                       (default SOFTWARE\\Telvar\\Resources)\n"
           "  TELVAR_RUNTIME_DIR   where the command mailslot and the locks live\n"
           "  TELVAR_PROC_ROOT, TELVAR_SYS_ROOT\n"
           "                       read performance data from copies of /proc and /sys\n"
           "                       (tests) instead of the host's\n"
           "  TZ                   the time zone of records and log lines\n"
           "\n"
           "Exit status: 0 when stopped, 2 for a usage error or a bad delay value,\n"
           "255 when the collector cannot start (the reason is on stderr and in the log).\n";
}

bool ProgramEntry::usageProblem(const CommandLine::Options& options, std::string& problem)
{
    for (size_t i = 0; i < options.size(); ++i) {
        const CommandLine::Option& option = options[i];
        if (option.first == "c" && i == 0 && !option.second.empty())
            continue;
        if (option.first == "c")
            problem = option.second.empty() ? "-c needs a FILE" : "-c may be given once, first";
        else if (option.first.empty())
            problem = "unexpected argument '" + option.second + "'";
        else
            problem = "unknown option '" + std::string(option.first.size() > 1 ? "--" : "-") + option.first + "'" +
                      // A "-" inside an unquoted value starts an option.
                      (i > 0 && !options[i - 1].second.empty() ? " (a value containing '-' must be quoted)" : "");
        return true;
    }
    return false;
}

bool ProgramEntry::answerUsage(const std::string& commandLine, std::ostream& err, int& exitCode)
{
    CommandLine::Options options = CommandLine::parse(commandLine);
    if (!options.empty())
        options.erase(options.begin());
    std::string problem;
    if (!usageProblem(options, problem))
        return false;
    err << "ravlon: " << problem << "\n" << helpText().substr(0, helpText().find("\n\n") + 1)
        << "'ravlon --help' tells more." << std::endl;
    exitCode = EXIT_USAGE;
    return true;
}

bool ProgramEntry::answerInformational(const std::vector<std::string>& arguments, std::ostream& out,
                                       int& exitCode)
{
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            out << helpText();
            exitCode = EXIT_OK;
            return true;
        }
        if (argument == "--version") {
            out << versionText();
            exitCode = EXIT_OK;
            return true;
        }
    }
    return false;
}

std::string ProgramEntry::commandLineText(const std::vector<std::string>& arguments)
{
    std::string text = "dummy";
    for (const std::string& argument : arguments)
        text += " " + (plainOption(argument) ? argument : quoted(argument));
    return text;
}

void ProgramEntry::requestStop()
{
    g_stop = true;
    std::lock_guard<std::mutex> guard(lock_);
    if (mainThread_ != 0)
        Platform::postThreadMessage(mainThread_, Platform::MSG_CLOSE, 0, 0);
}

void ProgramEntry::requestReconfigure()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (collector_ != nullptr)
        collector_->requestReconfigure();
}

bool ProgramEntry::stopRequested() { return g_stop.load(); }

bool ProgramEntry::startPause(std::ostream& err)
{
    const uint32_t seconds = StartPauses::startSeconds();
    // Said at once: otherwise the pause looks like a hang.
    if (seconds > 0)
        err << "ravlon: waiting " << seconds << " s before starting (" << StartPauses::START_VARIABLE << ")"
            << std::endl;
    // A stop that comes before main control waits in the queue for it.
    Platform::ensureThreadMessageQueue();
    {
        std::lock_guard<std::mutex> guard(lock_);
        mainThread_ = Platform::currentThreadId();
    }
    return StartPauses::pause(seconds, stopRequested);
}

int ProgramEntry::runCollector(const std::string& commandLine, std::ostream& err)
{
    if (!startPause(err))
        return EXIT_OK;
    return live(commandLine, err);
}

int ProgramEntry::runWindowed(const std::string& commandLine, bool previousInstance, std::ostream& err)
{
    if (!startPause(err))
        return EXIT_OK;
    uint32_t error = Platform::ERR_SUCCESS;
    if (!previousInstance) {
        Platform::WindowClass windowClass;
        windowClass.name = WINDOW_CLASS;
        windowClass.style = WINDOW_CLASS_STYLE;
        windowClass.background = WINDOW_BACKGROUND;
        windowClass.menuName = WINDOW_MENU;
        error = Platform::registerWindowClass(windowClass);
        if (error == Platform::ERR_CLASS_ALREADY_EXISTS)
            error = Platform::ERR_SUCCESS;
    }
    // Never shown, and the handle is not kept: the window only takes the
    // system's requests to end, in this thread's queue.
    Platform::WindowHandle window = 0;
    if (error == Platform::ERR_SUCCESS)
        error = Platform::createHiddenWindow(WINDOW_CLASS, WINDOW_TITLE, WINDOW_STYLE, window);
    if (error != Platform::ERR_SUCCESS)
        err << "ravlon: no hidden window (error " << error << ": " << Platform::systemErrorMessage(error)
            << "); running without it" << std::endl;
    return live("dummy" + commandLine, err);
}

// The log's lock and the command slot live in the runtime directory: one
// others could write is refused before anything is set up there, on stderr,
// as not even the log can be written then.
bool ProgramEntry::runtimeDirectoryRefused(std::ostream& err)
{
    const std::string runtime = Platform::mailslotDirectory();
    Platform::PathStatus status;
    std::string why;
    if (runtime.empty() || !Platform::pathStatus(runtime, status) || Platform::isTrustedDirectory(runtime, why))
        return false;
    err << "ravlon: the runtime directory " << runtime << " cannot be trusted: " << why << " (exit status "
        << EXIT_CONFIGURATION_FAILED << ")" << std::endl;
    return true;
}

int ProgramEntry::live(const std::string& commandLine, std::ostream& err)
{
    if (runtimeDirectoryRefused(err))
        return EXIT_CONFIGURATION_FAILED;
    // What it writes (data, log, resources) and its command slot are for
    // its own people only: root, its account and the installation's group.
    std::string group;
    if (getResource(GROUP_RESOURCE, group) == RESOURCE_OK && !group.empty())
        Platform::setInstallationGroup(group);
    Platform::adoptInstallationGroup();
    // Every reconfigure starts new threads: without this the memory creeps.
    Platform::shareOneHeap();
    std::unique_ptr<Ravlon> collector(new Ravlon(commandLine));
    {
        std::lock_guard<std::mutex> guard(lock_);
        collector_ = collector.get();
    }
    int code = EXIT_OK;
    if (!collector->configure()) {
        std::string reason = collector->failure();
        if (reason.empty())
            reason = "the configuration failed";
        // Both the line here and the catalogue text end the sentence.
        while (!reason.empty() && reason.back() == '.')
            reason.pop_back();
        const std::string log = logPath(*collector);
        err << "ravlon: cannot start: " << reason << "." << (log.empty() ? "" : " The log " + log + " has the details.")
            << " (exit status 255)" << std::endl;
        logEnd(*collector, true, "cannot start: " + reason);
        code = EXIT_CONFIGURATION_FAILED;
    } else {
        collector->run();
        if (collector->outcome() != Ravlon::Outcome::COMPLETED) {
            std::string reason = collector->outcomeMessage();
            // Without its command mailslot nobody could stop or ask it: as
            // fatal as a second instance.
            const bool fatal = collector->outcome() == Ravlon::Outcome::NO_IPC_SERVER;
            if (fatal)
                code = EXIT_CONFIGURATION_FAILED;
            err << "ravlon: " << reason << (fatal ? " (exit status 255)" : "") << std::endl;
            logEnd(*collector, fatal, reason);
        }
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        collector_ = nullptr;
    }
    collector.reset();
    return code;
}

} // namespace Telvar
