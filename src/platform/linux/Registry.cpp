// The registry kept as plain files: one directory per key, one file per
// value. A value file holds its type name on the first line and then the
// data verbatim followed by one line break (a number as decimal text), so
// it can be read and edited by hand.
#include "platform/Registry.h"
#include "platform/linux/InstallationGroup.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace Telvar {
namespace Platform {

struct RegistryKeyData {
    std::string directory;
    bool writable = false;
};

namespace {

constexpr const char* DEFAULT_ROOT = "/var/lib/telvar/registry";
constexpr const char* VALUE_SUFFIX = ".value";
constexpr size_t MAX_VALUE_FILE = 64u * 1024 * 1024;

std::atomic<unsigned> g_tempCounter{0};

std::string storeRoot()
{
    const char* env = std::getenv("TELVAR_REGISTRY_ROOT");
    return env != nullptr && *env != '\0' ? env : DEFAULT_ROOT;
}

const char* rootName(RegistryRoot root)
{
    switch (root) {
    case RegistryRoot::ClassesRoot:
        return "HKEY_CLASSES_ROOT";
    case RegistryRoot::CurrentConfig:
        return "HKEY_CURRENT_CONFIG";
    case RegistryRoot::CurrentUser:
        return "HKEY_CURRENT_USER";
    case RegistryRoot::LocalMachine:
        return "HKEY_LOCAL_MACHINE";
    case RegistryRoot::Users:
        return "HKEY_USERS";
    }
    return "HKEY_LOCAL_MACHINE";
}

uint32_t fromErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return REGISTRY_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
        return REGISTRY_ACCESS_DENIED;
    case ENOMEM:
        return REGISTRY_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG:
        return REGISTRY_INVALID_PARAMETER;
    default:
        return REGISTRY_INVALID_DATA;
    }
}

bool sameNameIgnoringCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// Registry names compare without case; the entry of directory whose name
// matches, preferring the exact spelling. Empty when there is none.
std::string findEntry(const std::string& directory, const std::string& name)
{
    struct stat st;
    if (::lstat((directory + "/" + name).c_str(), &st) == 0)
        return name;
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr)
        return "";
    std::string found;
    while (struct dirent* entry = ::readdir(dir)) {
        if (sameNameIgnoringCase(entry->d_name, name)) {
            found = entry->d_name;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

bool splitKeyPath(const std::string& subKey, std::vector<std::string>& parts)
{
    size_t start = 0;
    while (start <= subKey.size()) {
        size_t end = subKey.find('\\', start);
        if (end == std::string::npos)
            end = subKey.size();
        const std::string part = subKey.substr(start, end - start);
        if (part.empty()) {
            // A leading or trailing separator is harmless, one in the middle is not.
            if (start != 0 && end != subKey.size())
                return false;
        } else {
            if (part == "." || part == ".." || part.find('/') != std::string::npos ||
                part.find('\0') != std::string::npos)
                return false;
            parts.push_back(part);
        }
        start = end + 1;
    }
    return true;
}

// Value names may hold any byte; those that a file name cannot carry, or that
// would be confusing in one, are written as %XX.
std::string encodeValueName(const std::string& name)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == '/' || c == '%' || c == '\\') {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + VALUE_SUFFIX;
}

bool acceptableValueName(const std::string& name)
{
    return encodeValueName(name).size() - std::strlen(VALUE_SUFFIX) <= REGISTRY_MAX_VALUE_NAME;
}

bool decodeValueName(const std::string& fileName, std::string& name)
{
    const size_t suffix = std::strlen(VALUE_SUFFIX);
    if (fileName.size() < suffix || fileName.compare(fileName.size() - suffix, suffix, VALUE_SUFFIX) != 0)
        return false;
    name.clear();
    const size_t end = fileName.size() - suffix;
    for (size_t i = 0; i < end; ++i) {
        if (fileName[i] == '%' && i + 2 < end) {
            const std::string hex = fileName.substr(i + 1, 2);
            char* stop = nullptr;
            const long value = std::strtol(hex.c_str(), &stop, 16);
            if (*stop != '\0' || !std::isxdigit(static_cast<unsigned char>(hex[0])))
                return false;
            name += static_cast<char>(value);
            i += 2;
        } else {
            name += fileName[i];
        }
    }
    return true;
}

std::string typeName(uint32_t type)
{
    switch (type) {
    case REGISTRY_NONE:
        return "REG_NONE";
    case REGISTRY_SZ:
        return "REG_SZ";
    case REGISTRY_EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case REGISTRY_BINARY:
        return "REG_BINARY";
    case REGISTRY_DWORD:
        return "REG_DWORD";
    case REGISTRY_MULTI_SZ:
        return "REG_MULTI_SZ";
    case REGISTRY_QWORD:
        return "REG_QWORD";
    default:
        return std::to_string(type);
    }
}

bool parseTypeName(const std::string& text, uint32_t& type)
{
    static const uint32_t known[] = {REGISTRY_NONE,  REGISTRY_SZ,       REGISTRY_EXPAND_SZ,
                                     REGISTRY_BINARY, REGISTRY_DWORD,   REGISTRY_MULTI_SZ,
                                     REGISTRY_QWORD};
    for (uint32_t t : known) {
        if (text == typeName(t)) {
            type = t;
            return true;
        }
    }
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9)
        return false;
    type = static_cast<uint32_t>(std::stoul(text));
    return true;
}

bool parseUnsigned(std::string text, uint64_t maximum, uint64_t& value)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n'))
        text.pop_back();
    if (text.empty())
        return false;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
        return false;
    errno = 0;
    char* stop = nullptr;
    const unsigned long long v = std::strtoull(digits.c_str(), &stop, hex ? 16 : 10);
    if (errno != 0 || *stop != '\0' || v > maximum)
        return false;
    value = v;
    return true;
}

bool readWholeFile(const std::string& path, std::string& content, uint32_t& error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = fromErrno(errno);
        return false;
    }
    content.clear();
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = fromErrno(errno);
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        content.append(buffer, static_cast<size_t>(n));
        if (content.size() > MAX_VALUE_FILE) {
            error = REGISTRY_INVALID_DATA;
            ::close(fd);
            return false;
        }
    }
    ::close(fd);
    return true;
}

// Type and data bytes from a value file's content.
bool decodeValueFile(const std::string& content, uint32_t& type, std::string& data)
{
    const size_t lineEnd = content.find('\n');
    if (lineEnd == std::string::npos)
        return false;
    std::string typeText = content.substr(0, lineEnd);
    if (!typeText.empty() && typeText.back() == '\r')
        typeText.pop_back();
    if (!parseTypeName(typeText, type))
        return false;
    data = content.substr(lineEnd + 1);
    if (type == REGISTRY_DWORD || type == REGISTRY_QWORD) {
        uint64_t value = 0;
        if (!parseUnsigned(data, type == REGISTRY_DWORD ? 0xffffffffull : ~0ull, value))
            return false;
        const size_t width = type == REGISTRY_DWORD ? 4 : 8;
        data.assign(width, '\0');
        for (size_t i = 0; i < width; ++i)
            data[i] = static_cast<char>((value >> (8 * i)) & 0xff);
        return true;
    }
    // The line break the writer adds (an editor adds one too).
    if (!data.empty() && data.back() == '\n')
        data.pop_back();
    return true;
}

bool encodeValueFile(uint32_t type, const uint8_t* bytes, uint32_t size, std::string& content)
{
    content = typeName(type) + "\n";
    if (type == REGISTRY_DWORD || type == REGISTRY_QWORD) {
        const size_t width = type == REGISTRY_DWORD ? 4 : 8;
        if (size != width)
            return false;
        uint64_t value = 0;
        for (size_t i = 0; i < width; ++i)
            value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
        content += std::to_string(value);
    } else if (size > 0) {
        content.append(reinterpret_cast<const char*>(bytes), size);
    }
    content += "\n";
    return true;
}

bool writeAll(int fd, const std::string& content)
{
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The store is read by the program's account and the installation's
// group, whoever wrote it (setup runs as root): nobody else.
void giveToInstallation(int fd)
{
    gid_t group = 0;
    if (Installation::groupId(group))
        ::fchown(fd, static_cast<uid_t>(-1), group);
}

// Temporary file, flushed to disk, then renamed over the value: a crash at
// any point leaves the old or the new value.
uint32_t replaceFileAtomically(const std::string& directory, const std::string& fileName,
                               const std::string& content)
{
    const std::string target = directory + "/" + fileName;
    // Not named after the value: a long name must not make it too long.
    const std::string temp = directory + "/.tmp." + std::to_string(::getpid()) + "." +
                             std::to_string(g_tempCounter++);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (fd < 0)
        return fromErrno(errno);
    giveToInstallation(fd);
    bool ok = writeAll(fd, content);
    int error = ok ? 0 : (errno != 0 ? errno : EIO);
    if (ok && ::fsync(fd) != 0) {
        ok = false;
        error = errno;
    }
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return fromErrno(error);
    }
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return REGISTRY_SUCCESS;
}

uint32_t makeDirectory(const std::string& path)
{
    const bool made = ::mkdir(path.c_str(), 0750) == 0;
    const int error = errno;
    if (made) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0) {
            giveToInstallation(fd);
            ::close(fd);
        }
    }
    if (made || error == EEXIST) {
        struct stat st;
        if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return REGISTRY_SUCCESS;
        return REGISTRY_FILE_NOT_FOUND;
    }
    return fromErrno(error);
}

uint32_t makeDirectories(const std::string& path)
{
    if (path.empty())
        return REGISTRY_SUCCESS;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? REGISTRY_SUCCESS : REGISTRY_FILE_NOT_FOUND;
    const size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        const uint32_t parent = makeDirectories(path.substr(0, slash));
        if (parent != REGISTRY_SUCCESS)
            return parent;
    }
    return makeDirectory(path);
}

} // namespace

std::string registryKeyLocation(RegistryRoot root, const std::string& subKey)
{
    std::string location = storeRoot() + "/" + rootName(root);
    std::vector<std::string> parts;
    if (splitKeyPath(subKey, parts))
        for (const std::string& part : parts)
            location += "/" + part;
    return location;
}

namespace {

// Walks the key path below the root, creating missing keys when create is set.
uint32_t resolveKey(RegistryRoot root, const std::string& subKey, bool create, std::string& directory)
{
    std::vector<std::string> parts;
    if (!splitKeyPath(subKey, parts))
        return REGISTRY_FILE_NOT_FOUND;
    directory = storeRoot() + "/" + rootName(root);
    if (create) {
        const uint32_t made = makeDirectories(directory);
        if (made != REGISTRY_SUCCESS)
            return made;
    }
    for (const std::string& part : parts) {
        std::string entry = findEntry(directory, part);
        if (entry.empty()) {
            if (!create)
                return REGISTRY_FILE_NOT_FOUND;
            const uint32_t made = makeDirectory(directory + "/" + part);
            if (made != REGISTRY_SUCCESS)
                return made;
            entry = part;
        }
        directory += "/" + entry;
    }
    struct stat st;
    if (::stat(directory.c_str(), &st) != 0)
        return fromErrno(errno);
    if (!S_ISDIR(st.st_mode))
        return REGISTRY_FILE_NOT_FOUND;
    return REGISTRY_SUCCESS;
}

uint32_t openResolved(RegistryRoot root, const std::string& subKey, bool create, uint32_t access,
                      RegistryKey& key)
{
    std::string directory;
    const uint32_t result = resolveKey(root, subKey, create, directory);
    if (result != REGISTRY_SUCCESS)
        return result;
    const bool writable = (access & REGISTRY_KEY_WRITE & ~REGISTRY_KEY_READ) != 0;
    if (::access(directory.c_str(), writable ? (R_OK | W_OK | X_OK) : (R_OK | X_OK)) != 0)
        return fromErrno(errno);
    key = new RegistryKeyData{directory, writable};
    return REGISTRY_SUCCESS;
}

} // namespace

uint32_t registryOpenKey(RegistryRoot root, const std::string& subKey, uint32_t access,
                         RegistryKey& key)
{
    return openResolved(root, subKey, false, access, key);
}

uint32_t registryCreateKey(RegistryRoot root, const std::string& subKey, uint32_t /*options*/,
                           uint32_t access, RegistryKey& key)
{
    return openResolved(root, subKey, true, access, key);
}

void registryCloseKey(RegistryKey key)
{
    delete key;
}

uint32_t registryQueryValue(RegistryKey key, const std::string& name, uint32_t& type,
                            uint8_t* data, uint32_t& size)
{
    if (key == nullptr)
        return REGISTRY_INVALID_HANDLE;
    if (!acceptableValueName(name))
        return REGISTRY_INVALID_PARAMETER;
    const std::string fileName = findEntry(key->directory, encodeValueName(name));
    if (fileName.empty())
        return REGISTRY_FILE_NOT_FOUND;
    std::string content;
    uint32_t error = REGISTRY_SUCCESS;
    if (!readWholeFile(key->directory + "/" + fileName, content, error))
        return error;
    std::string bytes;
    uint32_t valueType = REGISTRY_NONE;
    if (!decodeValueFile(content, valueType, bytes))
        return REGISTRY_INVALID_DATA;
    type = valueType;
    const uint32_t needed = static_cast<uint32_t>(bytes.size());
    if (data == nullptr) {
        size = needed;
        return REGISTRY_SUCCESS;
    }
    if (size < needed) {
        size = needed;
        return REGISTRY_MORE_DATA;
    }
    std::memcpy(data, bytes.data(), bytes.size());
    size = needed;
    return REGISTRY_SUCCESS;
}

uint32_t registrySetValue(RegistryKey key, const std::string& name, uint32_t type,
                          const uint8_t* data, uint32_t size)
{
    if (key == nullptr)
        return REGISTRY_INVALID_HANDLE;
    if (!key->writable)
        return REGISTRY_ACCESS_DENIED;
    if (data == nullptr && size != 0)
        return REGISTRY_INVALID_PARAMETER;
    if (!acceptableValueName(name))
        return REGISTRY_INVALID_PARAMETER;
    std::string content;
    if (!encodeValueFile(type, data, size, content))
        return REGISTRY_INVALID_PARAMETER;
    // Keep the spelling of an existing value so that names differing in case
    // stay one value.
    std::string fileName = findEntry(key->directory, encodeValueName(name));
    if (fileName.empty())
        fileName = encodeValueName(name);
    return replaceFileAtomically(key->directory, fileName, content);
}

uint32_t registryValueNames(RegistryKey key, std::vector<std::string>& names)
{
    if (key == nullptr)
        return REGISTRY_INVALID_HANDLE;
    DIR* dir = ::opendir(key->directory.c_str());
    if (dir == nullptr)
        return fromErrno(errno);
    names.clear();
    while (struct dirent* entry = ::readdir(dir)) {
        const std::string fileName = entry->d_name;
        std::string name;
        // Temporary files of interrupted writers do not end in the suffix.
        if (decodeValueName(fileName, name))
            names.push_back(name);
    }
    ::closedir(dir);
    return REGISTRY_SUCCESS;
}

} // namespace Platform
} // namespace Telvar
