#include "agent/Agent.h"

#include "agent/DataDelivery.h"

#include <utility>

#include "agent/LogFile.h"
#include "common/Clock.h"
#include "common/ConfReader.h"
#include "common/Exception.h"
#include "common/FileOperations.h"
#include "common/Resources.h"
#include "common/StringUtil.h"
#include "common/TimeSpan.h"
#include "logger/LogCommons.h"
#include "logger/LogIdentifiers.h"
#include "logger/LogSettings.h"
#include "logger/LoggerCentre.h"
#include "logger/LoggerSink.h"
#include "logger/LoggerUnit.h"
#include "logger/ParamStream.h"
#include "platform/NamedMutex.h"
#include "platform/Thread.h"
#include "platform/ThreadId.h"

#include <mutex>

namespace Telvar {

namespace {

const char* const UNKNOWN = "UNKNOWN";

// The debug level only matters for texts built at some cost.
bool debugAtLeast(int32_t level) { return debugLevel() >= level; }

std::atomic<uint32_t> g_agentThreadId{0};
std::mutex g_temporaryLock;
std::string g_temporaryDirectory;

} // namespace

Agent::Agent() : Agent(std::string()) {}

Agent::Agent(const std::string& commandLine)
{
    CommandLine::split(commandLine, programPath_, argumentText_);
    options_ = CommandLine::parse(commandLine);
    // The first token is the program path (or the collector's stand-in).
    if (!options_.empty())
        options_.erase(options_.begin());
}

uint32_t Agent::agentThreadId() { return g_agentThreadId.load(); }

std::string Agent::temporaryDirectory()
{
    std::lock_guard<std::mutex> guard(g_temporaryLock);
    return g_temporaryDirectory;
}

Agent::~Agent()
{
    if (!ipcServer_.isNull()) {
        ipcServer_->stop();
        ipcServer_.release();
    }
    // The threads go first: the delivery thread walks the data-file
    // registry. Dropping the entries ends their files.
    clearThreads();
    DataDelivery::instance().clear();
    if (LogFile::loggerUnit().equals(unit_))
        LogFile::setLoggerUnit(SmartPointer<LoggerUnit>());
    if (messageCatalog().equals(catalogue_))
        setMessageCatalog(SmartPointer<LogCommons>());
    unit_.release();
    centre_.reset();
    logSetup_.configuration = nullptr;
    logSetup_.unit.reset();
    logSetup_.centre.reset();
    logSetup_.messenger.reset();
    configuration_.reset();
    if (lockTaken_)
        instanceLock_.relax();
}

void Agent::setLoggerCentre(const SmartPointer<LoggerCentre>& centre)
{
    centre_ = centre;
    unit_ = centre.isNull() ? SmartPointer<LoggerUnit>()
                            : SmartPointer<LoggerUnit>(new LoggerUnit(centre, MODULE_AGENT));
}


void Agent::debug(int32_t level, const std::string& text) const
{
    if (!unit_.isNull())
        unit_->debug(level, text);
}

void Agent::debug(int32_t level, const std::string& templ, const std::string& name) const
{
    debug(level, templ, ParamStream() << name);
}

void Agent::debug(int32_t level, const std::string& templ, const ParamStream& params) const
{
    if (!unit_.isNull())
        unit_->debug(level, templ, params);
}

void Agent::reportFailure(int32_t severity, int32_t messageId, const std::string& name, Exception* e,
                          int32_t line) const
{
    if (e != nullptr)
        e->addTrace(SOURCE, line);
    if (unit_.isNull())
        return;
    ParamStream params;
    params << name;
    // One parameter type for both cases, so the catalogue text fits either.
    if (e != nullptr)
        params << std::to_string(e->code());
    else
        params << UNKNOWN;
    if (severity == SEVERITY_FATAL)
        unit_->fatal(messageId, params);
    else
        unit_->error(messageId, params);
    if (e != nullptr)
        unit_->debug(1, e->fullText());
}

ThreadRecord* Agent::addThread(const ThreadRecord& record)
{
    threads_.push_back(record);
    return &threads_.back();
}

void Agent::clearThreads()
{
    // Terminate before the entries go: a running thread reads its entry.
    for (ThreadRecord& entry : threads_)
        entry.thread.reset();
    threads_.clear();
}

void Agent::reportAlive(std::atomic<int32_t>& state, bool fatal) const
{
    int32_t asked = STATE_ASKED;
    state.compare_exchange_strong(asked, fatal ? STATE_FATAL : STATE_ALIVE);
    if (quit_.load())
        state = STATE_QUITTING;
}

void Agent::requestQuit()
{
    quit_ = true;
    Wakeup::wakeAll();
}

void Agent::requestReconfigure()
{
    reconfigure_ = true;
    Clock::current().wake(supervisorWakeup_);
}

bool Agent::shouldQuit(const std::atomic<int32_t>& state) const
{
    return state.load() == STATE_QUIT || quit_.load();
}

void Agent::logThreadStatus(const std::string& name, bool fatal) const
{
    if (fatal && debugLevel() > 2)
        debug(3, "THREAD %s is in fatal status.", name);
    else if (debugLevel() == 5)
        debug(5, quit_.load() ? "THREAD %s is waiting to quit." : "THREAD %s is running as normal.", name);
}

bool Agent::startThreads()
{
    debug(2, "Starting threads...");
    int started = 0;
    for (ThreadRecord& entry : threads_) {
        try {
            if (entry.thread.isNull())
                throw JobException(JobException::JB_NEVER_STARTED, "No thread instance.", TELVAR_HERE);
            // A state left from an earlier run must not tell the new thread to end.
            entry.state = STATE_NONE;
            entry.thread->execute();
            ++started;
            entry.checkStatus = CHECK_OK;
            entry.lastOk = DateTime::now();
            if (!entry.name.empty())
                debug(4, "   Started \"%s\".", entry.name);
        } catch (Exception& e) {
            reportFailure(SEVERITY_ERROR, MSG_START_FAILED, entry.name, &e, __LINE__);
            entry.checkStatus = CHECK_DOWN;
        } catch (...) {
            reportFailure(SEVERITY_ERROR, MSG_START_FAILED, entry.name, nullptr, __LINE__);
            entry.checkStatus = CHECK_DOWN;
        }
    }
    int failed = static_cast<int>(threads_.size()) - started;
    debug(2, "   Started %i thread(s), and failed to start %i.", ParamStream() << started << failed);
    if (failed != 0) {
        if (!unit_.isNull())
            unit_->fatal(MSG_NOT_ALL_STARTED);
        return false;
    }
    return true;
}

void Agent::stopThreads()
{
    debug(2, "Stopping threads...");
    int signalled = 0;
    int killed = 0;
    for (ThreadRecord& entry : threads_) {
        if (entry.checkStatus == CHECK_DOWN)
            continue;
        try {
            if (entry.reportsState()) {
                entry.state = STATE_QUIT;
                Clock::current().wake(entry.wakeup);
                ++signalled;
            } else {
                if (!entry.thread.isNull())
                    entry.thread->stop();
                ++killed;
                entry.checkStatus = CHECK_DOWN;
            }
        } catch (Exception& e) {
            reportFailure(SEVERITY_FATAL, MSG_STOP_FAILED, entry.name, &e, __LINE__);
            entry.checkStatus = CHECK_OK;
        } catch (...) {
            reportFailure(SEVERITY_FATAL, MSG_STOP_FAILED, entry.name, nullptr, __LINE__);
            entry.checkStatus = CHECK_OK;
        }
    }
    if (!ipcServer_.isNull()) {
        // Only asked: whatever comes next (the final delivery) need not wait
        // for the listener; its one wait is where the server goes.
        ipcServer_->requestStop();
        ++signalled;
    }
    debug(2, "   %i thread(s) signalled to stop, %i killed.", ParamStream() << signalled << killed);
}

bool Agent::verifyStoppedThreads()
{
    debug(2, "Verifying stopped threads...");
    int ended = 0;
    int killed = 0;
    for (ThreadRecord& entry : threads_) {
        try {
            if (!entry.thread.isNull() && entry.thread->status() == JOB_RUNNING) {
                entry.thread->stop();
                if (entry.thread->status() != JOB_RUNNING)
                    ++killed;
            } else {
                ++ended;
            }
        } catch (Exception& e) {
            reportFailure(SEVERITY_FATAL, MSG_STOP_FAILED, entry.name, &e, __LINE__);
            entry.checkStatus = CHECK_OK;
        } catch (...) {
            reportFailure(SEVERITY_FATAL, MSG_STOP_FAILED, entry.name, nullptr, __LINE__);
            entry.checkStatus = CHECK_OK;
        }
    }
    int failed = static_cast<int>(threads_.size()) - ended - killed;
    debug(2, "   %i thread(s) ended nicely, %i was killed, and %i failed to end.",
          ParamStream() << ended << killed << failed);
    if (failed != 0) {
        if (!unit_.isNull())
            unit_->fatal(MSG_NOT_ALL_ENDED);
        return false;
    }
    return true;
}

bool Agent::stopAndVerifyThreads()
{
    stopThreads();
    DateTime::sleepMilliseconds(STOP_GRACE_MS);
    return verifyStoppedThreads();
}

bool Agent::monitorThreads()
{
    bool initiating = initiating_.load();
    debug(5, "Monitoring threads...");
    if (debugAtLeast(3))
        debug(3, initiating ? "   Initiating..." : "   Checking...");
    bool result = true;
    for (ThreadRecord& entry : threads_) {
        if (!monitorThread(entry, initiating))
            result = false;
    }
    initiating_ = !initiating;
    debug(5, "Done monitoring threads.");
    return result;
}

bool Agent::monitorThread(ThreadRecord& entry, bool initiating)
{
    debug(5, "   Now checking thread \"%s\"...", entry.name);
    bool running = false;
    try {
        running = !entry.thread.isNull() && entry.thread->status() == JOB_RUNNING;
    } catch (Exception& e) {
        // A thread whose status cannot be read is treated as down.
        e.addTrace(SOURCE, __LINE__);
        debug(1, e.fullText());
    }
    if (!running) {
        debug(5, "   \"%s\" is down.", entry.name);
        entry.checkStatus = CHECK_DOWN;
        return false;
    }
    if (initiating) {
        if (entry.reportsState()) {
            entry.state = STATE_ASKED;
            Clock::current().wake(entry.wakeup);
        }
        entry.lastOk = DateTime::now();
        return true;
    }
    entry.checkStatus = CHECK_OK;
    if (!entry.reportsState()) {
        entry.lastOk = DateTime::now();
        return true;
    }
    switch (entry.state.load()) {
    case STATE_ASKED:
        debug(5, "   \"%s\" is silent.", entry.name);
        entry.checkStatus = CHECK_SILENT;
        return false;
    case STATE_FATAL:
        debug(5, "   \"%s\" is fatal.", entry.name);
        return false;
    case STATE_QUITTING:
        debug(5, "   \"%s\" is waiting for quit signal.", entry.name);
        entry.lastOk = DateTime::now();
        return true;
    default:
        entry.lastOk = DateTime::now();
        return true;
    }
}

bool Agent::checkThreads()
{
    debug(5, "Check: Checking threads...");
    if (!monitorThreads()) {
        for (ThreadRecord& entry : threads_) {
            bool ok = true;
            try {
                ok = checkThread(entry);
            } catch (...) {
                debug(1, "ERROR while checking thread");
            }
            if (!ok)
                return false;
        }
    }
    debug(5, "Check: Finished checking threads.");
    return true;
}

bool Agent::shutDownOnFatal(ThreadRecord& entry)
{
    debug(5, "   Check: \"%s\" is fatal.", entry.name);
    debug(1, "Check: Thread \"%s\" has reported a fatal error. We are shutting down.",
          entry.name.empty() ? std::string(UNKNOWN) : entry.name);
    entry.state = STATE_QUIT;
    requestQuit();
    return false;
}

bool Agent::checkThread(ThreadRecord& entry)
{
    debug(5, "Check: Checking \"%s\"...", entry.name);
    if (entry.checkStatus == CHECK_OK) {
        debug(5, "   Check: \"%s\" is OK.", entry.name);
        if (entry.state.load() != STATE_FATAL) {
            entry.lastOk = DateTime::now();
            return true;
        }
        return shutDownOnFatal(entry);
    }
    // A thread that reported a fatal condition and then ended must not be
    // restarted as if it had merely died.
    if (entry.state.load() == STATE_FATAL)
        return shutDownOnFatal(entry);
    if (debugAtLeast(4)) {
        debug(4, "   Check: \"%s\" is not OK.", entry.name);
        debug(5, "      Check: The last time it was OK was %s ago.", (DateTime::now() - entry.lastOk).toText());
    }
    try {
        if (entry.checkStatus == CHECK_SILENT) {
            debug(5, "   Check: \"%s\" is silent.", entry.name);
            if (!entry.thread.isNull())
                entry.thread->stop();
            entry.checkStatus = CHECK_DOWN;
            debug(5, "   Check: \"%s\" has been killed.", entry.name);
        }
        if (entry.checkStatus == CHECK_DOWN && !quit_.load()) {
            debug(2, "   Check: Thread \"%s\" is down. Attempting restart...", entry.name);
            if (entry.thread.isNull())
                throw JobException(JobException::JB_NEVER_STARTED, "No thread instance.", TELVAR_HERE);
            // The new thread must not answer the old thread's request.
            entry.state = STATE_NONE;
            entry.thread->execute();
            entry.checkStatus = CHECK_OK;
            entry.lastOk = DateTime::now();
            debug(5, "   Check: \"%s\" has been restarted.", entry.name);
        }
    } catch (Exception& e) {
        reportFailure(SEVERITY_FATAL, MSG_STOP_FAILED, entry.name, &e, __LINE__);
        return false;
    } catch (...) {
        reportFailure(SEVERITY_FATAL, MSG_STOP_FAILED, entry.name, nullptr, __LINE__);
        return false;
    }
    return true;
}

bool Agent::restart()
{
    reconfigure_ = false;
    stopThreads();
    DateTime::sleepMilliseconds(STOP_GRACE_MS);
    if (!verifyStoppedThreads())
        return false;
    clearThreads();
    DataDelivery::instance().clear();
    if (!configure())
        return false;
    return startThreads();
}

bool Agent::configure()
{
    failure_.clear();
    if (!configureAgent())
        return false;
    if (!configureCollector())
        return false;
    debug(1, "Finished configuring.");
    return true;
}

bool Agent::configureFrom(const SmartPointer<ConfReader>& reader)
{
    readerToReuse_ = reader;
    const bool ok = configure();
    readerToReuse_ = SmartPointer<ConfReader>();
    return ok;
}

bool Agent::configureAgent()
{
    if (!startLogging() || !takeInstanceLock() || !attachConfiguration() || !readConfiguration())
        return false;
    loadLogMessages();
    setMessageCatalog(catalogue_);
    logSetup_.configure();
    const std::string prefix = StringUtil::toLowerCopy(programName_);
    int32_t level = 0;
    if (configuration_->getInteger(prefix + ".log.debug-level", level) == ConfReader::CONF_OK)
        setDebugLevel(level);
    if (!judgeConfiguration())
        return false;
    return loadPrimeTime() && prepareWorkers();
}

bool Agent::startLogging()
{
    std::string debugLog;
    if (getResource(programName_ + "DebugLog", debugLog) != RESOURCE_OK)
        debugLog = programName_ + "Debug.log";
    const int32_t applicationId = parseApplicationName(programName_);
    const int32_t moduleId = parseModuleName(programName_);
    if (applicationId == APPLICATION_UNKNOWN || moduleId == MODULE_UNKNOWN) {
        setFailure("the program name " + programName_ + " is not known to the logger");
        return false;
    }
    if (logSetup_.unit.isNull()) {
        logSetup_.logFileName = debugLog;
        logSetup_.applicationId = applicationId;
        logSetup_.moduleId = moduleId;
    }
    if (logSetup_.start())
        return true;
    setFailure("logging cannot be set up (log " + logSetup_.logDirectory + logSetup_.logFileName + ")");
    return false;
}

bool Agent::takeInstanceLock()
{
    if (lockTaken_)
        return true;
    const std::string lockName = instanceLockName_.empty() ? programName_ : instanceLockName_;
    if (!instanceLock_.rename(lockName) || !instanceLock_.enforce()) {
        logSetup_.unit->fatal(MSG_ALREADY_RUNNING, ParamStream() << programName_);
        uint32_t holder = 0;
        if (Platform::namedMutexHolder(lockName, holder))
            setFailure("another " + programName_ + " is already running on this host (PID " + std::to_string(holder) +
                       "); stop it first (kill " + std::to_string(holder) + ", or 'ravlonctl send DIE')");
        else
            setFailure("another " + programName_ + " is already running on this host; stop it first "
                       "('ravlonctl send DIE')");
        return false;
    }
    lockTaken_ = true;
    return true;
}

bool Agent::attachConfiguration()
{
    if (logSetup_.centre.isNull())
        return false;
    // The old reader stays until the new one is in place: the logging
    // set-up points at it.
    SmartPointer<ConfReader> reader = readerToReuse_;
    if (reader.isNull())
        reader = SmartPointer<ConfReader>(
            new ConfReader(LoggerSink::forModule(logSetup_.centre, ConfReader::MODULE_CONFIGURATION)));
    logSetup_.configuration = reader.get();
    configuration_ = reader;
    if (unit_.isNull()) {
        centre_ = logSetup_.centre;
        unit_ = SmartPointer<LoggerUnit>(new LoggerUnit(centre_, MODULE_AGENT));
        if (unit_.isNull())
            return false;
    }
    LogFile::setLoggerUnit(unit_);
    return true;
}

bool Agent::readConfiguration()
{
    std::string directory;
    if (getResource("ConfigurationDir", directory) != RESOURCE_OK) {
        debug(1, "Could not get configuration dir from system.");
        setFailure("the resource ConfigurationDir is not in the resource store " + resourceStoreLocation() +
                   "; run 'ravlonctl setup' to make an installation, or set TELVAR_REGISTRY_ROOT to the store of one");
        return false;
    }
    StringUtil::normaliseSeparators(directory);
    StringUtil::appendSeparator(directory);
    configurationDirectory_ = directory;
    if (!commandLineFileTaken_) {
        commandLineFileTaken_ = true;
        if (!options_.empty() && options_.front().first == "c") {
            commandLineFile_ = options_.front().second;
            options_.erase(options_.begin());
        }
    }
    // A file named on the command line stays in use on every restart.
    const std::string prefix = StringUtil::toLowerCopy(programName_);
    configurationFile_ = commandLineFile_.empty() ? directory + prefix + ".conf" : commandLineFile_;
    if (readerToReuse_.isNull())
        configuration_->readFile(configurationFile_);
    return true;
}

bool Agent::loadPrimeTime()
{
    const std::string prefix = StringUtil::toLowerCopy(programName_);
    std::string primeTimeFile;
    if (configuration_->getFileName(prefix + ".primetime-file", primeTimeFile) != ConfReader::CONF_OK)
        primeTimeFile = configurationDirectory_ + "primetime";
    StringUtil::normaliseSeparators(primeTimeFile);
    if (!fileExists(primeTimeFile) || facts_.loadPrimeTime(primeTimeFile))
        return true;
    if (!unit_.isNull())
        unit_->fatal(MSG_PRIME_TIME, ParamStream() << "GENERAL");
    setFailure("the prime-time file " + primeTimeFile + " cannot be read");
    return false;
}

bool Agent::prepareWorkers()
{
    try {
        facts_.gatherHostFacts();
    } catch (...) {
        debug(3, "Agent::configure: Exception occured in getStaticInfo. Check status of Workstation service.");
    }
    g_agentThreadId = Platform::currentThreadId();
    if (!DataDelivery::instance().prepareDataDelivery(*this))
        return false;
    std::string temporary;
    if (configuration_->getDirName("Telvar.directories.temp", temporary) != ConfReader::CONF_OK) {
        setFailure("Telvar.directories.temp is missing from " + configurationFile_);
        return false;
    }
    std::lock_guard<std::mutex> guard(g_temporaryLock);
    g_temporaryDirectory = temporary;
    return true;
}

void Agent::loadLogMessages()
{
    debug(1, "Loading log messages...");
    SmartPointer<LogCommons> catalogue(new LogCommons());
    catalogue_ = catalogue;
    std::string base;
    if (configuration_.isNull() ||
        configuration_->getDirName("Telvar.directories.conf", base) != ConfReader::CONF_OK) {
        if (!unit_.isNull())
            unit_->error(MSG_KEY_MISSING, ParamStream() << "Telvar.directories.conf");
        return;
    }
    StringUtil::appendSeparator(base);
    const std::string selection =
        StringUtil::toLowerCopy(moduleName(logSetup_.moduleId)) + ",configuration,agent,taskwarden";
    LogCommons::LoadResult result = catalogue->load(base, selection);
    if (!result.completed || !result.error.empty()) {
        if (!unit_.isNull())
            unit_->error(MSG_CATALOGUES, ParamStream() << result.error);
        return;
    }
    if (result.loaded.empty())
        debug(1, "No log messages were loaded.");
    for (size_t i = 0; i < result.loaded.size(); ++i) {
        const size_t count = i < result.counts.size() ? result.counts[i] : 0;
        debug(2, "Loaded %i messages for module \"%s\".",
              ParamStream() << static_cast<unsigned long>(count) << result.loaded[i]);
    }
    for (std::string skipped : result.skipped) {
        // The list names files; the text names their module key.
        StringUtil::removeExtension(skipped);
        debug(2, "Messages for module \"%s\" were rejected.", skipped);
    }
}

bool Agent::createIPCServer(const std::string& mailslotName, IPCServer::Callback callback, IPCServer::Triage triage)
{
    try {
        ipcServer_ = SmartPointer<IPCServer>(new IPCServer(mailslotName, LoggerSink::forModule(centre_, IPCServer::MODULE_IPC),
                                                           std::move(callback), ipcTiming_, std::move(triage)));
        ipcFailure_.clear();
    } catch (Exception& e) {
        ipcFailure_ = e.message();
        e.addTrace(SOURCE, __LINE__);
        debug(1, e.fullText());
        ipcServer_.reset();
    } catch (...) {
        ipcFailure_ = "the command listener could not be created";
        ipcServer_.reset();
    }
    return !ipcServer_.isNull();
}

} // namespace Telvar
