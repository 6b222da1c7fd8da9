#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/IPC.h"
#include "platform/MailslotTransport.h"

namespace Telvar {

class Monopoly;

// A named mailslot: mode 0 creates and reads it, modes 1 and 2 write to it.
// All writers of an account serialise through the named lock
// "Telvar_MailSlot"; a writer waiting for it sleeps between tries.
class MailSlot : public IPC {
public:
    static constexpr const char* WRITER_LOCK_NAME = "Telvar_MailSlot";
    // Twice what the transport queues: one receive takes everything waiting.
    static constexpr size_t MAX_MESSAGES_PER_RECEIVE = 32768;
    // Text of a send that found the receiver's queue full.
    static constexpr const char* FULL_TEXT = "mailslot full";
    static constexpr size_t MAX_PRINTED_NAME = 100;

    // Receives debug texts of all mail slots of the process (level, text).
    using DebugHook = std::function<void(int32_t level, const std::string& text)>;

    MailSlot(int32_t mode, const std::string& name);
    MailSlot(const MailSlot&) = delete;
    MailSlot& operator=(const MailSlot&) = delete;
    ~MailSlot() override;

    bool send(const std::string& text) override;
    int32_t receive(std::vector<std::string>& messages) override;
    // As receive, with each message's sender at the same index.
    int32_t receive(std::vector<std::string>& messages, std::vector<Platform::MailslotSender>& senders);

    // Receiver: arrivals post MSG_WAKE to the thread (notifyMailslotArrivals),
    // so that it can wait on its message queue; false when they cannot.
    bool notifyArrivals(Platform::ThreadId thread);

    // "uid 0, pid 4242", or what the system does not tell.
    static std::string senderText(const Platform::MailslotSender& sender);

    const std::string& name() const { return name_; }

    // Receiver: messages not beginning with prefix are dropped on arrival,
    // so that a flood of them neither fills the queue nor costs a receive.
    void acceptOnly(const std::string& prefix);

    // Receiver: messages refused for their sender since the last call.
    Platform::MailslotRefusals takeRefusals();

    // "the name N is in use by PID n" for a name that could not be created.
    static std::string holderText(const std::string& name);

    // Oversized messages dropped by receive since the last call.
    uint32_t takeDroppedCount();

    // 1 to 100 letters, digits, '_', '-' or '.'.
    static bool isValidName(const std::string& name);
    // The name for texts: control and non-ASCII bytes, '\\' and '"' written
    // as \xNN, cut after MAX_PRINTED_NAME characters.
    static std::string printableName(const std::string& name);

    // Installs (or with an empty function removes) the process-wide hook.
    static void setDebugHook(DebugHook hook);

private:
    void openForWriting();
    void debug(int32_t level, const std::string& text) const;

    Platform::MailslotHandle handle_;
    std::string name_;
    Monopoly* writerLock_;
    uint32_t dropped_;
};

} // namespace Telvar
