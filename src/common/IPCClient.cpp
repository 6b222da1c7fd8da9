#include "common/IPCClient.h"

#include <new>

#include "common/Exception.h"
#include "common/MailSlot.h"

namespace Telvar {

IPCClient::IPCClient(const std::string& target) : slot_(nullptr), target_(target) {}

IPCClient::~IPCClient() { delete slot_; }

std::string IPCClient::composeMessage(const std::string& type, const std::string& identifier,
                                      const std::string& payload, const std::string& replyTo)
{
    std::string text;
    text.reserve(type.size() + identifier.size() + payload.size() + replyTo.size() + 12);
    text += ADDRESSEE;
    text += FIELD_END;
    text += type;
    text += FIELD_END;
    text += identifier;
    text += FIELD_END;
    text += payload;
    text += FIELD_END;
    if (!replyTo.empty()) {
        text += replyTo;
        text += FIELD_END;
    }
    return text;
}

bool IPCClient::send(const std::string& type, const std::string& identifier, const std::string& payload,
                     const std::string& replyTo)
{
    try {
        return sendRaw(composeMessage(type, identifier, payload, replyTo));
    } catch (IPCException& e) {
        e.addTrace(TELVAR_HERE);
        throw;
    }
}

bool IPCClient::sendRaw(const std::string& text)
{
    if (slot_ == nullptr) {
        try {
            slot_ = new MailSlot(IPC_SENDER_LOCAL, target_);
        } catch (IPCException& e) {
            e.addTrace(TELVAR_HERE);
            throw;
        } catch (const std::bad_alloc&) {
            throw IPCException(IPCException::IC_MEM, "", TELVAR_HERE);
        }
    }
    try {
        lastError_.clear();
        return slot_->send(text);
    } catch (const IPCException& e) {
        // An absent or unreachable target is normal: the sender carries on.
        lastError_ = e.message();
        return false;
    }
}

} // namespace Telvar
