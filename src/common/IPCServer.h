#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "common/LogSink.h"
#include "common/RepeatLimiter.h"
#include "common/SmartPointer.h"
#include "platform/MailslotTransport.h"

namespace Telvar {

class ThreadInstance;

// Fields of an accepted message, as the server hands them to its owner.
struct IPCFields {
    std::string type;
    std::string identifier;
    std::string payload;
    std::string replyTo;
};

// Waits of the server; tests shorten them.
struct IPCServerTiming {
    uint32_t pollMs = 1000;          // listener sleep between rounds, where arrivals are not told
    uint32_t stopStepMs = 1000;      // stop: waits at most stopSteps * stopStepMs,
    uint32_t stopSteps = 10;         // looking at least every STOP_LOOK_MS
    uint32_t reportMs = 60000;       // listener: interval of the pass-count report
    uint32_t threadStopWaitMs = 1000;// destructor: wait before the listener is terminated
    uint32_t busyPollMs = 5;         // listener sleep after a round that found messages
    uint32_t startWaitMs = 10000;    // construction: wait for the listener's mailslot
};

// Listens on a named mailslot and calls the callback, on the listener
// thread, with the fields of each message addressed to "Telvar". Debug texts
// (levels 1 to 5) go to the sink; LoggerSink::forModule with MODULE_IPC
// logs them as the IPC module. A server exists only with its mailslot:
// construction throws IPCException when the listener cannot create it (the
// text says who holds the name), so nobody waits for a deaf listener.
class IPCServer {
public:
    static constexpr int32_t MODULE_IPC = 6;
    static constexpr uint32_t STOP_LOOK_MS = 20;
    using Callback = std::function<void(const std::string& type, const std::string& identifier,
                                        const std::string& payload, const std::string& replyTo)>;
    // How the owner sorts messages (both optional): those isCommand accepts
    // go to the callback ahead of the others taken in the same look at the
    // mailslot. With junk given, the others do not go to the callback one by
    // one: junk gets the first of them and their number, once per look.
    struct Triage {
        std::function<bool(const IPCFields& fields)> isCommand;
        std::function<void(const IPCFields& first, size_t count)> junk;
    };

    IPCServer(const std::string& name, LogSink sink, Callback callback,
              const IPCServerTiming& timing = IPCServerTiming(), Triage triage = Triage());
    IPCServer(const IPCServer&) = delete;
    IPCServer& operator=(const IPCServer&) = delete;
    virtual ~IPCServer();

    // Asks the listener to end and waits for it (bounded); returns as soon
    // as it has ended, at once when it had already.
    void stop();
    // Asks the listener to end without waiting; stop() waits later.
    void requestStop();

    const std::string& name() const { return context_.name; }
    bool listenerExited() const { return context_.exited.load(); }

    // In the callback: the sender of the message it handles (null elsewhere).
    static const Platform::MailslotSender* handledSender();

    // Splits a message: false when it is not addressed to "Telvar".
    static bool splitMessage(const std::string& message, IPCFields& fields);

    // The text with control bytes written as \xNN: foreign bytes must break
    // neither a log line nor the parameter encoding.
    static std::string printable(const std::string& text);

    struct Context {
        LogSink sink;
        std::string name;
        Callback callback;
        Triage triage;
        IPCServerTiming timing;
        std::atomic<bool> stopRequested{false};
        std::atomic<bool> exited{false};
        // The listener's start: 0 while it creates its mailslot, 1 when
        // listening, -1 when it could not (failure says why).
        std::mutex startLock;
        std::condition_variable started;
        int startState = 0;
        std::string failure;
        // Refused senders are logged once a minute, with a count.
        RepeatLimiter refusals;
        uint32_t lastRefusedUid = 0;
        uint32_t lastRefusedPid = 0;
    };

private:
    void debug(int32_t level, const std::string& text) const;
    // Waits for the listener's mailslot; false (failure set) without it.
    bool awaitListener();

    // Declared first: the thread is gone before the context it uses.
    Context context_;
    SmartPointer<ThreadInstance> thread_;
};

} // namespace Telvar
