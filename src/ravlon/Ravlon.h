#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "agent/Agent.h"
#include "common/RepeatLimiter.h"
#include "platform/Thread.h"
#include "ravlon/Sampling.h"

namespace Telvar {

class LoggerUnit;
class ParamStream;

// The collector: the agent framework plus its main control, its own
// configuration, its commands and the recovery of a crashed run's files.
class Ravlon : public Agent {
public:
    static constexpr const char* PROGRAM_NAME = "Ravlon";
    static constexpr const char* MAILSLOT = "Telvar_Ravlon";
    static constexpr const char* JOB_RESOURCE = "JOB_Ravlon";
    // Outcome of the last reload: empty, "ok TIME" or "failed TIME: why".
    static constexpr const char* RELOAD_RESOURCE = "RELOAD_Ravlon";
    static constexpr const char* SOURCE = "programs/collectors/agent/Win32/Ravlon/Ravlon";
    static constexpr int32_t PROCESS_INFO_LINE = 1294;
    static constexpr int32_t DUMP_LINE = 1315;
    static constexpr int32_t STATISTICS_LINE = 1320;

    // Numbered messages of the Ravlon module sent here.
    static constexpr int32_t MSG_RUNNING = 2;        // notice
    static constexpr int32_t MSG_REPLY_FAILED = 12;  // error: exception code text
    static constexpr int32_t MSG_ENDING = 30;        // fatal or error: why the program ends early
    static constexpr int32_t MSG_RELOAD_REFUSED = 34; // error: "file:line: reason"
    static constexpr int32_t MSG_NOTHING_COLLECTED = 36; // error: the configuration file
    static constexpr int32_t MSG_NO_MAILSLOT = 41;   // error: why the command mailslot is missing

    static constexpr uint32_t CHECK_SECONDS = 60;
    static constexpr int MONITOR_SLEEP_MS = 500;
    // How long the end of main control waits for statusMonitor (it may be
    // in the middle of a restart) before it is ended by force.
    static constexpr int MONITOR_END_WAIT_MS = 15000;
    // A command mailslot lost at a reconfigure is tried again this often.
    static constexpr int64_t MAILSLOT_RETRY_MS = 5000;

    // How main control ended; a failed configuration and a command mailslot
    // that cannot be had exit 255, every other way 0.
    enum class Outcome {
        NOT_RUN,
        COMPLETED,           // served, stopped, delivered
        NO_IPC_SERVER,       // the command mailslot could not be made
        THREADS_NOT_STARTED,
        NO_MONITOR,          // statusMonitor could not be created
        STOP_FAILED,         // threads did not end: nothing delivered at the end
    };

    // commandLine is "dummy" followed directly by the program's arguments.
    explicit Ravlon(const std::string& commandLine);
    ~Ravlon() override;

    void run() override;
    bool restart() override;
    bool configureCollector() override;
    bool judgeConfiguration() override;

    // The command callback of the IPC server.
    void onCommand(const std::string& type, const std::string& identifier,
                   const std::string& payload, const std::string& replyTo);
    // A command this collector carries out (handled ahead of the rest).
    static bool isKnownCommand(const IPCFields& fields);
    // count messages that are no such command, first the first of them:
    // counted, and logged once a minute.
    void onJunk(const IPCFields& first, uint64_t count);
    // Delivers what a crashed run left in the working directory.
    void recoverLeftovers();
    // Thread routine; the parameter is the Ravlon object.
    static int32_t statusMonitor(void* parameter);

    bool degradeSetting() const { return degradeSetting_; }
    Sampling::DataFileEntries& dataFileEntries() { return dataFileEntries_; }

    Outcome outcome() const { return outcome_.load(); }
    static const char* outcomeText(Outcome outcome);
    // The outcome's text with what is known of its cause.
    std::string outcomeMessage() const;

    // The thread that runs main control; statusMonitor posts its quit there.
    // run sets it; whoever runs statusMonitor without run names its own.
    static uint32_t mainThreadId() { return mainThreadId_.load(); }
    static void setMainThreadId(uint32_t id) { mainThreadId_ = id; }
    // Processor count kept by run (at least 1).
    static int32_t processorCount() { return processorCount_.load(); }

private:
    const SmartPointer<LoggerUnit>& unit() const { return programUnit(); }
    void debug(int32_t level, const std::string& text) const;
    void debug(int32_t level, const std::string& templ, const std::string& parameter) const;
    void debug(int32_t level, const std::string& templ, const ParamStream& parameters) const;
    bool startIPCServer();
    // Without a listener (lost at a reconfigure): tries again, and says so
    // once a minute.
    void retryIPCServer();
    bool sendReply(const std::string& identifier, const std::string& payload, const std::string& replyTo,
                   int32_t line);
    bool startMonitor();
    // Logs a refused reload and keeps its outcome for the status command;
    // an empty problem records a reload that worked.
    void reportReload(const std::string& problem);
    // Drops the threads, pending deliveries and resources of the last configure.
    void clearCollection();
    void messageLoop();
    void endMonitor();
    void monitorLoop();

    bool degradeSetting_ = false;
    Sampling::DataFileEntries dataFileEntries_;
    std::atomic<Outcome> outcome_{Outcome::NOT_RUN};
    Platform::ThreadHandle monitor_ = Platform::INVALID_THREAD_HANDLE;
    RepeatLimiter unknownCommands_;
    RepeatLimiter unknownTypes_;
    // Only statusMonitor's: the command mailslot could not be had again
    // after a reconfigure.
    bool mailslotLost_ = false;
    int64_t nextMailslotTry_ = 0;
    int64_t nextMailslotReport_ = 0;

    static std::atomic<uint32_t> mainThreadId_;
    static std::atomic<int32_t> processorCount_;
};

} // namespace Telvar
