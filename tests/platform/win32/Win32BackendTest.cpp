// The Windows backend on the real system calls: mailslots, named mutexes
// across processes, the registry, threads and their messages, PDH and
// lock files. A second process is this executable started again with an
// argument that names its part.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "platform/CollectorStatistics.h"
#include "platform/FileSystem.h"
#include "platform/MailslotTransport.h"
#include "platform/NamedMutex.h"
#include "platform/PerfData.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/Thread.h"
#include "support/TempDir.h"

#include <windows.h>
// The system's macro of this name would hide the interface's constant.
#undef MAILSLOT_NO_MESSAGE

using namespace Telvar;
using namespace Telvar::Platform;

namespace {

const char CHILD_MUTEX[] = "--child-hold-mutex=";

// Child part: takes the named mutex, says so on stdout, waits for its stdin
// to close and ends without releasing (the system drops the object).
struct ChildDispatch {
    ChildDispatch()
    {
        std::string line = ::GetCommandLineA();
        size_t at = line.find(CHILD_MUTEX);
        if (at == std::string::npos)
            return;
        std::string name = line.substr(at + std::strlen(CHILD_MUTEX));
        name = name.substr(0, name.find_first_of(" \""));
        NamedMutexHandle handle;
        NamedMutexResult result = createNamedMutex(name, handle);
        DWORD n = 0;
        const char* said = result == NamedMutexResult::CREATED ? "held\n" : "refused\n";
        ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), said, static_cast<DWORD>(std::strlen(said)), &n, nullptr);
        char c;
        while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), &c, 1, &n, nullptr) && n > 0) {
        }
        ::ExitProcess(result == NamedMutexResult::CREATED ? 0 : 3);
    }
} childDispatch;

std::string uniqueName(const std::string& what)
{
    return "telvar-win32-" + what + "-" + std::to_string(::GetCurrentProcessId()) + "-" +
           std::to_string(::GetTickCount64());
}

// A child holding the named mutex until its stdin closes.
class MutexChild {
public:
    explicit MutexChild(const std::string& name)
    {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE childIn = nullptr, childOut = nullptr;
        ::CreatePipe(&childIn, &toChild_, &inherit, 0);
        ::CreatePipe(&fromChild_, &childOut, &inherit, 0);
        ::SetHandleInformation(toChild_, HANDLE_FLAG_INHERIT, 0);
        ::SetHandleInformation(fromChild_, HANDLE_FLAG_INHERIT, 0);
        char self[MAX_PATH];
        ::GetModuleFileNameA(nullptr, self, MAX_PATH);
        std::string command = "\"" + std::string(self) + "\" " + CHILD_MUTEX + name;
        STARTUPINFOA startup;
        std::memset(&startup, 0, sizeof startup);
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childIn;
        startup.hStdOutput = childOut;
        startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
        std::vector<char> line(command.begin(), command.end());
        line.push_back('\0');
        started_ = ::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                    &process_) != 0;
        ::CloseHandle(childIn);
        ::CloseHandle(childOut);
    }
    ~MutexChild()
    {
        if (toChild_ != nullptr)
            ::CloseHandle(toChild_);
        ::CloseHandle(fromChild_);
        if (started_) {
            ::WaitForSingleObject(process_.hProcess, 10000);
            ::CloseHandle(process_.hProcess);
            ::CloseHandle(process_.hThread);
        }
    }
    bool started() const { return started_; }
    ProcessId pid() const { return static_cast<ProcessId>(process_.dwProcessId); }
    std::string firstLine()
    {
        std::string line;
        char c;
        DWORD n = 0;
        while (::ReadFile(fromChild_, &c, 1, &n, nullptr) && n > 0 && c != '\n')
            line += c;
        return line;
    }
    // Closes its stdin and waits for its exit code.
    int finish()
    {
        ::CloseHandle(toChild_);
        toChild_ = nullptr;
        if (::WaitForSingleObject(process_.hProcess, 10000) != WAIT_OBJECT_0)
            return -1;
        DWORD code = 0;
        ::GetExitCodeProcess(process_.hProcess, &code);
        return static_cast<int>(code);
    }
    void kill() { ::TerminateProcess(process_.hProcess, 9); }

private:
    bool started_ = false;
    PROCESS_INFORMATION process_{};
    HANDLE toChild_ = nullptr;
    HANDLE fromChild_ = nullptr;
};

} // namespace

TEST(Win32MailslotTest, MessagesArriveWholeInOrderAndAnAbsentSlotFailsAtOnce)
{
    const std::string name = uniqueName("slot");
    MailslotHandle writer = INVALID_MAILSLOT_HANDLE;
    EXPECT_EQ(ERR_FILE_NOT_FOUND, openMailslot(name, false, writer));
    EXPECT_EQ(INVALID_MAILSLOT_HANDLE, writer);

    MailslotHandle slot = INVALID_MAILSLOT_HANDLE;
    ASSERT_EQ(ERR_SUCCESS, createMailslot(name, slot));
    MailslotHandle twice = INVALID_MAILSLOT_HANDLE;
    EXPECT_EQ(ERR_ALREADY_EXISTS, createMailslot(name, twice));
    EXPECT_EQ(ERR_INVALID_NAME, createMailslot("bad\\name", twice));

    int32_t next = 0;
    ASSERT_EQ(ERR_SUCCESS, mailslotNextSize(slot, next));
    EXPECT_EQ(MAILSLOT_NO_MESSAGE, next);

    ASSERT_EQ(ERR_SUCCESS, openMailslot(name, false, writer));
    const std::vector<std::string> sent = {"first", std::string("with\0nul", 8), std::string(4000, 'x'), "last"};
    for (const std::string& m : sent)
        ASSERT_EQ(ERR_SUCCESS, writeMailslot(writer, m.data(), m.size()));
    for (const std::string& m : sent) {
        ASSERT_EQ(ERR_SUCCESS, mailslotNextSize(slot, next));
        EXPECT_EQ(static_cast<int32_t>(m.size()), next);
        std::string got;
        ASSERT_EQ(ERR_SUCCESS, readMailslot(slot, got));
        EXPECT_EQ(m, got);
    }
    ASSERT_EQ(ERR_SUCCESS, mailslotNextSize(slot, next));
    EXPECT_EQ(MAILSLOT_NO_MESSAGE, next);
    // Direction is checked: a writer does not read, a receiver does not write.
    std::string nothing;
    EXPECT_EQ(ERR_INVALID_HANDLE, readMailslot(writer, nothing));
    EXPECT_EQ(ERR_INVALID_HANDLE, writeMailslot(slot, "x", 1));

    // With the receiver gone, the open writer fails instead of writing into nothing.
    EXPECT_EQ(ERR_SUCCESS, closeMailslot(slot));
    EXPECT_EQ(ERR_FILE_NOT_FOUND, writeMailslot(writer, "lost", 4));
    EXPECT_EQ(ERR_INVALID_HANDLE, closeMailslot(slot));
    EXPECT_EQ(ERR_SUCCESS, closeMailslot(writer));
}

TEST(Win32MailslotTest, OversizedMessagesAreCountedAndSkipped)
{
    const std::string name = uniqueName("big");
    MailslotHandle slot, writer;
    ASSERT_EQ(ERR_SUCCESS, createMailslot(name, slot));
    ASSERT_EQ(ERR_SUCCESS, openMailslot(name, false, writer));
    const std::string big(MAILSLOT_MAX_MESSAGE + 1, 'b');
    ASSERT_EQ(ERR_SUCCESS, writeMailslot(writer, big.data(), big.size()));
    ASSERT_EQ(ERR_SUCCESS, writeMailslot(writer, "small", 5));
    int32_t next = 0;
    ASSERT_EQ(ERR_SUCCESS, mailslotNextSize(slot, next));
    EXPECT_EQ(5, next);
    std::string got;
    ASSERT_EQ(ERR_SUCCESS, readMailslot(slot, got));
    EXPECT_EQ("small", got);
    uint32_t dropped = 0;
    ASSERT_EQ(ERR_SUCCESS, takeMailslotDropCount(slot, dropped));
    EXPECT_EQ(1u, dropped);
    ASSERT_EQ(ERR_SUCCESS, takeMailslotDropCount(slot, dropped));
    EXPECT_EQ(0u, dropped);
    closeMailslot(writer);
    closeMailslot(slot);
}

// A reader told of arrivals sleeps on its thread queue: each arrival after
// it found the slot empty posts one MSG_WAKE; the watch ends with the slot.
TEST(Win32MailslotTest, WatchedSlotWakesItsReaderAndEndsWithIt)
{
    const std::string name = uniqueName("watched");
    MailslotHandle slot, writer;
    ASSERT_EQ(ERR_SUCCESS, createMailslot(name, slot));
    ASSERT_EQ(ERR_SUCCESS, setMailslotAcceptPrefix(slot, "T"));
    ensureThreadMessageQueue();
    ASSERT_EQ(ERR_SUCCESS, notifyMailslotArrivals(slot, currentThreadId()));
    ThreadMessage message;
    EXPECT_EQ(-1, waitThreadMessage(message, 100));
    ASSERT_EQ(ERR_SUCCESS, openMailslot(name, false, writer));
    const std::string big(MAILSLOT_MAX_MESSAGE + 1, 'T');
    for (const std::string& m : {std::string("Tone"), std::string("junk"), big, std::string("Ttwo")})
        ASSERT_EQ(ERR_SUCCESS, writeMailslot(writer, m.data(), m.size()));
    ASSERT_EQ(1, waitThreadMessage(message, 2000));
    EXPECT_EQ(MSG_WAKE, message.message);

    std::vector<std::string> got;
    for (int tries = 0; got.size() < 2 && tries < 200; ++tries) {
        std::string text;
        MailslotSender sender;
        ASSERT_EQ(ERR_SUCCESS, readMailslot(slot, text, sender));
        EXPECT_FALSE(sender.known);
        if (!text.empty())
            got.push_back(text);
        else
            ::Sleep(10);
    }
    EXPECT_EQ((std::vector<std::string>{"Tone", "Ttwo"}), got);
    uint32_t dropped = 0;
    ASSERT_EQ(ERR_SUCCESS, takeMailslotDropCount(slot, dropped));
    EXPECT_EQ(1u, dropped);
    int32_t next = 0;
    ASSERT_EQ(ERR_SUCCESS, mailslotNextSize(slot, next));
    ASSERT_EQ(MAILSLOT_NO_MESSAGE, next);
    while (peekThreadMessage(message, true)) {
    }
    ASSERT_EQ(ERR_SUCCESS, writeMailslot(writer, "Tthree", 6));
    ASSERT_EQ(1, waitThreadMessage(message, 2000));
    EXPECT_EQ(MSG_WAKE, message.message);

    const DWORD start = ::GetTickCount();
    EXPECT_EQ(ERR_SUCCESS, closeMailslot(slot));
    EXPECT_LT(::GetTickCount() - start, 1000u);
    closeMailslot(writer);
}

TEST(Win32NamedMutexTest, HeldBySecondProcessUntilItEndsEvenWhenKilled)
{
    const std::string name = uniqueName("mutex");
    {
        MutexChild child(name);
        ASSERT_TRUE(child.started());
        ASSERT_EQ("held", child.firstLine());
        EXPECT_TRUE(processExists(child.pid()));
        NamedMutexHandle handle;
        EXPECT_EQ(NamedMutexResult::ALREADY_EXISTS, createNamedMutex(name, handle));
        EXPECT_EQ(INVALID_NAMED_MUTEX, handle);
        EXPECT_EQ(0, child.finish());
        EXPECT_FALSE(processExists(child.pid()));
    }
    NamedMutexHandle mine;
    ASSERT_EQ(NamedMutexResult::CREATED, createNamedMutex(name, mine));
    // Held here: another object of this process is refused too, and so is a child.
    NamedMutexHandle again;
    EXPECT_EQ(NamedMutexResult::ALREADY_EXISTS, createNamedMutex(name, again));
    {
        MutexChild child(name);
        ASSERT_TRUE(child.started());
        EXPECT_EQ("refused", child.firstLine());
        EXPECT_EQ(3, child.finish());
    }
    EXPECT_TRUE(releaseNamedMutex(mine));

    MutexChild killed(name);
    ASSERT_TRUE(killed.started());
    ASSERT_EQ("held", killed.firstLine());
    killed.kill();
    EXPECT_EQ(9, killed.finish());
    ASSERT_EQ(NamedMutexResult::CREATED, createNamedMutex(name, mine));
    EXPECT_TRUE(releaseNamedMutex(mine));
}

TEST(Win32RegistryTest, ValuesRoundTripThroughTheRealRegistry)
{
    const std::string sub = "Software\\Telvar\\Win32Test\\" + uniqueName("key");
    RegistryKey key = nullptr;
    EXPECT_EQ(REGISTRY_FILE_NOT_FOUND, registryOpenKey(RegistryRoot::CurrentUser, sub, REGISTRY_KEY_READ, key));
    ASSERT_EQ(REGISTRY_SUCCESS, registryCreateKey(RegistryRoot::CurrentUser, sub + "\\Deeper", 0,
                                                  REGISTRY_KEY_READ | REGISTRY_KEY_WRITE, key));
    const std::string text = "C:\\Ravlon";
    ASSERT_EQ(REGISTRY_SUCCESS, registrySetValue(key, "Text", REGISTRY_SZ,
                                                 reinterpret_cast<const uint8_t*>(text.c_str()),
                                                 static_cast<uint32_t>(text.size() + 1)));
    const uint32_t number = 0xA1B2C3D4;
    ASSERT_EQ(REGISTRY_SUCCESS, registrySetValue(key, "Number", REGISTRY_DWORD,
                                                 reinterpret_cast<const uint8_t*>(&number), sizeof number));
    registryCloseKey(key);

    ASSERT_EQ(REGISTRY_SUCCESS, registryOpenKey(RegistryRoot::CurrentUser, sub + "\\Deeper", REGISTRY_KEY_READ, key));
    uint32_t type = 0, size = 0;
    ASSERT_EQ(REGISTRY_SUCCESS, registryQueryValue(key, "Text", type, nullptr, size));
    EXPECT_EQ(REGISTRY_SZ, type);
    EXPECT_EQ(text.size() + 1, size);
    uint8_t small[4];
    size = sizeof small;
    EXPECT_EQ(REGISTRY_MORE_DATA, registryQueryValue(key, "Text", type, small, size));
    EXPECT_EQ(text.size() + 1, size);
    std::vector<uint8_t> buffer(size);
    ASSERT_EQ(REGISTRY_SUCCESS, registryQueryValue(key, "Text", type, buffer.data(), size));
    EXPECT_EQ(text, std::string(reinterpret_cast<char*>(buffer.data())));
    uint32_t read = 0;
    size = sizeof read;
    ASSERT_EQ(REGISTRY_SUCCESS, registryQueryValue(key, "Number", type, reinterpret_cast<uint8_t*>(&read), size));
    EXPECT_EQ(REGISTRY_DWORD, type);
    EXPECT_EQ(number, read);
    EXPECT_EQ(REGISTRY_FILE_NOT_FOUND, registryQueryValue(key, "Missing", type, nullptr, size));
    std::vector<std::string> names;
    ASSERT_EQ(REGISTRY_SUCCESS, registryValueNames(key, names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"Number", "Text"}), names);
    // Opened for reading only: writing is refused.
    EXPECT_EQ(REGISTRY_ACCESS_DENIED, registrySetValue(key, "Text", REGISTRY_SZ, small, 1));
    registryCloseKey(key);
    ::RegDeleteTreeA(HKEY_CURRENT_USER, sub.c_str());
}

namespace {

std::atomic<int> spins{0};
std::atomic<bool> stopSpinning{false};

int32_t spinner(void*)
{
    while (!stopSpinning.load())
        ++spins;
    return 7;
}

int32_t returnsStillActive(void*) { return 259; }

int32_t sleeper(void* guard)
{
    // A guard on the stack must be unwound by the termination.
    struct Flag {
        std::atomic<bool>* set;
        ~Flag() { set->store(true); }
    } flag{static_cast<std::atomic<bool>*>(guard)};
    for (;;)
        threadSleep(10);
}

int32_t quitCodeOfLoop(void*)
{
    ThreadMessage m;
    int32_t closes = 0;
    while (getThreadMessage(m) != 0)
        if (m.message == MSG_CLOSE)
            ++closes;
    return static_cast<int32_t>(m.wParam) * 10 + closes;
}

bool waitUntilEnded(ThreadHandle handle, int32_t& code)
{
    for (int i = 0; i < 500; ++i) {
        bool active = true;
        if (threadExitCode(handle, active, code) != ERR_SUCCESS)
            return false;
        if (!active)
            return true;
        ::Sleep(10);
    }
    return false;
}

} // namespace

TEST(Win32ThreadTest, SuspendResumeTerminateAndExitCodes)
{
    stopSpinning = false;
    ThreadHandle handle;
    ThreadId id;
    ASSERT_EQ(ERR_SUCCESS, createThread(spinner, nullptr, handle, id));
    EXPECT_NE(0u, id);
    uint32_t previous = 99;
    ASSERT_EQ(ERR_SUCCESS, suspendThread(handle, previous));
    EXPECT_EQ(0u, previous);
    ASSERT_EQ(ERR_SUCCESS, suspendThread(handle, previous));
    EXPECT_EQ(1u, previous);
    const int frozen = spins.load();
    ::Sleep(50);
    EXPECT_EQ(frozen, spins.load());
    ASSERT_EQ(ERR_SUCCESS, resumeThread(handle, previous));
    EXPECT_EQ(2u, previous);
    ASSERT_EQ(ERR_SUCCESS, resumeThread(handle, previous));
    EXPECT_EQ(1u, previous);
    bool active = false;
    int32_t code = 0;
    ASSERT_EQ(ERR_SUCCESS, threadExitCode(handle, active, code));
    EXPECT_TRUE(active);
    stopSpinning = true;
    ASSERT_TRUE(waitUntilEnded(handle, code));
    EXPECT_EQ(7, code);
    // Ending an ended thread keeps its own exit code.
    EXPECT_EQ(ERR_SUCCESS, terminateThread(handle, 55));
    ASSERT_EQ(ERR_SUCCESS, threadExitCode(handle, active, code));
    EXPECT_FALSE(active);
    EXPECT_EQ(7, code);
    EXPECT_EQ(ERR_SUCCESS, closeThreadHandle(handle));
    EXPECT_EQ(ERR_INVALID_HANDLE, threadExitCode(handle, active, code));
    EXPECT_EQ(ERR_INVALID_HANDLE, closeThreadHandle(handle));

    // 259 is the system's "still active": an ended thread returning it is
    // still seen as ended.
    ASSERT_EQ(ERR_SUCCESS, createThread(returnsStillActive, nullptr, handle, id));
    ASSERT_TRUE(waitUntilEnded(handle, code));
    EXPECT_EQ(259, code);
    closeThreadHandle(handle);
}

TEST(Win32ThreadTest, TerminationUnwindsAtAWaitAndForcesASpinningThread)
{
    std::atomic<bool> unwound{false};
    ThreadHandle handle;
    ThreadId id;
    ASSERT_EQ(ERR_SUCCESS, createThread(sleeper, &unwound, handle, id));
    ::Sleep(30);
    ASSERT_EQ(ERR_SUCCESS, terminateThread(handle, 42));
    bool active = true;
    int32_t code = 0;
    ASSERT_EQ(ERR_SUCCESS, threadExitCode(handle, active, code));
    EXPECT_FALSE(active);
    EXPECT_EQ(42, code);
    EXPECT_TRUE(unwound.load());
    closeThreadHandle(handle);

    // A suspended sleeper is let go to unwind as well.
    unwound = false;
    ASSERT_EQ(ERR_SUCCESS, createThread(sleeper, &unwound, handle, id));
    uint32_t previous;
    ASSERT_EQ(ERR_SUCCESS, suspendThread(handle, previous));
    ASSERT_EQ(ERR_SUCCESS, terminateThread(handle, 43));
    ASSERT_EQ(ERR_SUCCESS, threadExitCode(handle, active, code));
    EXPECT_EQ(43, code);
    EXPECT_TRUE(unwound.load());
    closeThreadHandle(handle);

    // A thread that never waits is ended where it is after the grace period.
    stopSpinning = false;
    uint32_t grace = setTerminateGraceMilliseconds(50);
    size_t records = liveThreadRecordCount();
    ASSERT_EQ(ERR_SUCCESS, createThread(spinner, nullptr, handle, id));
    ASSERT_EQ(ERR_SUCCESS, terminateThread(handle, 44));
    setTerminateGraceMilliseconds(grace);
    ASSERT_EQ(ERR_SUCCESS, threadExitCode(handle, active, code));
    EXPECT_FALSE(active);
    EXPECT_EQ(44, code);
    closeThreadHandle(handle);
    EXPECT_EQ(records, liveThreadRecordCount());
}

TEST(Win32ThreadTest, ThreadMessagesQueueInOrderAndQuitEndsTheLoop)
{
    // No queue yet for an unknown thread.
    EXPECT_EQ(ERR_INVALID_THREAD_ID, postThreadMessage(0xFFFFFFF0u, MSG_CLOSE, 0, 0));
    ThreadHandle handle;
    ThreadId id;
    ASSERT_EQ(ERR_SUCCESS, createThread(quitCodeOfLoop, nullptr, handle, id));
    uint32_t rc = ERR_INVALID_THREAD_ID;
    for (int i = 0; i < 500 && rc == ERR_INVALID_THREAD_ID; ++i) {
        rc = postThreadMessage(id, MSG_CLOSE, 0, 0);
        if (rc == ERR_INVALID_THREAD_ID)
            ::Sleep(10);
    }
    ASSERT_EQ(ERR_SUCCESS, rc);
    EXPECT_EQ(ERR_SUCCESS, postThreadMessage(id, MSG_CLOSE, 1, 2));
    EXPECT_EQ(ERR_SUCCESS, postThreadMessage(id, MSG_QUIT, 4, 0));
    int32_t code = 0;
    ASSERT_TRUE(waitUntilEnded(handle, code));
    EXPECT_EQ(42, code);
    closeThreadHandle(handle);

    // The calling thread's own queue: peek, copy, wait with a time-out.
    ensureThreadMessageQueue();
    ThreadMessage m;
    ASSERT_EQ(ERR_SUCCESS, postThreadMessage(static_cast<ThreadId>(::GetCurrentThreadId()), MSG_DESTROY, 5, 6));
    ASSERT_TRUE(peekThreadMessage(m, false));
    EXPECT_EQ(MSG_DESTROY, m.message);
    ASSERT_TRUE(peekThreadMessage(m, true));
    EXPECT_EQ(5, m.wParam);
    EXPECT_EQ(6, m.lParam);
    EXPECT_FALSE(peekThreadMessage(m, true));
    EXPECT_EQ(-1, waitThreadMessage(m, 20));
    postQuitMessage(3);
    EXPECT_EQ(0, waitThreadMessage(m, 1000));
    EXPECT_EQ(3, m.wParam);
}

TEST(Win32PerfDataTest, TheCountersWineOffersGiveLargeValues)
{
    PerfDataProvider& pdh = systemPerfData();
    PdhHandle query = PDH_NULL_HANDLE;
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.openQuery(query));
    PdhHandle cpu = PDH_NULL_HANDLE, uptime = PDH_NULL_HANDLE, missing = 1;
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.addCounter(query, "\\Processor(_Total)\\% Processor Time", 1, cpu));
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.addCounter(query, "\\System\\System Up Time", 2, uptime));
    EXPECT_NE(PDH_CSTATUS_VALID_DATA, pdh.addCounter(query, "\\No Such Object\\Nothing", 3, missing));
    EXPECT_EQ(PDH_NULL_HANDLE, missing);
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.collectQueryData(query));
    ::Sleep(100);
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.collectQueryData(query));
    PdhFmtCounterValue value;
    uint32_t type = 0, known = 1;
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.getCounterType(uptime, known));
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.getFormattedValue(uptime, PDH_FMT_LARGE, &type, value));
    EXPECT_EQ(known, type);
    EXPECT_EQ(PDH_CSTATUS_VALID_DATA, value.cStatus);
    EXPECT_GT(value.largeValue, 0);
    // The up time agrees with the system's own tick count, in seconds.
    EXPECT_NEAR(static_cast<double>(::GetTickCount64() / 1000), static_cast<double>(value.largeValue), 5.0);
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.getFormattedValue(cpu, PDH_FMT_LARGE | PDH_FMT_NOCAP100, nullptr, value));
    EXPECT_GE(value.largeValue, 0);
    EXPECT_EQ(PDH_CSTATUS_VALID_DATA, pdh.removeCounter(cpu));
    EXPECT_EQ(PDH_CSTATUS_VALID_DATA, pdh.closeQuery(query));
}

// Wine's PDH follows any handle as a pointer: a stale or foreign one (a
// fake provider's, say) used to end the process instead of failing.
TEST(Win32PerfDataTest, HandlesNotGivenOutOrClosedAreRefused)
{
    PerfDataProvider& pdh = systemPerfData();
    const PdhHandle foreign = 0x42;
    PdhFmtCounterValue value;
    uint32_t type = 0;
    EXPECT_EQ(PDH_INVALID_HANDLE, pdh.closeQuery(foreign));
    EXPECT_EQ(PDH_INVALID_HANDLE, pdh.collectQueryData(foreign));
    EXPECT_EQ(PDH_INVALID_HANDLE, pdh.removeCounter(foreign));
    EXPECT_EQ(PDH_INVALID_HANDLE, pdh.getFormattedValue(foreign, PDH_FMT_LARGE, &type, value));
    EXPECT_EQ(PDH_INVALID_HANDLE, pdh.getCounterType(foreign, type));
    PdhHandle counter = 7;
    EXPECT_EQ(PDH_INVALID_HANDLE, pdh.addCounter(foreign, "\\System\\System Up Time", 1, counter));
    EXPECT_EQ(PDH_NULL_HANDLE, counter);

    PdhHandle query = PDH_NULL_HANDLE, uptime = PDH_NULL_HANDLE, cpu = PDH_NULL_HANDLE;
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.openQuery(query));
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.addCounter(query, "\\System\\System Up Time", 1, uptime));
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.addCounter(query, "\\Processor(_Total)\\% Processor Time", 2, cpu));
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.removeCounter(cpu));
    EXPECT_EQ(PDH_INVALID_HANDLE, pdh.removeCounter(cpu));
    EXPECT_EQ(PDH_INVALID_HANDLE, pdh.getCounterType(cpu, type));
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.closeQuery(query));
    // The counter went with its query.
    EXPECT_EQ(PDH_INVALID_HANDLE, pdh.getFormattedValue(uptime, PDH_FMT_LARGE, &type, value));
    EXPECT_EQ(PDH_INVALID_HANDLE, pdh.closeQuery(query));
    EXPECT_EQ(PDH_INVALID_HANDLE, pdh.collectQueryData(query));
}

TEST(Win32PerfDataTest, NameLookupLeavesAShortBufferAlone)
{
    PerfDataProvider& pdh = systemPerfData();
    // Index 238 is "Processor" in every English name table.
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    uint32_t size = 2;
    PdhStatus status = pdh.lookupNameByIndex(nullptr, 238, buffer, size);
    if (status == PDH_MORE_DATA) {
        EXPECT_GT(size, 2u);
        EXPECT_EQ('#', buffer[0]);
        uint32_t needed = size;
        size = sizeof buffer;
        ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.lookupNameByIndex(nullptr, 238, buffer, size));
        EXPECT_EQ(needed, size);
        EXPECT_EQ(std::strlen(buffer) + 1, size);
    } else {
        // Some systems know no name table at all; then nothing was written.
        EXPECT_NE(PDH_CSTATUS_VALID_DATA, status);
        EXPECT_EQ('#', buffer[0]);
    }
}

TEST(Win32FileSystemTest, LockFilesAreHeldAgainstDeletionAndReadableWhileHeld)
{
    Testing::TempDir dir;
    const std::string lock = dir.file("data.lock");
    FileHandle held = createLockFile(lock, "content\n");
    ASSERT_NE(INVALID_FILE_HANDLE, held);
    EXPECT_EQ("content\n", dir.read("data.lock"));
    EXPECT_EQ(INVALID_FILE_HANDLE, createLockFile(lock, "other\n"));
    EXPECT_EQ(FILE_ERROR_FILE_EXISTS, lastFileSystemError());
    EXPECT_FALSE(deleteUnheldLockFile(lock));
    EXPECT_EQ(FILE_ERROR_SHARING_VIOLATION, lastFileSystemError());
    EXPECT_TRUE(deleteHeldLockFile(lock, held));
    EXPECT_FALSE(dir.exists("data.lock"));
    // No temporary left beside it.
    std::vector<DirectoryItem> items;
    ASSERT_TRUE(readDirectory(dir.path(), items));
    for (const DirectoryItem& item : items)
        EXPECT_TRUE(item.name == "." || item.name == "..") << item.name;

    // A lock file nobody holds any more goes.
    FileHandle again = createLockFile(lock, "x");
    ASSERT_NE(INVALID_FILE_HANDLE, again);
    closeHandle(again);
    EXPECT_TRUE(deleteUnheldLockFile(lock));
    EXPECT_FALSE(dir.exists("data.lock"));
}

TEST(Win32FileSystemTest, AHeldOrOpenTargetIsStillReplaced)
{
    Testing::TempDir dir;
    ASSERT_TRUE(dir.write("real", "old"));
    ASSERT_TRUE(dir.write("real.tmp", "new"));
    FileHandle holder = openForHolding(dir.file("real"));
    ASSERT_NE(INVALID_FILE_HANDLE, holder);
    std::FILE* reader = openStream(dir.file("real"), "rb");
    ASSERT_NE(nullptr, reader);
    EXPECT_FALSE(moveFile(dir.file("real.tmp"), dir.file("real"), 0));
    EXPECT_EQ(FILE_ERROR_ALREADY_EXISTS, lastFileSystemError());
    ASSERT_TRUE(moveFile(dir.file("real.tmp"), dir.file("real"), MOVE_REPLACE_EXISTING));
    EXPECT_EQ("new", dir.read("real"));
    // The old content stays with those who have it open.
    char seen[4] = {0};
    EXPECT_EQ(3u, std::fread(seen, 1, 3, reader));
    EXPECT_STREQ("old", seen);
    std::fclose(reader);
    closeHandle(holder);
    // Cut back, never grown.
    EXPECT_FALSE(truncateFile(dir.file("real"), 4));
    EXPECT_EQ(FILE_ERROR_INVALID_PARAMETER, lastFileSystemError());
    ASSERT_TRUE(truncateFile(dir.file("real"), 1));
    EXPECT_EQ("n", dir.read("real"));
    std::vector<DirectoryItem> items;
    ASSERT_TRUE(readDirectory(dir.path(), items));
    EXPECT_EQ(3u, items.size());
}

// PDH does not know the collector's own object: the backend serves it from
// the process itself, and its names translate to themselves.
TEST(Win32PerfDataTest, TheCollectorObjectIsThisProcessItself)
{
    PerfDataProvider& pdh = systemPerfData();
    collectorStatistics().set(CollectorStatistics::RECORDS_WRITTEN, 42);
    ThreadKindMark poller(ThreadKind::Poller);
    PdhHandle query = PDH_NULL_HANDLE, memory = PDH_NULL_HANDLE, cpu = PDH_NULL_HANDLE, records = PDH_NULL_HANDLE,
              own = PDH_NULL_HANDLE;
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.openQuery(query));
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.addCounter(query, "\\Ravlon Collector\\Working Set", 1, memory));
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.addCounter(query, "\\Ravlon Collector\\% Processor Time", 2, cpu));
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.addCounter(query, "\\Ravlon Collector\\Records Written", 3, records));
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.addCounter(query, "\\Ravlon Collector\\% Poller Time", 4, own));
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.collectQueryData(query));
    const DWORD busyUntil = ::GetTickCount() + 300;
    while (::GetTickCount() < busyUntil) {
    }
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.collectQueryData(query));
    PdhFmtCounterValue value;
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.getFormattedValue(memory, PDH_FMT_LARGE, nullptr, value));
    EXPECT_GT(value.largeValue, 1024 * 1024);
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.getFormattedValue(records, PDH_FMT_LARGE, nullptr, value));
    EXPECT_EQ(42, value.largeValue);
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.getFormattedValue(cpu, PDH_FMT_DOUBLE | PDH_FMT_NOCAP100, nullptr, value));
    // Busy for the whole interval, but a loaded host may give it only a
    // share of a processor: well above an idle process's 0 is what counts.
    EXPECT_GT(value.doubleValue, 5.0);
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.getFormattedValue(own, PDH_FMT_DOUBLE | PDH_FMT_NOCAP100, nullptr, value));
    EXPECT_GT(value.doubleValue, 5.0);
    EXPECT_EQ(PDH_CSTATUS_VALID_DATA, pdh.closeQuery(query));

    char name[64];
    uint32_t size = sizeof name;
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.lookupNameByIndex(nullptr, 2000000000u, name, size));
    EXPECT_STREQ("Ravlon Collector", name);
    uint32_t tableSize = 0;
    ASSERT_EQ(PERF_ERROR_MORE_DATA, pdh.englishNameTable(nullptr, tableSize));
    std::vector<char> table(tableSize);
    ASSERT_EQ(PERF_ERROR_SUCCESS, pdh.englishNameTable(table.data(), tableSize));
    const std::string text(table.data(), tableSize);
    EXPECT_NE(std::string::npos, text.find(std::string("\0002000000000\0Ravlon Collector\0", 29)));
    EXPECT_EQ(std::string("Failed Reloads\0\0", 16), text.substr(text.size() - 16));
    std::vector<std::string> counters, instances;
    ASSERT_EQ(PDH_CSTATUS_VALID_DATA, pdh.enumObjectItems("Ravlon Collector", counters, instances));
    EXPECT_EQ(24u, counters.size());
    EXPECT_TRUE(instances.empty());
}
