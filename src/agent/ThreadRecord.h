#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "common/DateTime.h"
#include "common/SmartPointer.h"
#include "common/ThreadInstance.h"
#include "common/Wakeup.h"

namespace Telvar {

// The state word a supervised thread shares with its supervisor.
enum ThreadState : int32_t {
    STATE_NONE = 0,      // registration: nothing asked yet
    STATE_ASKED = 1,     // supervisor: show that you are alive
    STATE_ALIVE = 2,     // thread: answered
    STATE_FATAL = 4,     // thread: answered with a fatal condition
    STATE_QUITTING = 5,  // thread: saw the quit flag, ending
    STATE_QUIT = 6       // supervisor: end now
};

// The supervisor's verdict on a thread.
enum CheckStatus : int32_t {
    CHECK_OK = 0,
    CHECK_SILENT = 1,
    CHECK_DOWN = 2
};

// One entry of the agent's thread registry. The thread's parameter is the
// address of the stored entry, so entries are never moved while it runs.
struct ThreadRecord {
    // The thread answers liveness requests and ends itself when told to.
    static constexpr uint8_t REPORTS_STATE = 0x02;

    std::string name;
    SmartPointer<ThreadInstance> thread;
    uint8_t flags = 0;
    // Written by both sides, hence atomic.
    std::atomic<int32_t> state{STATE_NONE};
    int32_t checkStatus = CHECK_OK;
    DateTime lastOk;
    // The thread sleeps on it; the supervisor rings it with each request,
    // so a thread asleep for long still answers. Not copied.
    Wakeup wakeup;

    ThreadRecord();
    ThreadRecord(const std::string& name, uint8_t flags);
    ThreadRecord(const ThreadRecord& other);
    ThreadRecord& operator=(const ThreadRecord& other);
    ~ThreadRecord();

    bool reportsState() const { return (flags & REPORTS_STATE) != 0; }
};

} // namespace Telvar
