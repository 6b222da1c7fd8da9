#include "common/MailSlot.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>

#include "common/DateTime.h"
#include "common/Exception.h"
#include "common/StringUtil.h"
#include "common/Monopoly.h"
#include "platform/SystemError.h"

namespace Telvar {

namespace {

std::recursive_mutex& hookMutex()
{
    static std::recursive_mutex* m = new std::recursive_mutex;
    return *m;
}

MailSlot::DebugHook& hook()
{
    static MailSlot::DebugHook* h = new MailSlot::DebugHook;
    return *h;
}

std::atomic<bool> broadcastNoted{false};

// A writer that cannot get the machine-wide lock in this time gives up
// rather than stall its thread.
constexpr auto WRITER_LOCK_PATIENCE = std::chrono::seconds(5);
constexpr int WRITER_LOCK_MAX_PAUSE_MS = 50;

std::string nameRule(const std::string& name)
{
    return "Invalid mailslot name \"" + MailSlot::printableName(name) +
           "\": 1 to 100 letters, digits, '_', '-' or '.' expected";
}

} // namespace

MailSlot::MailSlot(int32_t mode, const std::string& name)
    : IPC(mode), handle_(Platform::INVALID_MAILSLOT_HANDLE), name_(name), writerLock_(nullptr), dropped_(0)
{
    writerLock_ = new (std::nothrow) Monopoly(WRITER_LOCK_NAME);
    if (writerLock_ == nullptr)
        throw IPCException(IPCException::IC_MEM, "", TELVAR_HERE);
    if (mode != IPC_RECEIVER)
        return;
    uint32_t error = Platform::ERR_SUCCESS;
    if (!isValidName(name)) {
        delete writerLock_;
        throw IPCException(IPCException::IC_CANNOT_CREATE_COMM, nameRule(name), TELVAR_HERE);
    }
    error = Platform::createMailslot(name, handle_);
    if (error != Platform::ERR_SUCCESS) {
        handle_ = Platform::INVALID_MAILSLOT_HANDLE;
        delete writerLock_;
        const std::string why = Platform::mailslotFailureText();
        throw IPCException(IPCException::IC_CANNOT_CREATE_COMM, why.empty() ? std::to_string(error) : why,
                           TELVAR_HERE);
    }
}

MailSlot::~MailSlot()
{
    if (handle_ != Platform::INVALID_MAILSLOT_HANDLE)
        Platform::closeMailslot(handle_);
    delete writerLock_;
}

bool MailSlot::isValidName(const std::string& name) { return Platform::isValidMailslotName(name); }

std::string MailSlot::printableName(const std::string& name)
{
    std::string out;
    size_t shown = 0;
    for (char c : name) {
        if (++shown > MAX_PRINTED_NAME) {
            out += "...";
            break;
        }
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 32 || u >= 127 || c == '\\' || c == '"') {
            StringUtil::appendHexEscape(out, u);
        } else {
            out += c;
        }
    }
    return out;
}

void MailSlot::setDebugHook(DebugHook newHook)
{
    std::lock_guard<std::recursive_mutex> lock(hookMutex());
    hook() = std::move(newHook);
}

void MailSlot::debug(int32_t level, const std::string& text) const
{
    std::lock_guard<std::recursive_mutex> lock(hookMutex());
    if (hook())
        hook()(level, text);
}

void MailSlot::openForWriting()
{
    if (!isValidName(name_))
        throw IPCException(IPCException::IC_CANNOT_SEND, nameRule(name_), TELVAR_HERE);
    bool broadcast = mode_ == IPC_SENDER_BROADCAST;
    if (broadcast && !broadcastNoted.exchange(true))
        debug(1, "MailSlot: Broadcast to every machine is not available here; \"" + name_ +
                     "\" is written on this machine only.");
    Platform::MailslotHandle handle = Platform::INVALID_MAILSLOT_HANDLE;
    uint32_t error = Platform::openMailslot(name_, broadcast, handle);
    if (error != Platform::ERR_SUCCESS)
        throw IPCException(IPCException::IC_CANNOT_SEND, Platform::systemErrorMessage(error), TELVAR_HERE);
    handle_ = handle;
}

bool MailSlot::send(const std::string& text)
{
    if (mode_ == IPC_RECEIVER)
        throw IPCException(IPCException::IC_NOT_SENDER, "", TELVAR_HERE);
    // The receiver would drop it: say so here rather than answer success.
    if (text.size() + 1 > Platform::MAILSLOT_MAX_MESSAGE)
        throw IPCException(IPCException::IC_CANNOT_SEND,
                           "Message of " + std::to_string(text.size() + 1) + " bytes exceeds the limit of " +
                               std::to_string(Platform::MAILSLOT_MAX_MESSAGE) + " bytes",
                           TELVAR_HERE);
    if (handle_ == Platform::INVALID_MAILSLOT_HANDLE)
        openForWriting();

    auto giveUp = std::chrono::steady_clock::now() + WRITER_LOCK_PATIENCE;
    int pause = 1;
    while (!writerLock_->enforce()) {
        if (std::chrono::steady_clock::now() > giveUp)
            throw IPCException(IPCException::IC_CANNOT_SEND,
                               std::string("Could not obtain the lock \"") + WRITER_LOCK_NAME + "\"", TELVAR_HERE);
        // A lock held long must not cost the waiting writer a processor.
        DateTime::sleepMilliseconds(pause);
        pause = std::min(pause * 2, WRITER_LOCK_MAX_PAUSE_MS);
    }
    uint32_t error = Platform::writeMailslot(handle_, text.c_str(), text.size() + 1);
    bool released = writerLock_->relax();
    if (error == Platform::ERR_SUCCESS)
        return released;

    std::string message = "Error " + std::to_string(error);
    if (error == Platform::ERR_NETWORK_UNREACHABLE)
        message += " - No network";
    if (error == Platform::ERR_SEM_TIMEOUT)
        message += std::string(" - ") + FULL_TEXT;
    Platform::closeMailslot(handle_);
    handle_ = Platform::INVALID_MAILSLOT_HANDLE;
    throw IPCException(IPCException::IC_CANNOT_SEND, message, TELVAR_HERE);
}

int32_t MailSlot::receive(std::vector<std::string>& messages)
{
    std::vector<Platform::MailslotSender> senders;
    return receive(messages, senders);
}

int32_t MailSlot::receive(std::vector<std::string>& messages, std::vector<Platform::MailslotSender>& senders)
{
    if (mode_ != IPC_RECEIVER)
        throw IPCException(IPCException::IC_NOT_RECEIVER, "", TELVAR_HERE);
    int32_t next = Platform::MAILSLOT_NO_MESSAGE;
    uint32_t error = Platform::mailslotNextSize(handle_, next);
    if (error != Platform::ERR_SUCCESS)
        throw IPCException(IPCException::IC_CANNOT_RECEIVE, "Error code " + std::to_string(error), TELVAR_HERE);
    // Bounded, so that a flood cannot keep the listener here.
    size_t taken = 0;
    while (next != Platform::MAILSLOT_NO_MESSAGE && taken < MAX_MESSAGES_PER_RECEIVE) {
        std::string message;
        Platform::MailslotSender sender;
        error = Platform::readMailslot(handle_, message, sender);
        if (error != Platform::ERR_SUCCESS)
            throw IPCException(IPCException::IC_CANNOT_RECEIVE, "Error code " + std::to_string(error), TELVAR_HERE);
        // Only the terminating NUL goes: a NUL inside is part of the text,
        // so "DIE\0junk" can never pass for "DIE".
        if (!message.empty() && message.back() == '\0')
            message.pop_back();
        messages.push_back(std::move(message));
        senders.push_back(sender);
        ++taken;
        error = Platform::mailslotNextSize(handle_, next);
        if (error != Platform::ERR_SUCCESS)
            throw IPCException(IPCException::IC_CANNOT_RECEIVE, "Error code " + std::to_string(error), TELVAR_HERE);
    }
    uint32_t dropped = 0;
    if (Platform::takeMailslotDropCount(handle_, dropped) == Platform::ERR_SUCCESS && dropped > 0) {
        dropped_ += dropped;
        debug(2, "MailSlot: Dropped " + std::to_string(dropped) + " message(s) above " +
                     std::to_string(Platform::MAILSLOT_MAX_MESSAGE) + " bytes on \"" + name_ + "\".");
    }
    return next;
}

bool MailSlot::notifyArrivals(Platform::ThreadId thread)
{
    if (mode_ != IPC_RECEIVER)
        throw IPCException(IPCException::IC_NOT_RECEIVER, "", TELVAR_HERE);
    return Platform::notifyMailslotArrivals(handle_, thread) == Platform::ERR_SUCCESS;
}

std::string MailSlot::senderText(const Platform::MailslotSender& sender)
{
    if (!sender.known)
        return "a sender the mailslot does not name";
    return "uid " + std::to_string(sender.uid) + ", pid " + std::to_string(sender.pid);
}

void MailSlot::acceptOnly(const std::string& prefix)
{
    if (mode_ != IPC_RECEIVER)
        throw IPCException(IPCException::IC_NOT_RECEIVER, "", TELVAR_HERE);
    uint32_t error = Platform::setMailslotAcceptPrefix(handle_, prefix);
    if (error != Platform::ERR_SUCCESS)
        throw IPCException(IPCException::IC_CANNOT_RECEIVE, "Error code " + std::to_string(error), TELVAR_HERE);
}

Platform::MailslotRefusals MailSlot::takeRefusals()
{
    Platform::MailslotRefusals refusals;
    if (mode_ == IPC_RECEIVER)
        Platform::takeMailslotRefusals(handle_, refusals);
    return refusals;
}

std::string MailSlot::holderText(const std::string& name)
{
    uint32_t pid = Platform::mailslotHolder(name);
    return "the name " + printableName(name) + " is in use by " +
           (pid != 0 ? "PID " + std::to_string(pid) : std::string("another process"));
}

uint32_t MailSlot::takeDroppedCount()
{
    uint32_t dropped = dropped_;
    dropped_ = 0;
    return dropped;
}

} // namespace Telvar
