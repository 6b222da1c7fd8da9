// ravlonctl status: asks the running collector for its process and shows
// where it keeps its files.
#include "Command.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "RecordReader.h"
#include "common/ConfReader.h"
#include "common/DateTime.h"
#include "common/Exception.h"
#include "common/IPCClient.h"
#include "common/IPCServer.h"
#include "common/MailSlot.h"
#include "common/Resources.h"
#include "common/StringUtil.h"
#include "common/Clock.h"
#include "platform/FileSystem.h"
#include "platform/PathSeparator.h"
#include "platform/Process.h"

namespace Telvar {
namespace Ctl {
namespace {

using StringUtil::endsWith;

int run(const Args& args);

const Command COMMAND = {
    "status",
    "ravlonctl status [--timeout SECONDS] [--config FILE]",
    "ask the running collector how it is",
    "Sends SEND_PROCESS_INFO to the collector's mailslot Telvar_Ravlon and waits\n"
    "up to SECONDS (default 5; the collector looks at its mailslot once a\n"
    "second) for the reply. Prints whether it answered, its process and thread\n"
    "ids, the JOB_Ravlon resource (and whether that process still exists), the\n"
    "configuration directory, the working directory from the configuration\n"
    "(--config FILE, default ravlon.conf in the configuration directory), the\n"
    "data files being written there (scheme, size, age) and the newest\n"
    "delivered one. A reload that failed is shown, with the file, line and\n"
    "reason, until a reload works. The collector's own figures (the Ravlon\n"
    "Collector object: processor time, memory, samples missed, records,\n"
    "deliveries, commands, reloads) follow its answer; their rates are taken\n"
    "over one second.\n"
    "\n"
    "Exit codes: 0 the collector answered, 1 it did not, 2 usage.",
    run,
};

const CommandRegistrar registrar(COMMAND);

struct Reply {
    bool answered = false;
    std::string payload;
    int64_t milliseconds = 0;
};

bool parseSeconds(const std::string& text, double& seconds)
{
    char* end = nullptr;
    seconds = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && seconds >= 0 && seconds <= 3600;
}

// False when the request could not even be sent (no such mailslot).
bool ask(const std::string& target, const std::string& command, double seconds, Reply& reply)
{
    const int64_t started = Clock::current().monotonicMilliseconds();
    const std::string identifier = "status-" + std::to_string(Platform::currentProcessId()) + "-" +
                                   std::to_string(started);
    const std::string replyTo = "ravlonctl_status_" + std::to_string(Platform::currentProcessId()) + "_" +
                                std::to_string(started);
    MailSlot slot(IPC_RECEIVER, replyTo);
    IPCClient client(target);
    if (!client.send("COMMAND", identifier, command, replyTo))
        return false;
    const int64_t until = started + static_cast<int64_t>(seconds * 1000);
    for (;;) {
        std::vector<std::string> messages;
        slot.receive(messages);
        for (const std::string& message : messages) {
            IPCFields fields;
            if (IPCServer::splitMessage(message, fields) && fields.type == "REPLY" &&
                fields.identifier == identifier) {
                reply.answered = true;
                reply.payload = fields.payload;
                reply.milliseconds = Clock::current().monotonicMilliseconds() - started;
                return true;
            }
        }
        if (Clock::current().monotonicMilliseconds() >= until)
            return true;
        Clock::current().sleepMilliseconds(50);
    }
}

// "pid=12;tid=34" -> 12; -1 when the text has another form.
int64_t processOfJob(const std::string& job)
{
    if (job.compare(0, 4, "pid=") != 0)
        return -1;
    size_t end = job.find(';');
    std::string digits = job.substr(4, end == std::string::npos ? std::string::npos : end - 4);
    if (digits.empty() || digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::atoll(digits.c_str());
}

std::string sizeText(uint64_t bytes)
{
    char text[32];
    if (bytes < 1024)
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    else if (bytes < 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
    else
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
    return text;
}

std::string ageText(int64_t seconds)
{
    if (seconds < 0)
        return "in the future";
    if (seconds < 120)
        return std::to_string(seconds) + " s";
    if (seconds < 7200)
        return std::to_string(seconds / 60) + " min";
    if (seconds < 172800)
        return std::to_string(seconds / 3600) + " h " + std::to_string(seconds % 3600 / 60) + " min";
    return std::to_string(seconds / 86400) + " d " + std::to_string(seconds % 86400 / 3600) + " h";
}

std::string withSeparator(std::string directory)
{
    StringUtil::normaliseSeparators(directory);
    StringUtil::appendSeparator(directory);
    return directory;
}

// The working directory as the collector settles it; empty with a reason.
std::string workingDirectory(const std::string& configFile, std::string& problem)
{
    ConfReader reader;
    reader.readFile(configFile);
    if (reader.lastLoad().kind != ConfReader::LoadStatus::LOAD_OK) {
        problem = "cannot load " + configFile;
        return std::string();
    }
    std::string directory;
    if (reader.getDirName("ravlon.working-dir", directory) == ConfReader::CONF_OK)
        return withSeparator(directory);
    std::string install;
    if (getResource("InstallDir", install) != RESOURCE_OK)
        install = Platform::currentDirectory();
    return withSeparator(withSeparator(install) + "Log/temp/RVL");
}

struct DataFile {
    std::string name;
    uint64_t size = 0;
    int64_t written = 0;
};

void showDataFiles(const std::string& directory)
{
    std::vector<Platform::DirectoryItem> items;
    if (!Platform::readDirectory(directory, items)) {
        std::printf("  working directory cannot be listed\n");
        return;
    }
    std::vector<DataFile> making;
    DataFile newest;
    const int64_t now = DateTime::now().seconds();
    for (const Platform::DirectoryItem& item : items) {
        bool make = endsWith(item.name, ".make") || endsWith(item.name, ".make.tmp");
        bool data = endsWith(item.name, ".data");
        Platform::PathStatus status;
        if (item.directory || !(make || data) || !Platform::pathStatus(directory + item.name, status))
            continue;
        DataFile file{item.name, status.size, status.writtenSeconds};
        if (make)
            making.push_back(file);
        else if (newest.name.empty() || file.written > newest.written)
            newest = file;
    }
    std::sort(making.begin(), making.end(), [](const DataFile& a, const DataFile& b) { return a.name < b.name; });
    // While a file is written its records go to the working copy X.make.tmp;
    // X.make is only its place holder until the copy is committed.
    std::vector<DataFile> shown;
    for (size_t i = 0; i < making.size(); ++i)
        if (!(i + 1 < making.size() && making[i + 1].name == making[i].name + ".tmp"))
            shown.push_back(making[i]);
    making.swap(shown);
    if (making.empty())
        std::printf("  being written: none\n");
    for (const DataFile& f : making) {
        std::string scheme = RecordReader::schemeOfFileName(f.name);
        std::printf("  being written: %s (scheme %s, %s, last written %s ago)\n", f.name.c_str(),
                    scheme.empty() ? "unknown" : scheme.c_str(), sizeText(f.size).c_str(),
                    ageText(now - f.written).c_str());
    }
    if (newest.name.empty())
        std::printf("  newest delivered: none\n");
    else
        std::printf("  newest delivered: %s (%s, %s old)\n", newest.name.c_str(), sizeText(newest.size).c_str(),
                    ageText(now - newest.written).c_str());
}

// "Name=value;Name=value" of SEND_STATISTICS, one line each.
void showFigures(const std::string& target, double seconds)
{
    Reply reply;
    try {
        // the collector measures its rates over a second before it answers
        ask(target, "SEND_STATISTICS", seconds + 1, reply);
    } catch (const Exception& e) {
        std::fprintf(stderr, "ravlonctl status: %s\n", e.fullText().c_str());
    }
    if (!reply.answered || reply.payload.empty()) {
        std::printf("  own figures: %s\n", reply.answered ? "not available" : "no answer");
        return;
    }
    std::printf("  own figures (Ravlon Collector):\n");
    const std::string payload = IPCServer::printable(reply.payload);
    size_t start = 0;
    while (start <= payload.size()) {
        size_t end = payload.find(';', start);
        if (end == std::string::npos)
            end = payload.size();
        const std::string pair = payload.substr(start, end - start);
        const size_t equals = pair.find('=');
        if (equals != std::string::npos)
            std::printf("    %-24s %s\n", (pair.substr(0, equals) + ":").c_str(),
                        equals + 1 < pair.size() ? pair.substr(equals + 1).c_str() : "(no value)");
        start = end + 1;
    }
}

// The collector's note on its last reload; a failed one stays shown until
// a reload works.
void showReload()
{
    std::string note;
    if (getResource("RELOAD_Ravlon", note) != RESOURCE_OK || note.empty())
        return;
    note = IPCServer::printable(note);
    if (note.rfind("failed ", 0) == 0)
        std::printf("  last reload FAILED at %s; the running configuration stays in use\n", note.substr(7).c_str());
    else if (note.rfind("ok ", 0) == 0)
        std::printf("  last reload: ok at %s\n", note.substr(3).c_str());
}

// answeredBy: the process id of the reply, -1 without one.
void showJob(int64_t answeredBy)
{
    std::string job;
    if (getResource("JOB_Ravlon", job) != RESOURCE_OK) {
        std::printf("  JOB_Ravlon: not set\n");
        return;
    }
    int64_t pid = processOfJob(job);
    std::string shown = IPCServer::printable(job);
    if (pid < 0)
        std::printf("  JOB_Ravlon: %s (not of the form pid=N;tid=N)\n", shown.c_str());
    else if (Platform::processExists(pid))
        std::printf("  JOB_Ravlon: %s (process %lld exists)\n", shown.c_str(), static_cast<long long>(pid));
    else
        std::printf("  JOB_Ravlon: %s (process %lld no longer exists)\n", shown.c_str(),
                    static_cast<long long>(pid));
    // The resource of an earlier run, or of another collector.
    if (answeredBy >= 0 && pid >= 0 && pid != answeredBy)
        std::printf("  the answering process is not the one JOB_Ravlon names\n");
}

void showDirectories(const std::string& givenConfig)
{
    std::string confDir;
    bool haveConfDir = getResource("ConfigurationDir", confDir) == RESOURCE_OK;
    std::printf("  configuration directory: %s\n", haveConfDir ? withSeparator(confDir).c_str() : "not set");
    std::string configFile = givenConfig;
    if (configFile.empty() && haveConfDir)
        configFile = withSeparator(confDir) + "ravlon.conf";
    if (configFile.empty()) {
        std::printf("  working directory: unknown (no configuration file)\n");
        return;
    }
    std::string problem;
    std::string working = workingDirectory(configFile, problem);
    if (working.empty()) {
        std::printf("  working directory: unknown (%s)\n", problem.c_str());
        return;
    }
    // A relative directory is the collector's, below its own current
    // directory; this one is only a guess.
    const bool relative = !Platform::isPathSeparator(working[0]) && !(working.size() > 1 && working[1] == ':');
    std::printf("  working directory: %s%s\n", working.c_str(),
                relative ? " (relative: looked up from the current directory)" : "");
    showDataFiles(working);
}

int run(const Args& args)
{
    std::string target = "Telvar_Ravlon";
    std::string configFile;
    double seconds = 5;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        // --to (not in the usage) points the request at another mailslot, for tests.
        if (a != "--timeout" && a != "--config" && a != "--to")
            return usageError(COMMAND, "unknown argument '" + a + "'");
        if (i + 1 >= args.size())
            return usageError(COMMAND, a + " needs a value");
        const std::string& v = args[++i];
        if (a == "--to")
            target = v;
        else if (a == "--config")
            configFile = v;
        else if (!parseSeconds(v, seconds))
            return usageError(COMMAND, "--timeout expects seconds up to 3600, not \"" + v + "\"");
    }
    if (!MailSlot::isValidName(target))
        return usageError(COMMAND, "invalid mailslot name \"" + MailSlot::printableName(target) + "\"");

    Reply reply;
    bool sent = false;
    try {
        sent = ask(target, "SEND_PROCESS_INFO", seconds, reply);
    } catch (const Exception& e) {
        std::fprintf(stderr, "ravlonctl status: %s\n", e.fullText().c_str());
    }
    int64_t answeredBy = -1;
    if (reply.answered) {
        std::string payload = IPCServer::printable(reply.payload);
        size_t comma = payload.find(',');
        answeredBy = processOfJob("pid=" + payload.substr(0, comma));
        std::printf("running: answered on \"%s\" in %.1f s\n", target.c_str(), reply.milliseconds / 1000.0);
        if (comma != std::string::npos)
            std::printf("  process %s, thread %s\n", payload.substr(0, comma).c_str(), payload.substr(comma + 1).c_str());
        else
            std::printf("  process information: \"%s\" (not of the form pid,tid)\n", payload.c_str());
    } else if (!sent) {
        std::printf("not running: no mailslot \"%s\"\n", target.c_str());
    } else {
        std::printf("not answering: no reply on \"%s\" within %g s\n", target.c_str(), seconds);
    }
    if (reply.answered) {
        showReload();
        showFigures(target, seconds);
    }
    showJob(answeredBy);
    showDirectories(configFile);
    return reply.answered ? EXIT_OK : EXIT_FAILED;
}

} // namespace
} // namespace Ctl
} // namespace Telvar
