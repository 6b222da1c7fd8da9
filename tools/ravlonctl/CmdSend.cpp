// ravlonctl send: one message to a mailslot, optionally waiting for its reply.
#include "Command.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/Exception.h"
#include "common/IPCClient.h"
#include "common/IPCServer.h"
#include "common/MailSlot.h"
#include "platform/MailslotTransport.h"
#include "common/Clock.h"
#include "platform/Process.h"

namespace Telvar {
namespace Ctl {

namespace {

int runSend(const Args& args);

const Command sendCommand = {
    "send",
    "ravlonctl send [--to NAME] [--type TYPE] [--id ID] [--reply-to NAME] [--wait SECONDS] PAYLOAD",
    "send one message to a mailslot",
    "Sends one message \"Telvar\", TYPE, ID, PAYLOAD to the mailslot NAME.\n"
    "\n"
    "  --to NAME       target mailslot (default Telvar_Ravlon)\n"
    "  --type TYPE     message type (default COMMAND)\n"
    "  --id ID         identifier (default: a fresh one)\n"
    "  --reply-to NAME name the mailslot NAME as reply-to, so that the reply goes\n"
    "                  there (watch it with 'ravlonctl listen NAME')\n"
    "  --wait SECONDS  open a reply mailslot (NAME of --reply-to, else a fresh\n"
    "                  one), name it as reply-to, and print the payload of the\n"
    "                  REPLY carrying the same identifier\n"
    "\n"
    "Exit codes: 0 sent (and replied), 1 the send failed, 2 usage, 3 no reply in time.",
    runSend,
};

const CommandRegistrar registrar(sendCommand);

bool parseSeconds(const std::string& text, double& seconds)
{
    if (text.empty())
        return false;
    size_t used = 0;
    try {
        seconds = std::stod(text, &used);
    } catch (...) {
        return false;
    }
    return used == text.size() && seconds >= 0 && seconds <= 86400;
}

std::string freshIdentifier()
{
    return "ravlonctl-" + std::to_string(Platform::currentProcessId()) + "-" +
           std::to_string(Clock::current().nowSeconds()) + "-" + std::to_string(Clock::current().monotonicMilliseconds());
}

// Polls the reply slot until the matching REPLY arrives or the time is up.
bool awaitReply(MailSlot& slot, const std::string& identifier, double seconds, std::string& payload)
{
    int64_t until = Clock::current().monotonicMilliseconds() + static_cast<int64_t>(seconds * 1000);
    for (;;) {
        std::vector<std::string> messages;
        slot.receive(messages);
        for (const std::string& message : messages) {
            IPCFields fields;
            if (IPCServer::splitMessage(message, fields) && fields.type == "REPLY" &&
                fields.identifier == identifier) {
                payload = fields.payload;
                return true;
            }
        }
        if (Clock::current().monotonicMilliseconds() >= until)
            return false;
        Clock::current().sleepMilliseconds(20);
    }
}

struct SendOptions {
    std::string target = "Telvar_Ravlon";
    std::string type = "COMMAND";
    std::string identifier;
    bool haveIdentifier = false;
    bool wait = false;
    double seconds = 0;
    std::string replyTo;
    std::string payload;
};

// Takes --NAME VALUE; returns a usage problem (empty when fine).
std::string takeSendOption(const std::string& name, const std::string& value, SendOptions& o)
{
    if (name == "--to") {
        o.target = value;
    } else if (name == "--type") {
        o.type = value;
    } else if (name == "--id") {
        o.identifier = value;
        o.haveIdentifier = true;
    } else if (name == "--reply-to") {
        o.replyTo = value;
    } else if (!parseSeconds(value, o.seconds)) {
        return "--wait expects seconds, not \"" + value + "\"";
    } else {
        o.wait = true;
    }
    return std::string();
}

// 0 when the arguments are sound, else the usage error's exit code.
int parseSendArgs(const Args& args, SendOptions& o)
{
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool takesValue = a == "--to" || a == "--type" || a == "--id" || a == "--wait" || a == "--reply-to";
        if (takesValue) {
            if (i + 1 >= args.size())
                return usageError(sendCommand, a + " needs a value");
            std::string problem = takeSendOption(a, args[++i], o);
            if (!problem.empty())
                return usageError(sendCommand, problem);
        } else if (a == "--") {
            positional.insert(positional.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
            return usageError(sendCommand, "unknown option " + a);
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 1)
        return usageError(sendCommand, positional.empty() ? "PAYLOAD missing" : "only one PAYLOAD expected");
    o.payload = positional[0];
    if (!MailSlot::isValidName(o.target))
        return usageError(sendCommand, "invalid mailslot name \"" + MailSlot::printableName(o.target) +
                                           "\": 1 to 100 letters, digits, '_', '-' or '.' expected");
    if (!o.replyTo.empty() && !MailSlot::isValidName(o.replyTo))
        return usageError(sendCommand, "invalid reply mailslot name \"" + MailSlot::printableName(o.replyTo) +
                                           "\": 1 to 100 letters, digits, '_', '-' or '.' expected");
    return 0;
}

constexpr uint32_t OPERATOR_WRITE_WAIT_MS = 1500;

// Sends, then with --wait prints the reply. Throws what the mailslots throw.
int sendAndAwait(SendOptions& o)
{
    std::unique_ptr<MailSlot> replySlot;
    if (o.wait) {
        if (o.replyTo.empty())
            o.replyTo = "ravlonctl_" + std::to_string(Platform::currentProcessId()) + "_" +
                        std::to_string(Clock::current().monotonicMilliseconds());
        replySlot.reset(new MailSlot(IPC_RECEIVER, o.replyTo));
    }
    // An operator's command waits for room in a flooded slot longer than
    // the program's own messages do.
    Platform::setMailslotWriteWaitMilliseconds(OPERATOR_WRITE_WAIT_MS);
    IPCClient client(o.target);
    if (!client.send(o.type, o.identifier, o.payload, o.replyTo)) {
        bool full = client.lastError().find(MailSlot::FULL_TEXT) != std::string::npos;
        std::fprintf(stderr, "ravlonctl send: could not send to \"%s\" (%s)\n", o.target.c_str(),
                     full ? MailSlot::FULL_TEXT : "no such mailslot?");
        return EXIT_FAILED;
    }
    if (!o.wait)
        return EXIT_OK;
    std::string payload;
    if (!awaitReply(*replySlot, o.identifier, o.seconds, payload)) {
        std::fprintf(stderr, "ravlonctl send: no reply from \"%s\" within %g s\n", o.target.c_str(), o.seconds);
        return EXIT_TIMEOUT;
    }
    std::printf("%s\n", IPCServer::printable(payload).c_str());
    return EXIT_OK;
}

int runSend(const Args& args)
{
    SendOptions options;
    if (int error = parseSendArgs(args, options))
        return error;
    if (!options.haveIdentifier)
        options.identifier = freshIdentifier();
    try {
        return sendAndAwait(options);
    } catch (const Exception& e) {
        std::fprintf(stderr, "ravlonctl send: %s\n", e.fullText().c_str());
        return EXIT_FAILED;
    }
}

} // namespace

} // namespace Ctl
} // namespace Telvar
