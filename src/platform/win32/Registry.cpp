#include "platform/Registry.h"

#include <cstdlib>

#include <windows.h>

namespace Telvar {
namespace Platform {

struct RegistryKeyData {
    HKEY key = nullptr;
};

namespace {

HKEY predefinedKey(RegistryRoot root)
{
    switch (root) {
    case RegistryRoot::ClassesRoot: return HKEY_CLASSES_ROOT;
    case RegistryRoot::CurrentConfig: return HKEY_CURRENT_CONFIG;
    case RegistryRoot::CurrentUser: return HKEY_CURRENT_USER;
    case RegistryRoot::LocalMachine: return HKEY_LOCAL_MACHINE;
    case RegistryRoot::Users: return HKEY_USERS;
    }
    return HKEY_LOCAL_MACHINE;
}

const char* rootName(RegistryRoot root)
{
    switch (root) {
    case RegistryRoot::ClassesRoot: return "HKEY_CLASSES_ROOT";
    case RegistryRoot::CurrentConfig: return "HKEY_CURRENT_CONFIG";
    case RegistryRoot::CurrentUser: return "HKEY_CURRENT_USER";
    case RegistryRoot::LocalMachine: return "HKEY_LOCAL_MACHINE";
    case RegistryRoot::Users: return "HKEY_USERS";
    }
    return "HKEY_LOCAL_MACHINE";
}

// TELVAR_REGISTRY_ROOT gives a private tree, as with the file store of the
// other systems: every root then lives under one key of the current user,
// named after the variable's value, so that runs side by side do not meet.
void resolve(RegistryRoot root, const std::string& subKey, HKEY& base, std::string& path)
{
    const char* env = std::getenv("TELVAR_REGISTRY_ROOT");
    if (env == nullptr || *env == '\0') {
        base = predefinedKey(root);
        path = subKey;
        return;
    }
    std::string tag;
    for (const char* c = env; *c != '\0'; ++c)
        tag += (*c == '\\' || *c == '/' || *c == ':') ? '_' : *c;
    base = HKEY_CURRENT_USER;
    path = "Software\\Telvar\\PrivateRegistry\\" + tag + "\\" + rootName(root);
    if (!subKey.empty())
        path += "\\" + subKey;
}

} // namespace

std::string registryKeyLocation(RegistryRoot root, const std::string& subKey)
{
    HKEY base = nullptr;
    std::string path;
    resolve(root, subKey, base, path);
    const char* env = std::getenv("TELVAR_REGISTRY_ROOT");
    return std::string(env != nullptr && *env != '\0' ? "HKEY_CURRENT_USER" : rootName(root)) + "\\" + path;
}

uint32_t registryOpenKey(RegistryRoot root, const std::string& subKey, uint32_t access, RegistryKey& key)
{
    key = nullptr;
    HKEY base;
    std::string path;
    resolve(root, subKey, base, path);
    HKEY opened = nullptr;
    LONG rc = ::RegOpenKeyExA(base, path.empty() ? nullptr : path.c_str(), 0, access, &opened);
    if (rc != ERROR_SUCCESS)
        return static_cast<uint32_t>(rc);
    key = new RegistryKeyData;
    key->key = opened;
    return REGISTRY_SUCCESS;
}

uint32_t registryCreateKey(RegistryRoot root, const std::string& subKey, uint32_t options, uint32_t access,
                           RegistryKey& key)
{
    key = nullptr;
    HKEY base;
    std::string path;
    resolve(root, subKey, base, path);
    HKEY created = nullptr;
    LONG rc;
    if (path.empty())
        rc = ::RegOpenKeyExA(base, nullptr, 0, access, &created);
    else
        rc = ::RegCreateKeyExA(base, path.c_str(), 0, nullptr, options, access, nullptr, &created, nullptr);
    if (rc != ERROR_SUCCESS)
        return static_cast<uint32_t>(rc);
    key = new RegistryKeyData;
    key->key = created;
    return REGISTRY_SUCCESS;
}

void registryCloseKey(RegistryKey key)
{
    if (key == nullptr)
        return;
    ::RegCloseKey(key->key);
    delete key;
}

uint32_t registryQueryValue(RegistryKey key, const std::string& name, uint32_t& type, uint8_t* data,
                            uint32_t& size)
{
    if (key == nullptr)
        return REGISTRY_INVALID_HANDLE;
    DWORD valueType = 0;
    DWORD length = size;
    LONG rc = ::RegQueryValueExA(key->key, name.c_str(), nullptr, &valueType, data, &length);
    if (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
        type = valueType;
        size = length;
    }
    return static_cast<uint32_t>(rc);
}

uint32_t registrySetValue(RegistryKey key, const std::string& name, uint32_t type, const uint8_t* data,
                          uint32_t size)
{
    if (key == nullptr)
        return REGISTRY_INVALID_HANDLE;
    if (data == nullptr && size != 0)
        return REGISTRY_INVALID_PARAMETER;
    return static_cast<uint32_t>(::RegSetValueExA(key->key, name.c_str(), 0, type, data, size));
}

uint32_t registryValueNames(RegistryKey key, std::vector<std::string>& names)
{
    names.clear();
    if (key == nullptr)
        return REGISTRY_INVALID_HANDLE;
    DWORD count = 0, longest = 0;
    LONG rc = ::RegQueryInfoKeyA(key->key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                                 &longest, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS)
        return static_cast<uint32_t>(rc);
    std::string buffer(longest + 1, '\0');
    for (DWORD i = 0;; ++i) {
        DWORD length = static_cast<DWORD>(buffer.size());
        rc = ::RegEnumValueA(key->key, i, &buffer[0], &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            return REGISTRY_SUCCESS;
        if (rc == ERROR_MORE_DATA) {
            // A value with a longer name came in meanwhile.
            buffer.resize(buffer.size() * 2);
            --i;
            continue;
        }
        if (rc != ERROR_SUCCESS)
            return static_cast<uint32_t>(rc);
        names.emplace_back(buffer.data(), length);
    }
}

} // namespace Platform
} // namespace Telvar
