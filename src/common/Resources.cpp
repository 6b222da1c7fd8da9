#include "common/Resources.h"

#include "platform/Process.h"

#include <algorithm>
#include <map>
#include <new>

namespace Telvar {

namespace {

constexpr uint32_t FIRST_BUFFER = 100;
// References nest at most this deep; a cycle stays as written instead of
// recursing without end.
constexpr int MAX_REFERENCE_DEPTH = 16;
// References read for one value at most: a value naming itself more than
// once would otherwise grow exponentially within the depth bound.
constexpr int MAX_REFERENCE_LOOKUPS = 256;
// Bound of a text with its references expanded.
constexpr size_t MAX_EXPANDED_BYTES = 1024 * 1024;

const std::map<std::string, Platform::RegistryRoot>& rootTable()
{
    static const std::map<std::string, Platform::RegistryRoot> table = {
        {"HKEY_CLASSES_ROOT", Platform::RegistryRoot::ClassesRoot},
        {"HKEY_CURRENT_CONFIG", Platform::RegistryRoot::CurrentConfig},
        {"HKEY_CURRENT_USER", Platform::RegistryRoot::CurrentUser},
        {"HKEY_LOCAL_MACHINE", Platform::RegistryRoot::LocalMachine},
        {"HKEY_USERS", Platform::RegistryRoot::Users},
    };
    return table;
}

Platform::RegistryRoot resourceRoot()
{
    Platform::RegistryRoot root = Platform::RegistryRoot::LocalMachine;
    rootKeyByName("HKEY_LOCAL_MACHINE", root);
    return root;
}

bool isTextType(uint32_t type)
{
    return type == Platform::REGISTRY_SZ || type == Platform::REGISTRY_EXPAND_SZ ||
           type == Platform::REGISTRY_MULTI_SZ;
}

// Closes the key on every way out.
class OpenKey {
public:
    OpenKey() = default;
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    ~OpenKey()
    {
        if (key_ != nullptr)
            Platform::registryCloseKey(key_);
    }
    Platform::RegistryKey& handle() { return key_; }

private:
    Platform::RegistryKey key_ = nullptr;
};

bool openForReading(const std::string& keyPath, bool view64, OpenKey& key)
{
    const uint32_t access =
        Platform::REGISTRY_KEY_READ | (view64 ? Platform::REGISTRY_KEY_WOW64_64KEY : 0);
    return Platform::registryOpenKey(resourceRoot(), keyPath, access, key.handle()) ==
           Platform::REGISTRY_SUCCESS;
}

int32_t readText(const std::string& keyPath, const std::string& valueName, std::string& text,
                 bool view64, int depth, int& lookups);

int32_t resourceText(const std::string& name, std::string& text, int depth, int& lookups)
{
    return readText(resourceKeyPath(), name, text, false, depth, lookups);
}

// Replaces each "${name}" by the resource name; one that cannot be read
// stays as written.
bool expandReferences(std::string& text, int depth, int& lookups)
{
    size_t pos = text.find("${");
    while (pos != std::string::npos && pos + 3 < text.size()) {
        const size_t close = text.find('}', pos + 2);
        if (close == std::string::npos)
            break;
        const std::string name = text.substr(pos + 2, close - pos - 2);
        std::string value;
        size_t next = close + 1;
        bool found = false;
        if (!name.empty() && depth < MAX_REFERENCE_DEPTH && lookups < MAX_REFERENCE_LOOKUPS) {
            ++lookups;
            found = resourceText(name, value, depth + 1, lookups) == RESOURCE_OK;
        }
        // Each value may be referenced many times: the whole is bounded.
        if (found && text.size() - (close + 1 - pos) + value.size() > MAX_EXPANDED_BYTES)
            return false;
        if (found) {
            text = text.substr(0, pos) + value + text.substr(close + 1);
            // Go on after the inserted value: it is expanded already, and the
            // text after it may hold further references.
            next = pos + value.size();
        }
        pos = text.find("${", next);
    }
    return true;
}

int32_t readText(const std::string& keyPath, const std::string& valueName, std::string& text,
                 bool view64, int depth, int& lookups)
{
    OpenKey key;
    if (!openForReading(keyPath, view64, key))
        return RESOURCE_NOT_READ;

    std::vector<uint8_t> buffer(FIRST_BUFFER);
    uint32_t type = Platform::REGISTRY_NONE;
    uint32_t size = FIRST_BUFFER;
    uint32_t result = Platform::registryQueryValue(key.handle(), valueName, type, buffer.data(), size);
    if (result == Platform::REGISTRY_MORE_DATA) {
        try {
            buffer.assign(size, 0);
        } catch (const std::bad_alloc&) {
            return RESOURCE_NO_MEMORY;
        }
        result = Platform::registryQueryValue(key.handle(), valueName, type, buffer.data(), size);
    }
    if (result != Platform::REGISTRY_SUCCESS)
        return RESOURCE_NOT_READ;
    if (!isTextType(type))
        return RESOURCE_WRONG_TYPE;

    while (size > 0 && buffer[size - 1] == 0)
        --size;
    std::string value(reinterpret_cast<const char*>(buffer.data()), size);
    if (!expandReferences(value, depth, lookups))
        return RESOURCE_TOO_LONG;
    text = value;
    return RESOURCE_OK;
}

} // namespace

std::string resourceKeyPath()
{
    if (Platform::hasEnvironmentVariable("TELVAR_ENV"))
        return Platform::environmentVariable("TELVAR_ENV");
    return DEFAULT_RESOURCE_KEY;
}

std::string resourceStoreLocation()
{
    return Platform::registryKeyLocation(Platform::RegistryRoot::LocalMachine, resourceKeyPath());
}

bool rootKeyByName(const std::string& name, Platform::RegistryRoot& root)
{
    const auto& table = rootTable();
    const auto it = table.find(name);
    if (it == table.end())
        return false;
    root = it->second;
    return true;
}

int32_t readRegistryText(const std::string& keyPath, const std::string& valueName, std::string& text,
                         bool view64)
{
    int lookups = 0;
    return readText(keyPath, valueName, text, view64, 0, lookups);
}

int32_t readRegistryNumber(const std::string& keyPath, const std::string& valueName,
                           uint32_t& number, bool view64)
{
    OpenKey key;
    if (!openForReading(keyPath, view64, key))
        return RESOURCE_NOT_READ;
    uint8_t buffer[FIRST_BUFFER] = {};
    uint32_t type = Platform::REGISTRY_NONE;
    uint32_t size = FIRST_BUFFER;
    if (Platform::registryQueryValue(key.handle(), valueName, type, buffer, size) !=
        Platform::REGISTRY_SUCCESS)
        return RESOURCE_NOT_READ;
    if (type != Platform::REGISTRY_DWORD)
        return RESOURCE_WRONG_TYPE;
    uint32_t value = 0;
    for (uint32_t i = 0; i < std::min<uint32_t>(size, 4); ++i)
        value |= static_cast<uint32_t>(buffer[i]) << (8 * i);
    number = value;
    return RESOURCE_OK;
}

int32_t writeRegistryText(const std::string& keyPath, const std::string& valueName, uint32_t type,
                          const void* bytes, uint32_t length, bool option)
{
    OpenKey key;
    const uint32_t access =
        Platform::REGISTRY_KEY_WRITE | (option ? Platform::REGISTRY_KEY_WOW64_64KEY : 0);
    if (Platform::registryCreateKey(resourceRoot(), keyPath, 0, access, key.handle()) !=
        Platform::REGISTRY_SUCCESS)
        return RESOURCE_WRITE_FAILED;
    if (Platform::registrySetValue(key.handle(), valueName, type,
                                   static_cast<const uint8_t*>(bytes), length) !=
        Platform::REGISTRY_SUCCESS)
        return RESOURCE_WRITE_FAILED;
    return RESOURCE_OK;
}

int32_t listRegistryValues(const std::string& keyPath, std::vector<std::string>& names)
{
    OpenKey key;
    if (Platform::registryOpenKey(resourceRoot(), keyPath, Platform::REGISTRY_KEY_READ,
                                  key.handle()) != Platform::REGISTRY_SUCCESS)
        return RESOURCE_NOT_READ;
    std::vector<std::string> found;
    if (Platform::registryValueNames(key.handle(), found) != Platform::REGISTRY_SUCCESS)
        return RESOURCE_NOT_READ;
    std::sort(found.begin(), found.end());
    names = found;
    return RESOURCE_OK;
}

int32_t getResource(const std::string& name, std::string& text)
{
    return readRegistryText(resourceKeyPath(), name, text, false);
}

int32_t getResourceNumber(const std::string& name, uint32_t& number)
{
    return readRegistryNumber(resourceKeyPath(), name, number, false);
}

int32_t setResource(const std::string& name, const std::string& text)
{
    return writeRegistryText(resourceKeyPath(), name, Platform::REGISTRY_SZ, text.data(),
                             static_cast<uint32_t>(text.size()), false);
}

int32_t listResources(std::vector<std::string>& names)
{
    return listRegistryValues(resourceKeyPath(), names);
}

} // namespace Telvar
