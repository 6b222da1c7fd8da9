#include "common/ThreadInstance.h"

#include "common/DateTime.h"
#include "common/Exception.h"

namespace Telvar {

namespace {

std::string osErrorText(uint32_t error)
{
    // Stored logs and the core program compare this text: it names Win32 on
    // every platform.
    return "Win32 error code is : " + std::to_string(error);
}

} // namespace

ThreadInstance::ThreadInstance(Routine routine, void* parameter)
    : status_(JOB_NOT_STARTED),
      handle_(Platform::INVALID_THREAD_HANDLE),
      threadId_(0),
      routine_(routine),
      parameter_(parameter)
{
}

ThreadInstance::~ThreadInstance()
{
    bool active = false;
    int32_t code = 0;
    if (Platform::threadExitCode(handle_, active, code) != Platform::ERR_SUCCESS)
        return;
    if (active)
        Platform::terminateThread(handle_, 0);
    Platform::closeThreadHandle(handle_);
}

bool ThreadInstance::execute()
{
    bool active = false;
    int32_t code = 0;
    if (handle_ != Platform::INVALID_THREAD_HANDLE &&
        Platform::threadExitCode(handle_, active, code) == Platform::ERR_SUCCESS) {
        // A second thread would orphan the first one's handle.
        if (active)
            throw JobException(JobException::JB_STILL_RUNNING, "", TELVAR_HERE);
        Platform::closeThreadHandle(handle_);
    }
    handle_ = Platform::INVALID_THREAD_HANDLE;

    Platform::ThreadHandle handle = Platform::INVALID_THREAD_HANDLE;
    Platform::ThreadId id = 0;
    uint32_t error = Platform::createThread(routine_, parameter_, handle, id);
    if (error != Platform::ERR_SUCCESS)
        throw JobException(JobException::JB_UNABLE_TO_START, osErrorText(error), TELVAR_HERE);
    handle_ = handle;
    threadId_ = id;
    status_ = JOB_RUNNING;
    // Only a help for people looking at the process: a failure changes nothing.
    if (!name_.empty())
        Platform::setThreadName(handle_, name_.c_str());
    return true;
}

JobStatus ThreadInstance::status()
{
    if (status_ == JOB_KILLED || status_ == JOB_STOPPED)
        return static_cast<JobStatus>(status_);
    bool active = false;
    int32_t code = 0;
    uint32_t error = Platform::threadExitCode(handle_, active, code);
    if (error == Platform::ERR_SUCCESS)
        return active ? JOB_RUNNING : JOB_ENDED;
    if (error == Platform::ERR_INVALID_HANDLE)
        return JOB_NOT_STARTED;
    throw JobException(JobException::JB_UNKNOWN_ERROR, osErrorText(error), TELVAR_HERE);
}

uint32_t ThreadInstance::suspend()
{
    bool active = false;
    int32_t code = 0;
    uint32_t error = Platform::threadExitCode(handle_, active, code);
    if (error == Platform::ERR_SUCCESS) {
        if (!active)
            return 0;
        uint32_t previous = 0;
        error = Platform::suspendThread(handle_, previous);
        if (error == Platform::ERR_SUCCESS)
            return previous + 1;
    }
    if (error == Platform::ERR_INVALID_HANDLE)
        throw JobException(JobException::JB_NEVER_STARTED, "", TELVAR_HERE);
    throw JobException(JobException::JB_UNKNOWN_ERROR, osErrorText(error), TELVAR_HERE);
}

uint32_t ThreadInstance::resume()
{
    uint32_t previous = 0;
    uint32_t error = Platform::resumeThread(handle_, previous);
    if (error == Platform::ERR_SUCCESS)
        return previous;
    if (error == Platform::ERR_INVALID_HANDLE)
        throw JobException(JobException::JB_NEVER_STARTED, "", TELVAR_HERE);
    throw JobException(JobException::JB_UNKNOWN_ERROR, osErrorText(error), TELVAR_HERE);
}

bool ThreadInstance::stop() { return stop(false, -1, DEFAULT_STOP_WAIT_MS); }

bool ThreadInstance::stop(bool force, int32_t exitCode, uint32_t waitMs)
{
    if (status() != JOB_RUNNING)
        return false;
    bool posted = false;
    if (!force)
        posted = Platform::postThreadMessage(threadId_, Platform::MSG_DESTROY, exitCode, 0) ==
                 Platform::ERR_SUCCESS;
    if (posted) {
        uint32_t waited = 0;
        while (status() == JOB_RUNNING && waited < waitMs) {
            DateTime::sleepMilliseconds(STOP_POLL_MS);
            waited += STOP_POLL_MS;
        }
        if (status() != JOB_RUNNING) {
            status_ = JOB_STOPPED;
            return true;
        }
    }
    uint32_t error = Platform::terminateThread(handle_, exitCode);
    if (error == Platform::ERR_SUCCESS) {
        status_ = JOB_KILLED;
        return true;
    }
    if (error == Platform::ERR_INVALID_HANDLE)
        throw JobException(JobException::JB_NEVER_STARTED, "", TELVAR_HERE);
    throw JobException(JobException::JB_UNABLE_TO_TERMINATE, osErrorText(error), TELVAR_HERE);
}

int32_t ThreadInstance::exitCode(int32_t& code)
{
    bool active = false;
    int32_t value = 0;
    uint32_t error = Platform::threadExitCode(handle_, active, value);
    if (error == Platform::ERR_SUCCESS) {
        if (active)
            return JOB_RUNNING;
        code = value;
        return JOB_EXIT_CODE;
    }
    if (error == Platform::ERR_INVALID_HANDLE)
        return JOB_NOT_STARTED;
    return static_cast<int32_t>(1000 + error);
}

} // namespace Telvar
