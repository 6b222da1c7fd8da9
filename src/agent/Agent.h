#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <string>

#include "agent/AgentFacts.h"
#include "agent/CommandLine.h"
#include "agent/ThreadRecord.h"
#include "common/DateTime.h"
#include "common/IPCServer.h"
#include "common/Monopoly.h"
#include "common/SmartPointer.h"
#include "common/Wakeup.h"
#include "logger/LogSetup.h"

namespace Telvar {

class ConfReader;
class Exception;
class LogCommons;
class ParamStream;
class LoggerCentre;
class LoggerUnit;

// Base of collector programs: keeps the registry of worker threads and
// supervises them (start, liveness checks, restart of dead or silent
// threads, shutdown on a fatal report, stop and verification at the end).
class Agent {
public:
    // Numbered messages of the Agent module.
    static constexpr int32_t MSG_STOP_FAILED = 7;        // fatal: name, code
    static constexpr int32_t MSG_START_FAILED = 8;       // error: name, code
    static constexpr int32_t MSG_NOT_ALL_STARTED = 11;   // fatal
    static constexpr int32_t MSG_NOT_ALL_ENDED = 12;     // fatal
    static constexpr int32_t MSG_PRIME_TIME = 5;         // fatal: "GENERAL"
    static constexpr int32_t MSG_CATALOGUES = 6;         // error: load error text
    static constexpr int32_t MSG_KEY_MISSING = 9;        // error: key
    static constexpr int32_t MSG_ALREADY_RUNNING = 14;   // fatal: program name (program's unit)

    // Pause between the stop request and the verification of the threads.
    static constexpr uint32_t STOP_GRACE_MS = 750;

    static constexpr const char* SOURCE = "programs/collectors/agent/Win32/Agent";

    Agent();
    // The program path and its arguments; the options are parsed at once.
    explicit Agent(const std::string& commandLine);
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;
    virtual ~Agent();

    // The program's main control.
    virtual void run() = 0;
    // Stops and verifies all threads, configures again and restarts them.
    virtual bool restart();
    // The collector's own configuration, last step of configure.
    virtual bool configureCollector() = 0;
    // Judges the configuration just read, before anything is set up from
    // it; false refuses it (with failure() set). The base accepts all.
    virtual bool judgeConfiguration() { return true; }

    // Why the last configure failed, in the user's words with the remedy
    // where one is known; empty when it did not fail or gave no reason.
    const std::string& failure() const { return failure_; }
    void setFailure(const std::string& text) { if (failure_.empty()) failure_ = text; }

    // Appends a copy of the record; the address stays valid until the
    // registry is cleared (restart, destruction).
    ThreadRecord* addThread(const ThreadRecord& record);

    // Thread side, once per pass of a supervised thread's work loop.
    void reportAlive(std::atomic<int32_t>& state, bool fatal) const;
    // True when a supervised thread is to leave its loop.
    bool shouldQuit(const std::atomic<int32_t>& state) const;
    void logThreadStatus(const std::string& name, bool fatal) const;

    bool startThreads();
    void stopThreads();
    bool verifyStoppedThreads();
    bool stopAndVerifyThreads();
    bool monitorThreads();
    bool checkThreads();

    bool createIPCServer(const std::string& mailslotName, IPCServer::Callback callback,
                         IPCServer::Triage triage = IPCServer::Triage());
    const SmartPointer<IPCServer>& ipcServer() const { return ipcServer_; }
    // Why the last createIPCServer failed ("the name ... is in use by PID n").
    const std::string& ipcFailure() const { return ipcFailure_; }

    // The agent-level start-up sequence, then configureCollector.
    bool configure();
    // configure on a reader already read: the configuration that ran before
    // a reload that failed once its threads were stopped.
    bool configureFrom(const SmartPointer<ConfReader>& reader);
    const SmartPointer<ConfReader>& configurationReader() const { return configuration_; }
    // Loads the message catalogues named for this program.
    void loadLogMessages();

    const std::string& programPath() const { return programPath_; }
    const std::string& argumentText() const { return argumentText_; }
    const CommandLine::Options& options() const { return options_; }
    const std::string& programName() const { return programName_; }
    // Prefix of the program's resources and keys; set by the collector.
    void setProgramName(const std::string& name) { programName_ = name; }
    // The single-instance lock takes the program name unless another name is
    // set before the first configure (tests run side by side).
    void setInstanceLockName(const std::string& name) { instanceLockName_ = name; }
    const Monopoly& instanceLock() const { return instanceLock_; }

    LogSetup& logSetup() { return logSetup_; }
    const LogSetup& logSetup() const { return logSetup_; }
    // The configuration read by the last configure; null before.
    const ConfReader* configuration() const { return configuration_.get(); }
    // The program's own logger unit (module of the program name).
    const SmartPointer<LoggerUnit>& programUnit() const { return logSetup_.unit; }
    const SmartPointer<LogCommons>& catalogue() const { return catalogue_; }
    const std::string& configurationDirectory() const { return configurationDirectory_; }
    // The file the last configure read; a "-c" file is kept for restarts.
    const std::string& configurationFile() const { return configurationFile_; }

    // Thread that ran the last configure.
    static uint32_t agentThreadId();
    // "Telvar.directories.temp" of the last configure.
    static std::string temporaryDirectory();

    // Process-wide flags, polled by every thread.
    bool quitRequested() const { return quit_.load(); }
    // Also wakes every sleeping thread, so it sees the request at once.
    void requestQuit();
    bool reconfigureRequested() const { return reconfigure_.load(); }
    // Also wakes the supervisor's loop.
    void requestReconfigure();
    // The supervisor's loop sleeps on it between checks.
    Wakeup& supervisorWakeup() { return supervisorWakeup_; }
    void clearReconfigureRequest() { reconfigure_ = false; }
    // True when the next monitorThreads pass is an initiating one.
    bool initiatingPass() const { return initiating_.load(); }

    std::list<ThreadRecord>& threads() { return threads_; }

    // Host facts and prime time that label every record.
    AgentFacts& facts() { return facts_; }

    // The logger centre the Agent unit and the IPC server log through.
    void setLoggerCentre(const SmartPointer<LoggerCentre>& centre);
    const SmartPointer<LoggerUnit>& agentUnit() const { return unit_; }

    void setIPCServerTiming(const IPCServerTiming& timing) { ipcTiming_ = timing; }

protected:
    bool monitorThread(ThreadRecord& entry, bool initiating);
    bool checkThread(ThreadRecord& entry);
    // Drops every entry; a thread still running is terminated first, as it
    // holds the address of its entry.
    void clearThreads();

private:
    void debug(int32_t level, const std::string& text) const;
    void debug(int32_t level, const std::string& templ, const std::string& name) const;
    void debug(int32_t level, const std::string& templ, const ParamStream& params) const;
    void reportFailure(int32_t severity, int32_t messageId, const std::string& name, Exception* e,
                       int32_t line) const;
    bool shutDownOnFatal(ThreadRecord& entry);
    // The steps of configure, in order; each false ends it.
    bool configureAgent();
    bool startLogging();
    bool takeInstanceLock();
    bool attachConfiguration();
    bool readConfiguration();
    bool loadPrimeTime();
    bool prepareWorkers();

    std::list<ThreadRecord> threads_;
    std::atomic<bool> quit_{false};
    std::atomic<bool> reconfigure_{false};
    Wakeup supervisorWakeup_;
    std::atomic<bool> initiating_{true};
    AgentFacts facts_;
    SmartPointer<IPCServer> ipcServer_;
    IPCServerTiming ipcTiming_;
    std::string ipcFailure_;
    SmartPointer<LoggerCentre> centre_;
    SmartPointer<LoggerUnit> unit_;

    std::string programPath_;
    std::string argumentText_;
    CommandLine::Options options_;
    std::string programName_;
    std::string instanceLockName_;
    Monopoly instanceLock_;
    bool lockTaken_ = false;
    LogSetup logSetup_;
    SmartPointer<ConfReader> configuration_;
    // Set only during configureFrom: taken instead of reading the file.
    SmartPointer<ConfReader> readerToReuse_;
    SmartPointer<LogCommons> catalogue_;
    std::string configurationDirectory_;
    std::string configurationFile_;
    std::string failure_;
    // The "-c" value, taken from the options by the first configure.
    std::string commandLineFile_;
    bool commandLineFileTaken_ = false;
};

} // namespace Telvar
