#pragma once

#include <cstdint>
#include <string>

#include "agent/Agent.h"
#include "ravlon/Sampling.h"

namespace Telvar {

// The collector: the agent framework plus its main control, its own
// configuration, its commands and the recovery of a crashed run's files.
class Ravlon : public Agent {
public:
    static constexpr const char* PROGRAM_NAME = "Ravlon";
    static constexpr const char* MAILSLOT = "Telvar_Ravlon";

    // commandLine is "dummy" followed directly by the program's arguments.
    explicit Ravlon(const std::string& commandLine);
    ~Ravlon() override;

    void run() override;
    bool restart() override;
    bool configureCollector() override;

    // The command callback of the IPC server.
    void onCommand(const std::string& type, const std::string& identifier,
                   const std::string& payload, const std::string& replyTo);
    // Delivers what a crashed run left in the working directory.
    void recoverLeftovers();
    // Thread routine; the parameter is the Ravlon object.
    static int32_t statusMonitor(void* parameter);

    bool degradeSetting() const { return degradeSetting_; }
    Sampling::DataFileEntries& dataFileEntries() { return dataFileEntries_; }

private:
    bool degradeSetting_ = false;
    Sampling::DataFileEntries dataFileEntries_;
};

} // namespace Telvar
