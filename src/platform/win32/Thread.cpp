#include "platform/Thread.h"

#include <atomic>
#include <chrono>
#include <exception>
#include <map>
#include <string>
#include <memory>
#include <mutex>

#include <windows.h>

namespace Telvar {
namespace Platform {

namespace {

// How long terminateThread waits for the forced end to show.
constexpr DWORD FORCED_END_WAIT_MS = 3000;

std::atomic<uint32_t> terminateGraceMs{1000};
std::atomic<size_t> liveRecords{0};

// Thrown at a wait point of a thread that is being terminated; unwinds to
// the thread's entry so that RAII guards release what they hold (a bare
// TerminateThread would leave them held). Not an std::exception, so
// ordinary handlers let it pass.
struct ThreadTerminated {};

struct ThreadRecord {
    ThreadRecord() { ++liveRecords; }
    ~ThreadRecord()
    {
        if (thread != nullptr)
            ::CloseHandle(thread);
        if (terminateEvent != nullptr)
            ::CloseHandle(terminateEvent);
        --liveRecords;
    }
    ThreadRecord(const ThreadRecord&) = delete;
    ThreadRecord& operator=(const ThreadRecord&) = delete;

    ThreadRoutine routine = nullptr;
    void* parameter = nullptr;
    HANDLE thread = nullptr;
    HANDLE terminateEvent = nullptr;  // manual reset, set on a termination request
    DWORD id = 0;
    std::atomic<bool> terminateRequested{false};
    std::atomic<int32_t> terminateCode{0};
    // Set when the routine came back (or unwound): its code is the exit code,
    // also when it is 259, which GetExitCodeThread cannot tell from running.
    std::atomic<bool> returned{false};
    std::atomic<int32_t> exitCode{0};
};

using RecordPtr = std::shared_ptr<ThreadRecord>;

struct Registry {
    std::mutex mutex;
    std::map<ThreadHandle, RecordPtr> handles;
    // Threads keep their record through here, not on their stack, so that
    // a thread ended by force does not keep it for ever.
    std::map<ThreadRecord*, RecordPtr> running;
    ThreadHandle nextHandle = 1;
};

Registry& registry()
{
    // Never destroyed: threads may still look at it while the process exits.
    static Registry* instance = new Registry;
    return *instance;
}

thread_local ThreadRecord* currentRecord = nullptr;

RecordPtr findHandle(ThreadHandle handle)
{
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto it = reg.handles.find(handle);
    return it == reg.handles.end() ? RecordPtr() : it->second;
}

bool ended(const ThreadRecord& record) { return ::WaitForSingleObject(record.thread, 0) == WAIT_OBJECT_0; }

void honourTermination()
{
    ThreadRecord* record = currentRecord;
    // Never throw while an exception is already on its way out.
    if (record != nullptr && record->terminateRequested.load() && std::uncaught_exceptions() == 0)
        throw ThreadTerminated();
}

RecordPtr leaveRunning(ThreadRecord* record)
{
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto it = reg.running.find(record);
    if (it == reg.running.end())
        return RecordPtr();
    RecordPtr kept = std::move(it->second);
    reg.running.erase(it);
    return kept;
}

DWORD WINAPI threadEntry(LPVOID argument)
{
    ThreadRecord* record = static_cast<ThreadRecord*>(argument);
    currentRecord = record;
    int32_t code = -1;
    try {
        code = record->routine(record->parameter);
    } catch (const ThreadTerminated&) {
        code = record->terminateCode.load();
    } catch (...) {
        // An escaping exception ends this thread only, not the process.
        code = -1;
    }
    // A requested end wins over whatever the routine returned meanwhile.
    if (record->terminateRequested.load())
        code = record->terminateCode.load();
    record->exitCode.store(code);
    record->returned.store(true);
    currentRecord = nullptr;
    // The record may go with this.
    leaveRunning(record);
    return static_cast<DWORD>(code);
}

// Waits for a message or a termination request; false on timeout.
bool waitForMessage(DWORD timeoutMs)
{
    ThreadRecord* record = currentRecord;
    HANDLE events[1];
    DWORD count = 0;
    if (record != nullptr)
        events[count++] = record->terminateEvent;
    DWORD rc = ::MsgWaitForMultipleObjectsEx(count, count ? events : nullptr, timeoutMs, QS_ALLINPUT,
                                             MWMO_INPUTAVAILABLE);
    honourTermination();
    return rc != WAIT_TIMEOUT;
}

void toMessage(const MSG& msg, ThreadMessage& message)
{
    message.message = msg.message;
    message.wParam = static_cast<int64_t>(msg.wParam);
    message.lParam = static_cast<int64_t>(msg.lParam);
    message.window = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(msg.hwnd));
}

} // namespace

uint32_t createThread(ThreadRoutine routine, void* parameter, ThreadHandle& handle, ThreadId& id)
{
    if (routine == nullptr)
        return ERR_INVALID_PARAMETER;
    RecordPtr record = std::make_shared<ThreadRecord>();
    record->routine = routine;
    record->parameter = parameter;
    record->terminateEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (record->terminateEvent == nullptr)
        return static_cast<uint32_t>(::GetLastError());
    // Created suspended so that the record is complete before it runs.
    DWORD threadId = 0;
    HANDLE thread = ::CreateThread(nullptr, 0, threadEntry, record.get(), CREATE_SUSPENDED, &threadId);
    if (thread == nullptr)
        return static_cast<uint32_t>(::GetLastError());
    record->thread = thread;
    record->id = threadId;
    {
        Registry& reg = registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        handle = reg.nextHandle++;
        reg.handles[handle] = record;
        reg.running[record.get()] = record;
    }
    id = threadId;
    ::ResumeThread(thread);
    return ERR_SUCCESS;
}

uint32_t threadExitCode(ThreadHandle handle, bool& active, int32_t& exitCode)
{
    RecordPtr record = findHandle(handle);
    if (!record)
        return ERR_INVALID_HANDLE;
    // The handle's state, not the exit code, tells whether it runs.
    active = !ended(*record);
    if (active)
        return ERR_SUCCESS;
    if (record->returned.load()) {
        exitCode = record->exitCode.load();
        return ERR_SUCCESS;
    }
    DWORD code = 0;
    if (!::GetExitCodeThread(record->thread, &code))
        return static_cast<uint32_t>(::GetLastError());
    exitCode = static_cast<int32_t>(code);
    return ERR_SUCCESS;
}

uint32_t suspendThread(ThreadHandle handle, uint32_t& previousCount)
{
    RecordPtr record = findHandle(handle);
    if (!record)
        return ERR_INVALID_HANDLE;
    DWORD previous = ::SuspendThread(record->thread);
    if (previous == static_cast<DWORD>(-1))
        return static_cast<uint32_t>(::GetLastError());
    previousCount = previous;
    return ERR_SUCCESS;
}

uint32_t resumeThread(ThreadHandle handle, uint32_t& previousCount)
{
    RecordPtr record = findHandle(handle);
    if (!record)
        return ERR_INVALID_HANDLE;
    DWORD previous = ::ResumeThread(record->thread);
    if (previous == static_cast<DWORD>(-1))
        return static_cast<uint32_t>(::GetLastError());
    previousCount = previous;
    return ERR_SUCCESS;
}

uint32_t terminateThread(ThreadHandle handle, int32_t exitCode)
{
    RecordPtr record = findHandle(handle);
    if (!record)
        return ERR_INVALID_HANDLE;
    // An ended thread keeps its own exit code.
    if (ended(*record))
        return ERR_SUCCESS;
    bool expected = false;
    if (record->terminateRequested.compare_exchange_strong(expected, true)) {
        record->terminateCode.store(exitCode);
        ::SetEvent(record->terminateEvent);
    }
    if (record.get() == currentRecord) {
        // Ending oneself: unwind right here.
        throw ThreadTerminated();
    }
    // A suspended thread could never reach a wait point: it is let go so that
    // it unwinds there like any other.
    for (int i = 0; i < 128; ++i) {
        DWORD previous = ::ResumeThread(record->thread);
        if (previous == static_cast<DWORD>(-1) || previous <= 1)
            break;
    }
    if (::WaitForSingleObject(record->thread, terminateGraceMs.load()) == WAIT_OBJECT_0)
        return ERR_SUCCESS;

    // The thread did not reach a wait point: end it where it is.
    if (!::TerminateThread(record->thread, static_cast<DWORD>(record->terminateCode.load()))) {
        DWORD e = ::GetLastError();
        if (ended(*record))
            return ERR_SUCCESS;
        return static_cast<uint32_t>(e);
    }
    if (::WaitForSingleObject(record->thread, FORCED_END_WAIT_MS) != WAIT_OBJECT_0)
        return ERR_GEN_FAILURE;
    leaveRunning(record.get());
    return ERR_SUCCESS;
}

uint32_t setThreadName(ThreadHandle handle, const char* name)
{
    RecordPtr record = findHandle(handle);
    if (!record)
        return ERR_INVALID_HANDLE;
    // Looked up at run time: older systems and wine may lack it.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const SetDescription setDescription = reinterpret_cast<SetDescription>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "SetThreadDescription")));
    if (setDescription == nullptr)
        return ERR_NOT_SUPPORTED;
    std::wstring wide;
    for (const char* c = name; *c != '\0'; ++c)
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
    return SUCCEEDED(setDescription(record->thread, wide.c_str())) ? ERR_SUCCESS : ERR_GEN_FAILURE;
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
    if (!::PostThreadMessageA(id, message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam))) {
        DWORD e = ::GetLastError();
        // Wine answers an unknown thread with ERROR_INVALID_PARAMETER.
        return e == ERROR_INVALID_PARAMETER ? ERR_INVALID_THREAD_ID : static_cast<uint32_t>(e);
    }
    return ERR_SUCCESS;
}

void postQuitMessage(int32_t exitCode) { ::PostQuitMessage(exitCode); }

void ensureThreadMessageQueue()
{
    // The first look at the queue makes it.
    MSG msg;
    ::PeekMessageA(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
}

bool peekThreadMessage(ThreadMessage& message, bool remove)
{
    honourTermination();
    MSG msg;
    if (!::PeekMessageA(&msg, nullptr, 0, 0, remove ? PM_REMOVE : PM_NOREMOVE))
        return false;
    toMessage(msg, message);
    return true;
}

int32_t getThreadMessage(ThreadMessage& message)
{
    if (currentRecord == nullptr) {
        // No termination to honour (a thread not made here, such as the
        // main thread): the system's own wait, which also serves the sent
        // messages of its windows.
        MSG msg;
        BOOL got = ::GetMessageA(&msg, nullptr, 0, 0);
        if (got == -1)
            return -1;
        toMessage(msg, message);
        return got ? 1 : 0;
    }
    for (;;) {
        if (peekThreadMessage(message, true))
            return message.message == MSG_QUIT ? 0 : 1;
        waitForMessage(INFINITE);
    }
}

int32_t waitThreadMessage(ThreadMessage& message, uint32_t timeoutMs)
{
    // The tick count moves in steps: a deadline on it could end the wait up
    // to a step early.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (peekThreadMessage(message, true))
            return message.message == MSG_QUIT ? 0 : 1;
        const Clock::time_point now = Clock::now();
        if (now >= deadline)
            return -1;
        // Rounded up, so that the wait never ends just short of the deadline.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now +
                                                                                std::chrono::microseconds(999));
        waitForMessage(static_cast<DWORD>(left.count()));
    }
}

void threadSleep(uint32_t milliseconds)
{
    ThreadRecord* record = currentRecord;
    if (record == nullptr) {
        ::Sleep(milliseconds);
        return;
    }
    honourTermination();
    ::WaitForSingleObject(record->terminateEvent, milliseconds);
    honourTermination();
}

void threadCheckpoint() { honourTermination(); }

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
