#pragma once

#include <cstdint>
#include <string>

#include "common/JobInstance.h"
#include "platform/Thread.h"

namespace Telvar {

// Owns one operating-system thread running a start routine on a parameter
// (the parameter stays the caller's). Driven by one controlling thread at a
// time; the managed thread never touches its ThreadInstance.
class ThreadInstance : public JobInstance {
public:
    using Routine = Platform::ThreadRoutine;

    static constexpr uint32_t DEFAULT_STOP_WAIT_MS = 1000;
    static constexpr uint32_t STOP_POLL_MS = 50;

    ThreadInstance(Routine routine, void* parameter);
    ThreadInstance(const ThreadInstance&) = delete;
    ThreadInstance& operator=(const ThreadInstance&) = delete;

    bool execute() override;
    uint32_t suspend() override;
    uint32_t resume() override;
    bool stop() override;  // stop(false, -1, DEFAULT_STOP_WAIT_MS)
    JobStatus status() override;
    int32_t exitCode(int32_t& code) override;
    ~ThreadInstance() override;

    // Asks the thread to quit (unless force), waits up to waitMs in steps of
    // STOP_POLL_MS, then terminates it with exitCode.
    bool stop(bool force, int32_t exitCode, uint32_t waitMs);

    uint32_t threadId() const { return threadId_; }

    // The name the OS shows for the thread from the next execute() on.
    void setName(const std::string& name) { name_ = name; }

private:
    int32_t status_;
    Platform::ThreadHandle handle_;
    uint32_t threadId_;
    Routine routine_;
    void* parameter_;
    std::string name_;
};

} // namespace Telvar
