#include "common/IPCServer.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <new>

#include "common/Clock.h"
#include "common/Exception.h"
#include "common/StringUtil.h"
#include "common/IPCClient.h"
#include "common/MailSlot.h"
#include "common/ThreadInstance.h"
#include "platform/CollectorStatistics.h"
#include "platform/Installation.h"
#include "platform/Thread.h"

namespace Telvar {

namespace {

using Context = IPCServer::Context;

void debugText(const Context& context, int32_t level, const std::string& text)
{
    if (context.sink.debug)
        context.sink.debug(level, text);
}

// "IPC: Server "<name>": " and the rest.
void serverText(const Context& context, int32_t level, const std::string& rest)
{
    debugText(context, level, "IPC: Server \"" + context.name + "\": " + rest);
}

} // namespace

std::string IPCServer::printable(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 32 || u == 127) {
            StringUtil::appendHexEscape(out, u);
        } else {
            out += c;
        }
    }
    return out;
}

namespace {

thread_local const Platform::MailslotSender* currentSender = nullptr;

void deliver(Context& context, const IPCFields& fields, const Platform::MailslotSender& sender)
{
    if (!context.callback)
        return;
    currentSender = &sender;
    // What the callback does is its own business, but it must not take
    // the listener down with it.
    try {
        context.callback(fields.type, fields.identifier, fields.payload, fields.replyTo);
    } catch (const Exception& e) {
        debugText(context, 1, "IPC: Handling a message failed: " + e.fullText());
    } catch (const std::exception& e) {
        debugText(context, 1, std::string("IPC: Handling a message failed: ") + e.what());
    }
    currentSender = nullptr;
}

void handleMessages(Context& context, const std::vector<std::string>& messages,
                    const std::vector<Platform::MailslotSender>& senders)
{
    serverText(context, 4, "Received " + std::to_string(messages.size()) + " message(s)...");
    const IPCServer::Triage& triage = context.triage;
    std::vector<IPCFields> fields(messages.size());
    // 0: not addressed to us or junk, 1: a command, 2: the rest.
    std::vector<char> rank(messages.size(), 0);
    size_t junk = 0;
    size_t firstJunk = 0;
    for (size_t i = 0; i < messages.size(); ++i) {
        if (!IPCServer::splitMessage(messages[i], fields[i])) {
            debugText(context, 5, "IPC: Received message line \"" + IPCServer::printable(messages[i]) + "\".");
            Platform::collectorStatistics().add(Platform::CollectorStatistics::JUNK_DROPPED);
            debugText(context, 4, "IPC: The message was not adressed to Telvar. Ignoring it.");
            continue;
        }
        rank[i] = triage.isCommand && triage.isCommand(fields[i]) ? 1 : 2;
        // Junk costs a count, not a line or a call each.
        if (rank[i] == 2 && triage.junk) {
            rank[i] = 0;
            if (junk++ == 0)
                firstJunk = i;
            continue;
        }
        debugText(context, 5, "IPC: Received message line \"" + IPCServer::printable(messages[i]) + "\".");
    }
    // Commands first: a flood of others cannot keep one waiting.
    for (char pass : {1, 2})
        for (size_t i = 0; i < messages.size(); ++i)
            if (rank[i] == pass)
                deliver(context, fields[i], i < senders.size() ? senders[i] : Platform::MailslotSender());
    if (junk == 0)
        return;
    debugText(context, 5, "IPC: Received message line \"" + IPCServer::printable(messages[firstJunk]) + "\" and " +
                              std::to_string(junk - 1) + " more that are no command.");
    try {
        triage.junk(fields[firstJunk], junk);
    } catch (const std::exception& e) {
        debugText(context, 1, std::string("IPC: Handling a message failed: ") + e.what());
    }
}

void reportStart(Context& context, int state, const std::string& failure)
{
    std::lock_guard<std::mutex> guard(context.startLock);
    context.startState = state;
    context.failure = failure;
    context.started.notify_all();
}

// The receiving mailslot, or null (logged, and told to the owner) when it
// cannot be created.
std::unique_ptr<MailSlot> openSlot(Context& context)
{
    debugText(context, 2, "IPC: Initializing listener for \"" + context.name + "\".");
    debugText(context, 2, "IPC: Creating MailSlot \"" + context.name + "\".");
    std::unique_ptr<MailSlot> slot;
    try {
        slot.reset(new MailSlot(IPC_RECEIVER, context.name));
        // Junk never takes room that a command needs.
        slot->acceptOnly(IPCClient::ADDRESSEE);
    } catch (const IPCException& e) {
        debugText(context, 1, e.fullText());
        std::string failure = e.message() == std::to_string(Platform::ERR_ALREADY_EXISTS)
                                  ? MailSlot::holderText(context.name)
                                  : "the mailslot " + MailSlot::printableName(context.name) +
                                        " could not be created (" + e.codeText() + " " + e.message() + ")";
        reportStart(context, -1, failure);
        return nullptr;
    }
    debugText(context, 2, "IPC: MailSlot created \"" + context.name + "\".");
    reportStart(context, 1, "");
    return slot;
}

std::string refusedText(const Context& context, const std::string& what)
{
    return what + " from uid " + std::to_string(context.lastRefusedUid) + ", pid " +
           std::to_string(context.lastRefusedPid) + ": only root, the program's own account and the group " +
           Platform::installationGroup() + " may send.";
}

// Messages from strangers: the first is logged, the rest counted per minute.
void noteRefusals(Context& context, MailSlot& slot)
{
    Platform::MailslotRefusals refused = slot.takeRefusals();
    if (refused.count > 0) {
        context.lastRefusedUid = refused.lastUid;
        context.lastRefusedPid = refused.lastPid;
        if (context.refusals.occurred(refused.count))
            serverText(context, 1, refusedText(context, "Refused a message"));
    }
    if (uint64_t more = context.refusals.takeHeldBack())
        serverText(context, 1, refusedText(context, RepeatLimiter::summary("Refused messages", more) + ", the last"));
}

// One look at the mailslot: whatever is there is handled. Answers the
// number of messages taken.
size_t receiveRound(Context& context, MailSlot& slot)
{
    std::vector<std::string> messages;
    std::vector<Platform::MailslotSender> senders;
    try {
        slot.receive(messages, senders);
    } catch (const IPCException&) {
        serverText(context, 1, "Failed to receive messages");
        return 0;
    }
    serverText(context, 5, "Received " + std::to_string(messages.size()) + " message(s)");
    noteRefusals(context, slot);
    uint32_t dropped = slot.takeDroppedCount();
    Platform::collectorStatistics().add(Platform::CollectorStatistics::JUNK_DROPPED, dropped);
    if (dropped > 0)
        serverText(context, 2, "Dropped " + std::to_string(dropped) + " message(s) above 65536 bytes.");
    if (!messages.empty())
        handleMessages(context, messages, senders);
    return messages.size();
}

void noteQuitRequest(Context& context, const Platform::ThreadMessage& message)
{
    if (message.message != Platform::MSG_DESTROY)
        return;
    debugText(context, 4, "IPC: Received message to exit IPC listener.");
    context.stopRequested = true;
}

// The pass count, reported at level 5 once per report interval.
class PassReport {
public:
    explicit PassReport(const Context& context) : context_(context) { restart(); }
    // Counts a pass; true (and reported) when the interval is over.
    bool due()
    {
        if (Clock::current().monotonicMilliseconds() < reportAt_) {
            ++passes_;
            return false;
        }
        serverText(context_, 5, "Checking for incomming messages. Done so " + std::to_string(passes_) +
                                    " times since last debug.");
        passes_ = 0;
        return true;
    }
    void restart() { reportAt_ = Clock::current().monotonicMilliseconds() + context_.timing.reportMs; }
    // Time until the next report, within 1 ms and one interval.
    uint32_t msLeft() const
    {
        const int64_t left = reportAt_ - Clock::current().monotonicMilliseconds();
        return static_cast<uint32_t>(std::max<int64_t>(1, std::min<int64_t>(left, context_.timing.reportMs)));
    }

private:
    const Context& context_;
    int64_t reportAt_ = 0;
    int passes_ = 0;
};

int32_t listener(void* parameter)
{
    Context& context = *static_cast<Context*>(parameter);
    Platform::ThreadKindMark kind(Platform::ThreadKind::Listener);
    // The queue exists before the mailslot does: whoever can reach the
    // mailslot can also ask the listener to quit.
    Platform::ensureThreadMessageQueue();
    std::unique_ptr<MailSlot> slot = openSlot(context);
    if (!slot)
        return -1;

    // Told of arrivals, the listener sleeps until a message, a quit or the
    // next report; otherwise it looks once a poll interval.
    const bool told = slot->notifyArrivals(Platform::currentThreadId());
    PassReport report(context);
    while (!context.stopRequested.load()) {
        bool reported = report.due();
        Platform::ThreadMessage message;
        if (Platform::peekThreadMessage(message, true))
            noteQuitRequest(context, message);
        // While messages keep coming the listener looks again soon, so that
        // a flood cannot fill the queue a command needs.
        const bool busy = receiveRound(context, *slot) > 0;
        if (context.stopRequested.load())
            break;
        if (reported) {
            serverText(context, 5, "Now sleeping for a while.");
            report.restart();
        }
        // The quit message ends the pause at once rather than after a
        // whole poll interval.
        const uint32_t idle = told ? report.msLeft() : context.timing.pollMs;
        const uint32_t pause = busy ? std::min(context.timing.busyPollMs, idle) : idle;
        if (Platform::waitThreadMessage(message, pause) >= 0)
            noteQuitRequest(context, message);
    }

    debugText(context, 1, "IPC: Exited IPC listener.");
    // The name is free again before the owner hears of the end.
    slot.reset();
    context.exited = true;
    return 0;
}

} // namespace

void IPCServer::debug(int32_t level, const std::string& text) const { debugText(context_, level, text); }

IPCServer::IPCServer(const std::string& name, LogSink sink, Callback callback, const IPCServerTiming& timing,
                     Triage triage)
{
    context_.triage = std::move(triage);
    context_.stopRequested = false;
    context_.exited = false;
    context_.sink = std::move(sink);
    context_.name = name;
    // Registered before the thread starts, so no early message misses it.
    context_.callback = std::move(callback);
    context_.timing = timing;
    try {
        thread_ = SmartPointer<ThreadInstance>(new ThreadInstance(listener, &context_));
        thread_->setName("listener");
        thread_->execute();
    } catch (JobException& e) {
        debug(1, e.fullText());
        thread_.release();
        throw;
    } catch (...) {
        debug(1, "Unknown error when creating listener.");
        thread_.release();
        throw IPCException(IPCException::IC_CANNOT_RECEIVE, "", TELVAR_HERE);
    }
    if (!awaitListener()) {
        const std::string failure = context_.failure;
        debug(2, "IPC: Server \"" + context_.name + "\" not created: " + failure + ".");
        thread_->stop(false, -1, context_.timing.threadStopWaitMs);
        thread_.release();
        throw IPCException(IPCException::IC_CANNOT_CREATE_COMM, failure, TELVAR_HERE);
    }
    debug(1, "IPC: Created server \"" + context_.name + "\".");
}

bool IPCServer::awaitListener()
{
    std::unique_lock<std::mutex> guard(context_.startLock);
    // A wait for another thread, not for time: bounded only against a
    // listener that never gets to run.
    context_.started.wait_for(guard, std::chrono::milliseconds(context_.timing.startWaitMs),
                              [this] { return context_.startState != 0; });
    if (context_.startState == 0) {
        context_.failure = "the listener of " + MailSlot::printableName(context_.name) + " did not start";
        return false;
    }
    return context_.startState > 0;
}

IPCServer::~IPCServer()
{
    if (!thread_.isNull()) {
        try {
            thread_->stop(false, -1, context_.timing.threadStopWaitMs);
        } catch (const Exception& e) {
            debug(1, e.fullText());
        }
        thread_.release();
    }
    debug(1, "IPC: Destroyed server \"" + context_.name + "\".");
}

void IPCServer::requestStop()
{
    if (context_.exited.load() || context_.stopRequested.exchange(true))
        return;
    // The quit message ends the listener's pause at once instead of after
    // a whole poll interval.
    if (!thread_.isNull())
        Platform::postThreadMessage(thread_->threadId(), Platform::MSG_DESTROY, 0, 0);
}

void IPCServer::stop()
{
    // Once ended, later calls (the owner's shutdown, then its destructor)
    // cost nothing.
    if (context_.exited.load())
        return;
    requestStop();
    const int64_t budget = static_cast<int64_t>(context_.timing.stopSteps) * context_.timing.stopStepMs;
    const int64_t step = std::min<int64_t>(STOP_LOOK_MS, std::max<int64_t>(1, context_.timing.stopStepMs));
    for (int64_t waited = 0; waited < budget; waited += step) {
        Clock::current().sleepMilliseconds(static_cast<int>(step));
        if (context_.exited.load()) {
            debug(1, "IPC: Stopped server \"" + context_.name + "\".");
            return;
        }
    }
    debug(1, "IPC: Stopping server \"" + context_.name + "\" timed out.");
}

const Platform::MailslotSender* IPCServer::handledSender() { return currentSender; }

bool IPCServer::splitMessage(const std::string& message, IPCFields& fields)
{
    fields = IPCFields();
    size_t end = message.find(IPCClient::FIELD_END);
    if (message.compare(0, end, IPCClient::ADDRESSEE) != 0)
        return false;
    std::string* targets[] = {&fields.type, &fields.identifier, &fields.payload, &fields.replyTo};
    for (std::string* target : targets) {
        if (end == std::string::npos)
            break;
        size_t start = end + 1;
        end = message.find(IPCClient::FIELD_END, start);
        // An unterminated last field is taken up to the end of the text.
        *target = message.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    return true;
}

} // namespace Telvar
