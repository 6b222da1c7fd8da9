#include "common/IPCServer.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <new>

#include "common/Exception.h"
#include "common/StringUtil.h"
#include "common/IPCClient.h"
#include "common/MailSlot.h"
#include "common/ThreadInstance.h"
#include "logger/LoggerUnit.h"
#include "logger/ParamStream.h"
#include "platform/Clock.h"
#include "platform/Thread.h"

namespace Telvar {

namespace {

using Context = IPCServer::Context;

void debugText(const SmartPointer<LoggerUnit>& unit, int32_t level, const std::string& text)
{
    if (!unit.isNull())
        unit->debug(level, text);
}

void debugTemplate(const SmartPointer<LoggerUnit>& unit, int32_t level, const char* templ, const ParamStream& params)
{
    if (!unit.isNull())
        unit->debug(level, templ, params);
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

void handleMessages(Context& context, const std::vector<std::string>& messages)
{
    const SmartPointer<LoggerUnit>& unit = *context.unit;
    const std::string& name = *context.name;
    debugTemplate(unit, 4, "IPC: Server \"%s\": Received %i message(s)...",
                  ParamStream() << name << static_cast<int>(messages.size()));
    for (const std::string& line : messages) {
        debugTemplate(unit, 5, "IPC: Received message line \"%s\".", ParamStream() << IPCServer::printable(line));
        IPCFields fields;
        if (!IPCServer::splitMessage(line, fields)) {
            debugText(unit, 4, "IPC: The message was not adressed to Telvar. Ignoring it.");
            continue;
        }
        if (!context.callback)
            continue;
        // What the callback does is its own business, but it must not take
        // the listener down with it.
        try {
            context.callback(fields.type, fields.identifier, fields.payload, fields.replyTo);
        } catch (const Exception& e) {
            debugText(unit, 1, "IPC: Handling a message failed: " + e.fullText());
        } catch (const std::exception& e) {
            debugText(unit, 1, std::string("IPC: Handling a message failed: ") + e.what());
        }
    }
}

bool isQuitRequest(const Platform::ThreadMessage& message) { return message.message == Platform::MSG_DESTROY; }

int32_t listener(void* parameter)
{
    Context& context = *static_cast<Context*>(parameter);
    const SmartPointer<LoggerUnit>& unit = *context.unit;
    const std::string& name = *context.name;
    // The queue exists before the mailslot does: whoever can reach the
    // mailslot can also ask the listener to quit.
    Platform::ensureThreadMessageQueue();

    debugText(unit, 2, "IPC: Initializing listener for \"" + name + "\".");
    debugText(unit, 2, "IPC: Creating MailSlot \"" + name + "\".");
    std::unique_ptr<MailSlot> slot;
    try {
        slot.reset(new MailSlot(IPC_RECEIVER, name));
    } catch (const IPCException& e) {
        debugText(unit, 1, e.fullText());
        return -1;
    }
    debugText(unit, 2, "IPC: MailSlot created \"" + name + "\".");

    int64_t reportAt = Platform::monotonicMilliseconds() + context.timing.reportMs;
    int passes = 0;
    while (!context.stopRequested.load()) {
        bool report = Platform::monotonicMilliseconds() >= reportAt;
        if (report) {
            debugTemplate(unit, 5,
                          "IPC: Server \"%s\": Checking for incomming messages. Done so %i times since last debug.",
                          ParamStream() << name << passes);
            passes = 0;
        } else {
            ++passes;
        }

        Platform::ThreadMessage message;
        if (Platform::peekThreadMessage(message, true) && isQuitRequest(message)) {
            debugText(unit, 4, "IPC: Received message to exit IPC listener.");
            context.stopRequested = true;
        }

        std::vector<std::string> messages;
        bool received = true;
        try {
            slot->receive(messages);
        } catch (const IPCException&) {
            debugTemplate(unit, 1, "IPC: Server \"%s\": Failed to receive messages", ParamStream() << name);
            messages.clear();
            received = false;
        }
        if (received) {
            debugTemplate(unit, 5, "IPC: Server \"%s\": Received %i message(s)",
                          ParamStream() << name << static_cast<int>(messages.size()));
            uint32_t dropped = slot->takeDroppedCount();
            if (dropped > 0)
                debugTemplate(unit, 2, "IPC: Server \"%s\": Dropped %i message(s) above 65536 bytes.",
                              ParamStream() << name << static_cast<int>(dropped));
            if (!messages.empty())
                handleMessages(context, messages);
        }

        if (context.stopRequested.load())
            break;
        if (report) {
            debugTemplate(unit, 5, "IPC: Server \"%s\": Now sleeping for a while.", ParamStream() << name);
            reportAt = Platform::monotonicMilliseconds() + context.timing.reportMs;
        }
        // The quit message ends the pause at once rather than after a
        // whole poll interval.
        if (Platform::waitThreadMessage(message, context.timing.pollMs) >= 0 && isQuitRequest(message)) {
            debugText(unit, 4, "IPC: Received message to exit IPC listener.");
            context.stopRequested = true;
        }
    }

    debugText(unit, 1, "IPC: Exitited IPC listener.");
    // The name is free again before the owner hears of the end.
    slot.reset();
    context.exited = true;
    return 0;
}

} // namespace

IPCServer::IPCServer(const std::string& name, SmartPointer<LoggerCentre> centre, Callback callback,
                     const IPCServerTiming& timing)
{
    context_.stopRequested = false;
    context_.exited = false;
    unit_ = SmartPointer<LoggerUnit>(new LoggerUnit(centre, MODULE_IPC));
    name_ = name;
    context_.unit = &unit_;
    context_.name = &name_;
    // Registered before the thread starts, so no early message misses it.
    context_.callback = std::move(callback);
    context_.timing = timing;
    try {
        thread_ = SmartPointer<ThreadInstance>(new ThreadInstance(listener, &context_));
        thread_->execute();
    } catch (JobException& e) {
        debugText(unit_, 1, e.fullText());
        thread_.release();
        unit_.release();
        throw;
    } catch (...) {
        debugText(unit_, 1, "Unknown error when creating listener.");
        thread_.release();
        unit_.release();
        throw IPCException(IPCException::IC_CANNOT_RECEIVE, "", TELVAR_HERE);
    }
    debugText(unit_, 1, "IPC: Created server \"" + name_ + "\".");
}

IPCServer::~IPCServer()
{
    if (!thread_.isNull()) {
        try {
            thread_->stop(false, -1, context_.timing.threadStopWaitMs);
        } catch (const Exception& e) {
            debugText(unit_, 1, e.fullText());
        }
        thread_.release();
    }
    debugText(unit_, 1, "IPC: Destroyed server \"" + name_ + "\".");
    unit_.release();
}

void IPCServer::stop()
{
    // Once ended, later calls (the owner's shutdown, then its destructor)
    // cost nothing.
    if (context_.exited.load())
        return;
    context_.stopRequested = true;
    // The quit message ends the listener's pause at once instead of after
    // a whole poll interval.
    if (!thread_.isNull())
        Platform::postThreadMessage(thread_->threadId(), Platform::MSG_DESTROY, 0, 0);
    const int64_t budget = static_cast<int64_t>(context_.timing.stopSteps) * context_.timing.stopStepMs;
    const int64_t step = std::min<int64_t>(STOP_LOOK_MS, std::max<int64_t>(1, context_.timing.stopStepMs));
    for (int64_t waited = 0; waited < budget; waited += step) {
        Platform::threadSleep(static_cast<uint32_t>(step));
        if (context_.exited.load()) {
            debugText(unit_, 1, "IPC: Stopped server \"" + name_ + "\".");
            return;
        }
    }
    debugTemplate(unit_, 1, "IPC: Stopping server \"%s\" timed out.", ParamStream() << name_);
}

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
