// Messages from other processes: splitting and printing must hold up to any
// bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/IPCClient.h"
#include "common/IPCServer.h"
#include "common/MailSlot.h"

using namespace Telvar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    IPCFields fields;
    if (IPCServer::splitMessage(text, fields)) {
        for (const std::string* f : {&fields.type, &fields.identifier, &fields.payload, &fields.replyTo})
            if (f->find(IPCClient::FIELD_END) != std::string::npos)
                std::abort();
        // What was split composes back to a message that splits the same.
        IPCFields again;
        std::string composed = IPCClient::composeMessage(fields.type, fields.identifier, fields.payload, fields.replyTo);
        if (!IPCServer::splitMessage(composed, again) || again.type != fields.type ||
            again.identifier != fields.identifier || again.payload != fields.payload || again.replyTo != fields.replyTo)
            std::abort();
    }
    for (char c : IPCServer::printable(text))
        if (static_cast<unsigned char>(c) < 32 || c == 127)
            std::abort();
    MailSlot::isValidName(text);
    MailSlot::printableName(text);
    return 0;
}
