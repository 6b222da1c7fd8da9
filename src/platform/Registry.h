#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Telvar {
namespace Platform {

// A key-value store in Windows registry terms. The names differ from the
// <windows.h> macros (REG_SZ, HKEY_LOCAL_MACHINE, ...) only so that a win32
// backend can include both; the numbers are the Win32 ones.

// Value types.
constexpr uint32_t REGISTRY_NONE = 0;
constexpr uint32_t REGISTRY_SZ = 1;
constexpr uint32_t REGISTRY_EXPAND_SZ = 2;
constexpr uint32_t REGISTRY_BINARY = 3;
constexpr uint32_t REGISTRY_DWORD = 4;
constexpr uint32_t REGISTRY_MULTI_SZ = 7;
constexpr uint32_t REGISTRY_QWORD = 11;

// Access rights.
constexpr uint32_t REGISTRY_KEY_READ = 131097;
constexpr uint32_t REGISTRY_KEY_WRITE = 131078;
constexpr uint32_t REGISTRY_KEY_WOW64_64KEY = 256;

// Result codes (Win32 error numbers).
constexpr uint32_t REGISTRY_SUCCESS = 0;
constexpr uint32_t REGISTRY_FILE_NOT_FOUND = 2;
constexpr uint32_t REGISTRY_ACCESS_DENIED = 5;
constexpr uint32_t REGISTRY_INVALID_HANDLE = 6;
constexpr uint32_t REGISTRY_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t REGISTRY_INVALID_DATA = 13;
constexpr uint32_t REGISTRY_INVALID_PARAMETER = 87;
constexpr uint32_t REGISTRY_MORE_DATA = 234;

// Predefined root keys.
enum class RegistryRoot {
    ClassesRoot,
    CurrentConfig,
    CurrentUser,
    LocalMachine,
    Users,
};

struct RegistryKeyData;
using RegistryKey = RegistryKeyData*;

// subKey is a "\\"-separated path below the root; empty means the root.
uint32_t registryOpenKey(RegistryRoot root, const std::string& subKey, uint32_t access,
                         RegistryKey& key);
// Opens the key, creating it and any missing parents first.
uint32_t registryCreateKey(RegistryRoot root, const std::string& subKey, uint32_t options,
                           uint32_t access, RegistryKey& key);
void registryCloseKey(RegistryKey key);
// Where the key lives, for people: a directory of the file store, or the
// key's full name.
std::string registryKeyLocation(RegistryRoot root, const std::string& subKey);

// On entry size is the buffer's size. With data null, or a buffer that is
// too small (REGISTRY_MORE_DATA), size becomes the size needed; otherwise
// the value's bytes are copied and size is their count.
uint32_t registryQueryValue(RegistryKey key, const std::string& name, uint32_t& type,
                            uint8_t* data, uint32_t& size);
// The key must have been opened with write access. Replaces the value as a
// whole: a reader sees the old or the new value, never a mix.
uint32_t registrySetValue(RegistryKey key, const std::string& name, uint32_t type,
                          const uint8_t* data, uint32_t size);
uint32_t registryValueNames(RegistryKey key, std::vector<std::string>& names);

// Longest value name, in bytes, that reading and writing accept; a longer
// one gives REGISTRY_INVALID_PARAMETER. (Linux stores a value as a file
// named after it: there bytes below 32, 127, '/', '%' and '\\' count three.)
constexpr size_t REGISTRY_MAX_VALUE_NAME = 240;

} // namespace Platform
} // namespace Telvar
