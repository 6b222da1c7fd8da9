// ravlonctl listen: shows the messages arriving on a mailslot.
#include "Command.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "common/Exception.h"
#include "common/IPCClient.h"
#include "common/IPCServer.h"
#include "common/MailSlot.h"
#include "common/Clock.h"
#include "platform/Process.h"

namespace Telvar {
namespace Ctl {

namespace {

int runListen(const Args& args);

const Command listenCommand = {
    "listen",
    "ravlonctl listen [NAME]",
    "show the messages arriving on a mailslot",
    "Creates the mailslot NAME (default Telvar_Core) and prints every message\n"
    "that arrives, one line each: its fields separated by \" | \", control\n"
    "characters shown as \\xNN. Runs until interrupted.\n"
    "\n"
    "Exit codes: 0 interrupted, 1 the mailslot could not be created, 2 usage.",
    runListen,
};

const CommandRegistrar registrar(listenCommand);

volatile std::sig_atomic_t interrupted = 0;

void onInterrupt() { interrupted = 1; }

// Fields separated by " | "; the ESC that ends the last field adds none.
std::string showMessage(const std::string& message)
{
    std::string line;
    size_t start = 0;
    for (;;) {
        size_t end = message.find(IPCClient::FIELD_END, start);
        if (start > 0)
            line += " | ";
        line += IPCServer::printable(message.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos || end + 1 == message.size())
            break;
        start = end + 1;
    }
    return line;
}

int runListen(const Args& args)
{
    if (args.size() > 1)
        return usageError(listenCommand, "only one NAME expected");
    std::string name = args.empty() ? "Telvar_Core" : args[0];
    if (!name.empty() && name[0] == '-')
        return usageError(listenCommand, "unknown option " + name);
    MailSlot* slot = nullptr;
    try {
        slot = new MailSlot(IPC_RECEIVER, name);
    } catch (const Exception& e) {
        std::fprintf(stderr, "ravlonctl listen: cannot create mailslot \"%s\": %s\n",
                     MailSlot::printableName(name).c_str(), e.fullText().c_str());
        return EXIT_FAILED;
    }
    // Unbuffered output and a stop that breaks off a blocked write: a reader
    // that stopped reading must not keep this process alive.
    Platform::setStopHandler(onInterrupt);
    std::fprintf(stderr, "ravlonctl listen: listening on \"%s\"\n", name.c_str());
    int result = EXIT_OK;
    while (!interrupted) {
        std::vector<std::string> messages;
        try {
            slot->receive(messages);
        } catch (const Exception& e) {
            std::fprintf(stderr, "ravlonctl listen: %s\n", e.fullText().c_str());
            result = EXIT_FAILED;
            break;
        }
        for (const std::string& message : messages) {
            if (interrupted || !Platform::writeStandardOutput(showMessage(message) + "\n"))
                break;
        }
        uint32_t dropped = slot->takeDroppedCount();
        if (dropped > 0)
            std::fprintf(stderr, "ravlonctl listen: dropped %u message(s) above 65536 bytes\n", dropped);
        Clock::current().sleepMilliseconds(50);
    }
    delete slot;
    return result;
}

} // namespace

} // namespace Ctl
} // namespace Telvar
