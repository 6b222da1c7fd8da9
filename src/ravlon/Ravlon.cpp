#include "ravlon/Ravlon.h"

#include <algorithm>

#include "agent/DataDelivery.h"
#include "common/Clock.h"
#include "common/ConfReader.h"
#include "common/DateTime.h"
#include "common/Exception.h"
#include "common/IPCClient.h"
#include "common/MailSlot.h"
#include "common/Resources.h"
#include "common/SystemInfo.h"
#include "logger/LogSettings.h"
#include "logger/LoggerUnit.h"
#include "logger/ParamStream.h"
#include "platform/CollectorStatistics.h"
#include "platform/MailslotTransport.h"
#include "platform/MessageWindow.h"
#include "platform/PerfData.h"
#include "platform/Process.h"
#include "platform/ThreadId.h"
#include "ravlon/CollectorConfiguration.h"
#include "ravlon/Counter.h"
#include "ravlon/LeftoverRecovery.h"
#include "ravlon/RecordExport.h"
#include "ravlon/ReloadCheck.h"
#include "ravlon/SelfFigures.h"
#include "ravlon/StartPauses.h"

namespace Telvar {

std::atomic<uint32_t> Ravlon::mainThreadId_{0};
std::atomic<int32_t> Ravlon::processorCount_{1};

Ravlon::Ravlon(const std::string& commandLine) : Agent(commandLine)
{
    setProgramName(PROGRAM_NAME);
}

Ravlon::~Ravlon()
{
    // A run that returned early may leave statusMonitor behind; it reads
    // this object.
    requestQuit();
    endMonitor();
}

const char* Ravlon::outcomeText(Outcome outcome)
{
    switch (outcome) {
    case Outcome::NOT_RUN: return "main control did not run";
    case Outcome::COMPLETED: return "stopped";
    case Outcome::NO_IPC_SERVER: return "the command mailslot could not be created";
    case Outcome::THREADS_NOT_STARTED: return "not all worker threads could be started";
    case Outcome::NO_MONITOR: return "the statusMonitor thread could not be created";
    case Outcome::STOP_FAILED: return "not all threads could be stopped; the last data was not delivered";
    }
    return "";
}

std::string Ravlon::outcomeMessage() const
{
    std::string text = outcomeText(outcome());
    if (outcome() == Outcome::NO_IPC_SERVER && !ipcFailure().empty())
        text += ": " + ipcFailure();
    return text;
}

void Ravlon::debug(int32_t level, const std::string& text) const
{
    if (!unit().isNull())
        unit()->debug(level, text);
}

void Ravlon::debug(int32_t level, const std::string& templ, const std::string& parameter) const
{
    debug(level, templ, ParamStream() << parameter);
}

void Ravlon::debug(int32_t level, const std::string& templ, const ParamStream& parameters) const
{
    if (!unit().isNull())
        unit()->debug(level, templ, parameters);
}

bool Ravlon::judgeConfiguration() { return CollectorConfiguration::judgeConfiguration(*this); }

bool Ravlon::configureCollector()
{
    return CollectorConfiguration::configureCollector(*this, degradeSetting_, dataFileEntries_);
}

void Ravlon::recoverLeftovers()
{
    LeftoverRecovery::recover(CollectorConfiguration::workingDirectory(), unit());
}

bool Ravlon::startIPCServer()
{
    return createIPCServer(
        MAILSLOT,
        [this](const std::string& type, const std::string& identifier, const std::string& payload,
               const std::string& replyTo) { onCommand(type, identifier, payload, replyTo); },
        IPCServer::Triage{isKnownCommand, [this](const IPCFields& first, size_t count) { onJunk(first, count); }});
}

bool Ravlon::isKnownCommand(const IPCFields& fields)
{
    static const char* const known[] = {"DIE", "SEND_PROCESS_INFO", "SEND_STATISTICS", "RAVLONDUMP", "RECONFIG"};
    if (fields.type != "COMMAND")
        return false;
    for (const char* word : known)
        if (fields.payload == word)
            return true;
    return false;
}

namespace {

// Who sent the command being handled, for the log.
std::string commandSender()
{
    const Platform::MailslotSender* sender = IPCServer::handledSender();
    return MailSlot::senderText(sender != nullptr ? *sender : Platform::MailslotSender());
}

} // namespace

void Ravlon::run()
{
    outcome_ = Outcome::NOT_RUN;
    setResource(JOB_RESOURCE, "pid=" + std::to_string(Platform::currentProcessId()) +
                                  ";tid=" + std::to_string(Platform::currentThreadId()));
    // A failed reload of an earlier run is no news about this one.
    setResource(RELOAD_RESOURCE, "");

    const uint32_t settle = StartPauses::settleSeconds();
    // The settle pause: counters of a host that is still starting up need it.
    debug(1, "Waiting %i seconds (RAVLON_SETTLE_DELAY) for the counters to settle before recovering leftover "
             "data files and starting the threads...",
          ParamStream() << settle);
    // A close message already waiting (a stop during the start) cuts it short.
    StartPauses::pause(settle, [this] {
        Platform::ThreadMessage waiting;
        return quitRequested() || (Platform::peekThreadMessage(waiting, false) &&
                                   (waiting.message == Platform::MSG_CLOSE || waiting.message == Platform::MSG_DESTROY));
    });
    debug(1, "    Continuing.");

    recoverLeftovers();

    if (!startIPCServer()) {
        outcome_ = Outcome::NO_IPC_SERVER;
        return;
    }
    processorCount_ = SystemInfo::processorCount();
    Sampling::idleTimeCorrection =
        SystemInfo::isWow64() && SystemInfo::windowsVersion() == 52 && processorCount_.load() > 1;

    if (!startThreads()) {
        outcome_ = Outcome::THREADS_NOT_STARTED;
        return;
    }
    if (!startMonitor()) {
        outcome_ = Outcome::NO_MONITOR;
        return;
    }

    messageLoop();
    debug(1, "Ravlon main loop has exited.");

    // statusMonitor may be restarting the threads; they are stopped only
    // once it has ended, and it must not outlive this object.
    requestQuit();
    endMonitor();

    if (!stopAndVerifyThreads()) {
        outcome_ = Outcome::STOP_FAILED;
        return;
    }
    DataDelivery::instance().deliverAll(true);
    RecordExport::stop();
    if (pdhQuery != Platform::PDH_NULL_HANDLE) {
        Platform::perfData().closeQuery(pdhQuery);
        pdhQuery = Platform::PDH_NULL_HANDLE;
    }
    debug(1, "Ravlon main control has ended.");
    outcome_ = Outcome::COMPLETED;
}

bool Ravlon::startMonitor()
{
    debug(1, "Creating statusMonitor thread");
    mainThreadId_ = Platform::currentThreadId();
    // The queue must exist before statusMonitor can post its quit to it.
    Platform::ensureThreadMessageQueue();
    Platform::ThreadId id = 0;
    if (Platform::createThread(statusMonitor, this, monitor_, id) != Platform::ERR_SUCCESS) {
        monitor_ = Platform::INVALID_THREAD_HANDLE;
        debug(3, "Failed to create statusMonitor.");
        return false;
    }
    Platform::setThreadName(monitor_, "monitor");
    debug(5, "Created statusMonitor.");
    if (!unit().isNull())
        unit()->notice(MSG_RUNNING);
    return true;
}

void Ravlon::messageLoop()
{
    Platform::ThreadMessage message;
    while (Platform::getThreadMessage(message) > 0) {
        if (message.message == Platform::MSG_CLOSE || message.message == Platform::MSG_DESTROY) {
            requestQuit();
            debug(5, "Main loop: Got Windows message to shut down.");
            break;
        }
        Platform::dispatchMessage(message);
        if (quitRequested())
            break;
    }
}

void Ravlon::endMonitor()
{
    if (monitor_ == Platform::INVALID_THREAD_HANDLE)
        return;
    bool active = true;
    int32_t code = 0;
    for (int waited = 0; waited < MONITOR_END_WAIT_MS; waited += 20) {
        if (Platform::threadExitCode(monitor_, active, code) != Platform::ERR_SUCCESS || !active)
            break;
        DateTime::sleepMilliseconds(20);
    }
    if (active) {
        debug(1, "statusMonitor did not end; ending it.");
        Platform::terminateThread(monitor_, -1);
    }
    Platform::closeThreadHandle(monitor_);
    monitor_ = Platform::INVALID_THREAD_HANDLE;
}

int32_t Ravlon::statusMonitor(void* parameter)
{
    Ravlon& self = *static_cast<Ravlon*>(parameter);
    self.debug(1, "START THREAD statusMonitor.");
    try {
        self.monitorLoop();
    } catch (...) {
        // Passed on, the exception would end the process without delivering
        // anything: the main thread shuts down in order instead.
        self.debug(1, "ERROR running Ravlon statusMonitorThread");
    }
    self.debug(1, "END THREAD statusMonitor.");
    self.requestQuit();
    Platform::postThreadMessage(mainThreadId_.load(), Platform::MSG_QUIT, 0, 0);
    return 0;
}

void Ravlon::monitorLoop()
{
    int64_t deadline = DateTime::now().seconds() + CHECK_SECONDS;
    while (!quitRequested()) {
        int64_t now = DateTime::now().seconds();
        if (now > deadline) {
            deadline = now;
            if (debugLevel() == 5)
                debug(5, "statusMonitor is running as normal.");
            if (!checkThreads()) {
                debug(1, "statusMonitor is exiting due to failed threads.");
                requestQuit();
                break;
            }
            deadline += CHECK_SECONDS;
        }
        if (reconfigureRequested())
            restart();
        else if (mailslotLost_)
            retryIPCServer();
        // Nothing else is due before the next check: a quit or a reconfigure
        // request rings. A lost mailslot is tried again every half second.
        Clock& clock = Clock::current();
        int64_t ms = (deadline + 1) * 1000 + 2 - clock.wallMilliseconds();
        // A clock set back must not stretch the sleep past one check period.
        ms = std::min<int64_t>(ms, mailslotLost_ ? MONITOR_SLEEP_MS : 1000 * int64_t(CHECK_SECONDS + 1));
        clock.sleepUnlessWoken(static_cast<int>(std::max<int64_t>(ms, 1)), supervisorWakeup());
    }
}

bool Ravlon::restart()
{
    clearReconfigureRequest();
    // A file that would not configure must not stop the collection: the
    // running configuration and its threads stay.
    ReloadCheck::Problem problem;
    if (!ReloadCheck::check(*this, problem)) {
        reportReload(problem.text());
        return false;
    }
    const SmartPointer<ConfReader> running = configurationReader();
    bool ok = stopAndVerifyThreads();
    bool restored = false;
    if (ok) {
        clearCollection();
        ok = configure() && startThreads();
        // What the check could not foresee (a directory made untrusted
        // meanwhile, a file changed between check and use): the
        // configuration that ran before goes on collecting.
        if (!ok && !running.isNull() && stopAndVerifyThreads()) {
            clearCollection();
            restored = configureFrom(running) && startThreads();
        }
    }
    Platform::collectorStatistics().add(ok ? Platform::CollectorStatistics::RELOADS
                                           : Platform::CollectorStatistics::FAILED_RELOADS);
    // Stopping the threads also ended the command listener. Without it no
    // further command, not even "DIE" or a "RECONFIG" after the configuration
    // has been mended, would reach the collector.
    if (!ipcServer().isNull())
        ipcServer()->stop();
    if (ipcServer().isNull() || ipcServer()->listenerExited()) {
        nextMailslotTry_ = 0;
        mailslotLost_ = true;
        retryIPCServer();
    }
    if (ok || restored) {
        reportReload(ok ? std::string() : configurationFile() + ": the configuration failed; see the messages before");
    } else {
        if (!unit().isNull())
            unit()->error(MSG_NOTHING_COLLECTED, ParamStream() << configurationFile());
        setResource(RELOAD_RESOURCE, "failed " + DateTime::now().toText(false) + ": " + configurationFile() +
                                         ": neither it nor the configuration before runs; nothing is collected");
    }
    return ok;
}

void Ravlon::clearCollection()
{
    clearThreads();
    DataDelivery::instance().clear();
    clearRegistry();
}

// Shown by "ravlonctl status" until a reload succeeds.
void Ravlon::reportReload(const std::string& problem)
{
    if (problem.empty()) {
        setResource(RELOAD_RESOURCE, "ok " + DateTime::now().toText(false));
        return;
    }
    if (!unit().isNull())
        unit()->error(MSG_RELOAD_REFUSED, ParamStream() << problem);
    setResource(RELOAD_RESOURCE, "failed " + DateTime::now().toText(false) + ": " + problem);
}

void Ravlon::retryIPCServer()
{
    const int64_t now = Clock::current().monotonicMilliseconds();
    if (now < nextMailslotTry_)
        return;
    nextMailslotTry_ = now + MAILSLOT_RETRY_MS;
    const bool report = now >= nextMailslotReport_;
    // Every attempt logs its failure: while the name is still held, only
    // the one that reports is made.
    Platform::MailslotHandle probe = Platform::INVALID_MAILSLOT_HANDLE;
    if (!report && Platform::openMailslot(MAILSLOT, false, probe) == Platform::ERR_SUCCESS) {
        Platform::closeMailslot(probe);
        return;
    }
    if (startIPCServer()) {
        mailslotLost_ = false;
        nextMailslotReport_ = 0;
        return;
    }
    if (report) {
        nextMailslotReport_ = now + RepeatLimiter::MINUTE_MS;
        if (!unit().isNull())
            unit()->error(MSG_NO_MAILSLOT, ParamStream() << ipcFailure());
    }
}

void Ravlon::onCommand(const std::string& type, const std::string& identifier, const std::string& payload,
                       const std::string& replyTo)
{
    debug(2, "IPC: Received message \"%s\".", type);
    if (!isKnownCommand(IPCFields{type, identifier, payload, replyTo})) {
        onJunk(IPCFields{type, identifier, payload, replyTo}, 1);
        return;
    }
    Platform::collectorStatistics().add(Platform::CollectorStatistics::COMMANDS_RECEIVED);
    debug(3, "IPC: Received command \"%s\".", payload);
    if (payload == "DIE") {
        // A command that changes what the collector does is always logged, with who sent it.
        debug(1, "IPC: Command \"DIE\" from " + commandSender() + ".");
        debug(3, "Quitting.");
        requestQuit();
    } else if (payload == "SEND_PROCESS_INFO") {
        debug(3, "IPC: Sending main thread ID as requested...");
        const std::string info = std::to_string(Platform::currentProcessId()) + "," +
                                 std::to_string(agentThreadId());
        if (sendReply(identifier, info, replyTo, PROCESS_INFO_LINE))
            debug(3, "IPC: Main thread ID sent.");
    } else if (payload == "SEND_STATISTICS") {
        sendReply(identifier, SelfFigures::text(), replyTo, STATISTICS_LINE);
    } else if (payload == "RAVLONDUMP") {
        debug(3, "IPC: Dumping data as requested...");
        DataDelivery::instance().deliverAll(false);
        debug(3, "IPC: Reporting success to Telvar Core.");
        sendReply(identifier, "", replyTo, DUMP_LINE);
    } else if (payload == "RECONFIG") {
        debug(1, "IPC: Command \"RECONFIG\" from " + commandSender() + ".");
        debug(1, "Reconfiguring...");
        requestReconfigure();
    }
}

void Ravlon::onJunk(const IPCFields& first, uint64_t count)
{
    Platform::collectorStatistics().add(Platform::CollectorStatistics::JUNK_DROPPED, count);
    // A flood of them must not flood the log.
    const bool command = first.type == "COMMAND";
    RepeatLimiter& limiter = command ? unknownCommands_ : unknownTypes_;
    const char* line = command ? "IPC: Received an unknown command." : "IPC: Received an unknown type.";
    if (limiter.occurred(count))
        debug(1, line);
    if (uint64_t more = unknownCommands_.takeHeldBack())
        debug(1, RepeatLimiter::summary("IPC: Received an unknown command.", more));
    if (uint64_t more = unknownTypes_.takeHeldBack())
        debug(1, RepeatLimiter::summary("IPC: Received an unknown type.", more));
}

// False when the reply raised (an unreachable mailslot does not: the send
// answers false, and that is not examined).
bool Ravlon::sendReply(const std::string& identifier, const std::string& payload, const std::string& replyTo,
                       int32_t line)
{
    try {
        IPCClient client(replyTo);
        client.send("REPLY", identifier, payload, MAILSLOT);
    } catch (Exception& e) {
        e.addTrace(SOURCE, line);
        debug(1, e.fullText());
        if (!unit().isNull())
            unit()->error(MSG_REPLY_FAILED, ParamStream() << e.codeText());
        return false;
    }
    return true;
}

} // namespace Telvar
