#pragma once

#include <cstdint>

namespace Telvar {

// Status values of a job; callers compare the numbers.
enum JobStatus : int32_t {
    JOB_ENDED = 11,        // ended by itself
    JOB_KILLED = 12,       // terminated by force
    JOB_STOPPED = 13,      // ended after the quit message, within the wait
    JOB_NOT_STARTED = 14,  // never started, or no valid thread
    JOB_RUNNING = 17,      // alive
    JOB_EXIT_CODE = 25     // exitCode only: ended, code delivered
};

class JobInstance {
public:
    virtual bool execute() = 0;
    virtual uint32_t suspend() = 0;
    virtual uint32_t resume() = 0;
    virtual bool stop() = 0;
    virtual JobStatus status() = 0;
    virtual int32_t exitCode(int32_t& code) = 0;
    virtual ~JobInstance();
};

} // namespace Telvar
