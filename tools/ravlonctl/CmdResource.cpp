// ravlonctl resource: read and write the collector's resources.
#include "Command.h"

#include "common/IPCServer.h"
#include "common/Resources.h"
#include "platform/SystemError.h"
#include "platform/Registry.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace Telvar {
namespace Ctl {
namespace {

int runResource(const Args& args);

const Command resourceCommand = {
    "resource",
    "ravlonctl resource list | get NAME | set [--number] NAME VALUE",
    "list, read or write resources",
    "Resources are the named values of the resource key (HKEY_LOCAL_MACHINE\\\n"
    "SOFTWARE\\Telvar\\Resources, or the key TELVAR_ENV names).\n"
    "\n"
    "  list                    print every resource as NAME=VALUE, sorted by name\n"
    "  get NAME                print the value of one resource (references\n"
    "                          \"${name}\" to other resources are replaced)\n"
    "  set NAME VALUE          store a text resource\n"
    "  set --number NAME VALUE store a number resource (0 to 4294967295)\n"
    "\n"
    "Names are at most 240 bytes. Control characters are shown as \\xNN.\n"
    "\n"
    "On Linux the key lives below TELVAR_REGISTRY_ROOT (default\n"
    "/var/lib/telvar/registry). Exit codes: 0 ok, 1 failure, 2 usage.",
    runResource,
};

const CommandRegistrar registrar(resourceCommand);

std::string keyName()
{
    return "HKEY_LOCAL_MACHINE\\" + resourceKeyPath();
}

// Text or number, as the value is stored; false when it cannot be read.
bool valueText(const std::string& name, std::string& out)
{
    std::string text;
    const int32_t result = getResource(name, text);
    if (result == RESOURCE_OK) {
        out = text;
        return true;
    }
    uint32_t number = 0;
    if (result == RESOURCE_WRONG_TYPE && getResourceNumber(name, number) == RESOURCE_OK) {
        out = std::to_string(number);
        return true;
    }
    return false;
}

std::string shown(const std::string& text) { return IPCServer::printable(text); }

int listAll()
{
    std::vector<std::string> names;
    if (listResources(names) != RESOURCE_OK) {
        std::fprintf(stderr, "ravlonctl resource: cannot open %s\n", keyName().c_str());
        return EXIT_FAILED;
    }
    int status = EXIT_OK;
    for (const std::string& name : names) {
        std::string value;
        if (valueText(name, value)) {
            // Stored bytes must not drive the terminal.
            std::printf("%s=%s\n", shown(name).c_str(), shown(value).c_str());
        } else {
            std::fprintf(stderr, "ravlonctl resource: %s: cannot be read\n", shown(name).c_str());
            status = EXIT_FAILED;
        }
    }
    return status;
}

int getOne(const std::string& name)
{
    std::string value;
    if (!valueText(name, value)) {
        std::fprintf(stderr, "ravlonctl resource: %s: not found in %s\n", shown(name).c_str(),
                     keyName().c_str());
        return EXIT_FAILED;
    }
    std::printf("%s\n", shown(value).c_str());
    return EXIT_OK;
}

int setOne(const std::string& name, const std::string& value, bool number)
{
    if (name.size() > Platform::REGISTRY_MAX_VALUE_NAME)
        return usageError(resourceCommand, "NAME longer than " + std::to_string(Platform::REGISTRY_MAX_VALUE_NAME) +
                                               " bytes");
    int32_t result = RESOURCE_OK;
    if (number) {
        const bool digits = !value.empty() && value.size() <= 10 &&
                            value.find_first_not_of("0123456789") == std::string::npos;
        const unsigned long long n = digits ? std::strtoull(value.c_str(), nullptr, 10) : 0;
        if (!digits || n > 0xffffffffull)
            return usageError(resourceCommand, "not a number from 0 to 4294967295: " + value);
        const uint32_t dword = static_cast<uint32_t>(n);
        const uint8_t bytes[4] = {static_cast<uint8_t>(dword), static_cast<uint8_t>(dword >> 8),
                                  static_cast<uint8_t>(dword >> 16), static_cast<uint8_t>(dword >> 24)};
        result = writeRegistryText(resourceKeyPath(), name, Platform::REGISTRY_DWORD, bytes, 4, false);
    } else {
        result = setResource(name, value);
    }
    if (result != RESOURCE_OK) {
        const std::string why = Platform::lastErrorText();
        std::fprintf(stderr, "ravlonctl resource: cannot write %s in the resource store %s: %s\n", name.c_str(),
                     resourceStoreLocation().c_str(), why.c_str());
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

int runResource(const Args& args)
{
    if (args.empty())
        return usageError(resourceCommand, "missing action");
    const std::string& action = args[0];
    if (action == "list") {
        if (args.size() != 1)
            return usageError(resourceCommand, "list takes no arguments");
        return listAll();
    }
    if (action == "get") {
        if (args.size() != 2)
            return usageError(resourceCommand, "get needs exactly one NAME");
        return getOne(args[1]);
    }
    if (action == "set") {
        const bool number = args.size() > 1 && args[1] == "--number";
        const size_t first = number ? 2 : 1;
        if (args.size() != first + 2)
            return usageError(resourceCommand, "set needs NAME and VALUE");
        return setOne(args[first], args[first + 1], number);
    }
    return usageError(resourceCommand, "unknown action '" + action + "'");
}

} // namespace
} // namespace Ctl
} // namespace Telvar
