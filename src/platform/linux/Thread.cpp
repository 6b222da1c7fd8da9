#include "platform/Thread.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <csetjmp>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Telvar {
namespace Platform {

namespace {

constexpr uint32_t ERR_SIGNAL_REFUSED = 156;
constexpr uint32_t ERR_NOT_ENOUGH_QUOTA = 1816;
constexpr uint32_t MAX_SUSPEND_COUNT = 127;
constexpr size_t MAX_QUEUED_MESSAGES = 10000;
// How long terminateThread keeps trying the forced end before giving up.
constexpr int FORCE_TRIES = 150;
constexpr auto FORCE_STEP = std::chrono::milliseconds(20);

std::atomic<uint32_t> terminateGraceMs{1000};
std::atomic<size_t> liveRecords{0};

// Thrown at a wait point of a thread that is being terminated; unwinds to
// the thread's entry so that RAII guards release what they hold. Not an
// std::exception, so ordinary handlers let it pass.
struct ThreadTerminated {};

ThreadId osThreadId() { return static_cast<ThreadId>(::syscall(SYS_gettid)); }

struct ThreadRecord {
    ThreadRecord() { ++liveRecords; }
    ~ThreadRecord() { --liveRecords; }
    ThreadRecord(const ThreadRecord&) = delete;
    ThreadRecord& operator=(const ThreadRecord&) = delete;

    std::mutex mutex;
    std::condition_variable changed;

    bool ours = false;  // created by createThread (can be suspended and ended)
    ThreadRoutine routine = nullptr;
    void* parameter = nullptr;
    pthread_t pthread{};
    ThreadId id = 0;
    bool started = false;
    bool finished = false;
    int32_t exitCode = 0;
    uint32_t suspendCount = 0;
    bool terminateRequested = false;
    int32_t terminateCode = 0;
    // A suspension or an end asked for (set under mutex): a checkpoint with
    // nothing asked costs no lock and no signal-mask calls.
    std::atomic<bool> requestPending{false};
    bool hasQueue = false;
    std::deque<ThreadMessage> queue;

    // Forced end: the signal handler jumps back to the entry.
    std::atomic<bool> forceRequested{false};
    std::atomic<bool> inRoutine{false};
    sigjmp_buf entry;
};

using RecordPtr = std::shared_ptr<ThreadRecord>;

// Lock order: registry before any record.
struct Registry {
    std::mutex mutex;
    std::map<ThreadHandle, RecordPtr> handles;
    std::map<ThreadId, RecordPtr> live;  // running threads that can be posted to
    ThreadHandle nextHandle = 1;
};

Registry& registry()
{
    // Never destroyed: threads may still look at it while the process exits.
    static Registry* instance = new Registry;
    return *instance;
}

// Plain pointer so that the signal handler may read it.
thread_local ThreadRecord* currentRecord = nullptr;

// Record of a thread not created here, made when it first looks at its queue.
struct ForeignRecord {
    RecordPtr record;
    ~ForeignRecord()
    {
        if (!record)
            return;
        Registry& reg = registry();
        std::lock_guard<std::mutex> regLock(reg.mutex);
        auto it = reg.live.find(record->id);
        if (it != reg.live.end() && it->second == record)
            reg.live.erase(it);
        std::lock_guard<std::mutex> lock(record->mutex);
        record->finished = true;
        record->hasQueue = false;
        record->queue.clear();
        currentRecord = nullptr;
    }
};
thread_local ForeignRecord foreignRecord;

int forceSignal() { return SIGRTMIN + 5; }

void forceHandler(int)
{
    ThreadRecord* record = currentRecord;
    if (record != nullptr && record->ours && record->forceRequested.load() && record->inRoutine.load())
        siglongjmp(record->entry, 1);
}

void installForceHandler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = forceHandler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(forceSignal(), &action, nullptr);
    });
}

// Keeps the forced end out of the platform's own critical sections; a
// pending request takes effect when the guard ends.
class ForceBlock {
public:
    ForceBlock()
    {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, forceSignal());
        pthread_sigmask(SIG_BLOCK, &set, &saved_);
    }
    ~ForceBlock() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    ForceBlock(const ForceBlock&) = delete;
    ForceBlock& operator=(const ForceBlock&) = delete;

private:
    sigset_t saved_;
};

RecordPtr findHandle(ThreadHandle handle)
{
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto it = reg.handles.find(handle);
    return it == reg.handles.end() ? RecordPtr() : it->second;
}

// The calling thread's record; a thread not created here gets one when
// create is set (only its queue is used).
ThreadRecord* ownRecord(bool create)
{
    if (currentRecord != nullptr || !create)
        return currentRecord;
    RecordPtr record = std::make_shared<ThreadRecord>();
    record->id = osThreadId();
    record->pthread = pthread_self();
    record->started = true;
    {
        Registry& reg = registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        reg.live[record->id] = record;
    }
    foreignRecord.record = record;
    currentRecord = record.get();
    return currentRecord;
}

// Suspension and termination take effect here. Called with the record lock.
void honourRequests(ThreadRecord& record, std::unique_lock<std::mutex>& lock)
{
    if (!record.ours)
        return;
    for (;;) {
        if (record.terminateRequested) {
            // Never throw while an exception is already on its way out.
            if (std::uncaught_exceptions() > 0)
                return;
            lock.unlock();
            throw ThreadTerminated();
        }
        if (record.suspendCount == 0)
            return;
        record.changed.wait(lock);
    }
}

int32_t runRoutine(ThreadRecord* record)
{
    // No objects with destructors live in this frame: a forced end jumps
    // back into it.
    if (sigsetjmp(record->entry, 1) != 0) {
        record->inRoutine.store(false);
        return record->terminateCode;
    }
    record->inRoutine.store(true);
    int32_t code = -1;
    try {
        code = record->routine(record->parameter);
    } catch (const ThreadTerminated&) {
        code = record->terminateCode;
    } catch (...) {
        // An escaping exception ends this thread only, not the process.
        code = -1;
    }
    record->inRoutine.store(false);
    return code;
}

void* threadEntry(void* argument)
{
    RecordPtr record = std::move(*static_cast<RecordPtr*>(argument));
    delete static_cast<RecordPtr*>(argument);
    currentRecord = record.get();
    {
        Registry& reg = registry();
        std::lock_guard<std::mutex> regLock(reg.mutex);
        std::lock_guard<std::mutex> lock(record->mutex);
        record->id = osThreadId();
        record->pthread = pthread_self();
        record->started = true;
        reg.live[record->id] = record;
        record->changed.notify_all();
    }

    int32_t code = runRoutine(record.get());

    // From here on a forced end has nothing to jump back to.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, forceSignal());
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    {
        Registry& reg = registry();
        std::lock_guard<std::mutex> regLock(reg.mutex);
        auto it = reg.live.find(record->id);
        if (it != reg.live.end() && it->second == record)
            reg.live.erase(it);
        std::lock_guard<std::mutex> lock(record->mutex);
        // A requested end wins over whatever the routine returned meanwhile.
        record->exitCode = record->terminateRequested ? record->terminateCode : code;
        record->finished = true;
        record->hasQueue = false;
        record->queue.clear();
        record->changed.notify_all();
    }
    currentRecord = nullptr;
    return nullptr;
}

uint32_t fromErrno(int error)
{
    switch (error) {
    case EAGAIN:
    case ENOMEM:
        return ERR_NOT_ENOUGH_MEMORY;
    case EPERM:
        return ERR_ACCESS_DENIED;
    case EINVAL:
        return ERR_INVALID_PARAMETER;
    default:
        return ERR_GEN_FAILURE;
    }
}

// Waits on the calling thread's record until pred holds, the deadline passes
// (when timed) or a request must be honoured. Returns pred().
template <class Pred>
bool waitOnRecord(ThreadRecord& record, std::unique_lock<std::mutex>& lock, bool timed,
                  std::chrono::steady_clock::time_point deadline, Pred pred)
{
    for (;;) {
        honourRequests(record, lock);
        if (pred())
            return true;
        if (timed) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            record.changed.wait_until(lock, deadline);
        } else {
            record.changed.wait(lock);
        }
    }
}

} // namespace

uint32_t createThread(ThreadRoutine routine, void* parameter, ThreadHandle& handle, ThreadId& id)
{
    if (routine == nullptr)
        return ERR_INVALID_PARAMETER;
    installForceHandler();
    RecordPtr record = std::make_shared<ThreadRecord>();
    record->ours = true;
    record->routine = routine;
    record->parameter = parameter;

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    auto* argument = new RecordPtr(record);
    pthread_t thread;
    int rc = pthread_create(&thread, &attributes, threadEntry, argument);
    pthread_attr_destroy(&attributes);
    if (rc != 0) {
        delete argument;
        return fromErrno(rc);
    }
    {
        std::unique_lock<std::mutex> lock(record->mutex);
        record->changed.wait(lock, [&] { return record->started; });
        id = record->id;
    }
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    handle = reg.nextHandle++;
    reg.handles[handle] = record;
    return ERR_SUCCESS;
}

uint32_t threadExitCode(ThreadHandle handle, bool& active, int32_t& exitCode)
{
    RecordPtr record = findHandle(handle);
    if (!record)
        return ERR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(record->mutex);
    active = !record->finished;
    if (!active)
        exitCode = record->exitCode;
    return ERR_SUCCESS;
}

uint32_t suspendThread(ThreadHandle handle, uint32_t& previousCount)
{
    RecordPtr record = findHandle(handle);
    if (!record)
        return ERR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(record->mutex);
    if (record->suspendCount >= MAX_SUSPEND_COUNT)
        return ERR_SIGNAL_REFUSED;
    previousCount = record->suspendCount++;
    record->requestPending.store(true);
    return ERR_SUCCESS;
}

uint32_t resumeThread(ThreadHandle handle, uint32_t& previousCount)
{
    RecordPtr record = findHandle(handle);
    if (!record)
        return ERR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(record->mutex);
    previousCount = record->suspendCount;
    if (record->suspendCount > 0 && --record->suspendCount == 0) {
        record->requestPending.store(record->terminateRequested);
        record->changed.notify_all();
    }
    return ERR_SUCCESS;
}

uint32_t terminateThread(ThreadHandle handle, int32_t exitCode)
{
    RecordPtr record = findHandle(handle);
    if (!record)
        return ERR_INVALID_HANDLE;
    std::unique_lock<std::mutex> lock(record->mutex);
    if (record->finished)
        return ERR_SUCCESS;
    if (!record->terminateRequested) {
        record->terminateRequested = true;
        record->terminateCode = exitCode;
        record->requestPending.store(true);
    }
    record->changed.notify_all();
    if (record.get() == currentRecord) {
        // Ending oneself: unwind right here.
        lock.unlock();
        throw ThreadTerminated();
    }
    auto grace = std::chrono::milliseconds(terminateGraceMs.load());
    if (record->changed.wait_for(lock, grace, [&] { return record->finished; }))
        return ERR_SUCCESS;

    // The thread did not reach a wait point: end it where it is.
    record->forceRequested.store(true);
    for (int i = 0; i < FORCE_TRIES && !record->finished; ++i) {
        pthread_kill(record->pthread, forceSignal());
        record->changed.wait_for(lock, FORCE_STEP, [&] { return record->finished; });
    }
    return record->finished ? ERR_SUCCESS : ERR_GEN_FAILURE;
}

uint32_t setThreadName(ThreadHandle handle, const char* name)
{
    RecordPtr record = findHandle(handle);
    if (!record)
        return ERR_INVALID_HANDLE;
    char shortName[16] = {};
    std::strncpy(shortName, name, sizeof shortName - 1);
    std::lock_guard<std::mutex> lock(record->mutex);
    // An ended thread's pthread_t may already belong to another thread.
    if (record->finished)
        return ERR_INVALID_HANDLE;
    int rc = ::pthread_setname_np(record->pthread, shortName);
    return rc == 0 ? ERR_SUCCESS : fromErrno(rc);
}

uint32_t closeThreadHandle(ThreadHandle handle)
{
    Registry& reg = registry();
    RecordPtr record;
    {
        std::lock_guard<std::mutex> lock(reg.mutex);
        auto it = reg.handles.find(handle);
        if (it == reg.handles.end())
            return ERR_INVALID_HANDLE;
        record = std::move(it->second);
        reg.handles.erase(it);
    }
    // The record goes here or with its thread, outside the registry lock.
    return ERR_SUCCESS;
}

uint32_t postThreadMessage(ThreadId id, uint32_t message, int64_t wParam, int64_t lParam)
{
    ForceBlock block;
    Registry& reg = registry();
    std::lock_guard<std::mutex> regLock(reg.mutex);
    auto it = reg.live.find(id);
    if (it == reg.live.end())
        return ERR_INVALID_THREAD_ID;
    ThreadRecord& record = *it->second;
    std::lock_guard<std::mutex> lock(record.mutex);
    if (!record.hasQueue || record.finished)
        return ERR_INVALID_THREAD_ID;
    if (record.queue.size() >= MAX_QUEUED_MESSAGES)
        return ERR_NOT_ENOUGH_QUOTA;
    ThreadMessage posted;
    posted.message = message;
    posted.wParam = wParam;
    posted.lParam = lParam;
    record.queue.push_back(posted);
    record.changed.notify_all();
    return ERR_SUCCESS;
}

void ensureThreadMessageQueue()
{
    ForceBlock block;
    ThreadRecord* record = ownRecord(true);
    std::lock_guard<std::mutex> lock(record->mutex);
    record->hasQueue = true;
}

void postQuitMessage(int32_t exitCode)
{
    ensureThreadMessageQueue();
    postThreadMessage(osThreadId(), MSG_QUIT, exitCode, 0);
}

bool peekThreadMessage(ThreadMessage& message, bool remove)
{
    ForceBlock block;
    ThreadRecord* record = ownRecord(true);
    std::unique_lock<std::mutex> lock(record->mutex);
    record->hasQueue = true;
    honourRequests(*record, lock);
    if (record->queue.empty())
        return false;
    message = record->queue.front();
    if (remove)
        record->queue.pop_front();
    return true;
}

int32_t getThreadMessage(ThreadMessage& message)
{
    ForceBlock block;
    ThreadRecord* record = ownRecord(true);
    std::unique_lock<std::mutex> lock(record->mutex);
    record->hasQueue = true;
    waitOnRecord(*record, lock, false, {}, [&] { return !record->queue.empty(); });
    message = record->queue.front();
    record->queue.pop_front();
    return message.message == MSG_QUIT ? 0 : 1;
}

int32_t waitThreadMessage(ThreadMessage& message, uint32_t timeoutMs)
{
    ForceBlock block;
    ThreadRecord* record = ownRecord(true);
    std::unique_lock<std::mutex> lock(record->mutex);
    record->hasQueue = true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    if (!waitOnRecord(*record, lock, true, deadline, [&] { return !record->queue.empty(); }))
        return -1;
    message = record->queue.front();
    record->queue.pop_front();
    return message.message == MSG_QUIT ? 0 : 1;
}

void threadSleep(uint32_t milliseconds)
{
    ThreadRecord* record = ownRecord(false);
    if (record == nullptr || !record->ours) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return;
    }
    ForceBlock block;
    std::unique_lock<std::mutex> lock(record->mutex);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    waitOnRecord(*record, lock, true, deadline, [] { return false; });
    honourRequests(*record, lock);
}

void threadCheckpoint()
{
    ThreadRecord* record = ownRecord(false);
    if (record == nullptr || !record->ours || !record->requestPending.load())
        return;
    ForceBlock block;
    std::unique_lock<std::mutex> lock(record->mutex);
    honourRequests(*record, lock);
}

size_t openThreadHandleCount()
{
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return reg.handles.size();
}

size_t liveThreadRecordCount() { return liveRecords.load(); }

uint32_t setTerminateGraceMilliseconds(uint32_t milliseconds) { return terminateGraceMs.exchange(milliseconds); }

} // namespace Platform
} // namespace Telvar
