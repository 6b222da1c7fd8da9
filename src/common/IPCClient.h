#pragma once

#include <string>

namespace Telvar {

class MailSlot;

// Composes messages and sends them to one target mailslot.
class IPCClient {
public:
    static constexpr char FIELD_END = '\x1b';
    static constexpr const char* ADDRESSEE = "Telvar";

    explicit IPCClient(const std::string& target);
    IPCClient(const IPCClient&) = delete;
    IPCClient& operator=(const IPCClient&) = delete;
    virtual ~IPCClient();

    // Sends "Telvar" ESC type ESC id ESC payload ESC [replyTo ESC]; false
    // when the target is absent or unreachable.
    bool send(const std::string& type, const std::string& identifier, const std::string& payload,
              const std::string& replyTo = std::string());

    // Sends a finished message text; false when the transport failed.
    bool sendRaw(const std::string& text);

    static std::string composeMessage(const std::string& type, const std::string& identifier,
                                      const std::string& payload, const std::string& replyTo);

    const std::string& target() const { return target_; }
    // Why the last send answered false ("" after a success).
    const std::string& lastError() const { return lastError_; }

private:
    MailSlot* slot_;
    std::string lastError_;
    std::string target_;
};

} // namespace Telvar
