#pragma once

#include "platform/Registry.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Telvar {

// Result codes of the registry and resource operations.
enum ResourceResult : int32_t {
    RESOURCE_OK = 0,
    RESOURCE_NO_MEMORY = 1,     // read text
    RESOURCE_WRITE_FAILED = 1,  // write text: key not created/opened or value not written
    RESOURCE_NOT_READ = 2,      // key not opened or value not read
    RESOURCE_WRONG_TYPE = 3,    // not a text value (read text) or not a number (read number)
    RESOURCE_TOO_LONG = 4,      // read text: longer than 1 MiB with its references expanded
};

// Key below HKEY_LOCAL_MACHINE holding the resources unless TELVAR_ENV names another.
constexpr const char* DEFAULT_RESOURCE_KEY = "SOFTWARE\\Telvar\\Resources";

// The resource key now: TELVAR_ENV when set, the default otherwise.
std::string resourceKeyPath();
// Where the resources are kept, for people (the file store's directory).
std::string resourceStoreLocation();

// Root keys by their names ("HKEY_LOCAL_MACHINE", ...); false for another name.
bool rootKeyByName(const std::string& name, Platform::RegistryRoot& root);

// Text of a REG_SZ, REG_EXPAND_SZ or REG_MULTI_SZ value below HKEY_LOCAL_MACHINE,
// trailing zero bytes dropped, "${name}" replaced by the resource name.
// On a non-zero result text is left unchanged.
int32_t readRegistryText(const std::string& keyPath, const std::string& valueName, std::string& text,
                         bool view64);
int32_t readRegistryNumber(const std::string& keyPath, const std::string& valueName,
                           uint32_t& number, bool view64);
// Creates the key when needed. The option flag selects the 64-bit view.
int32_t writeRegistryText(const std::string& keyPath, const std::string& valueName, uint32_t type,
                          const void* bytes, uint32_t length, bool option);
// Names of the values of a key; RESOURCE_NOT_READ when it cannot be opened.
int32_t listRegistryValues(const std::string& keyPath, std::vector<std::string>& names);

int32_t getResource(const std::string& name, std::string& text);
int32_t getResourceNumber(const std::string& name, uint32_t& number);
// Writes REG_SZ without a terminating zero byte.
int32_t setResource(const std::string& name, const std::string& text);
int32_t listResources(std::vector<std::string>& names);

} // namespace Telvar
