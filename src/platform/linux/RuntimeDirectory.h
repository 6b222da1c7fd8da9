#pragma once

#include <cstdint>
#include <string>

#include <sys/socket.h>
#include <sys/un.h>

namespace Telvar {
namespace Platform {
namespace Runtime {

// Where the Linux backend keeps the files behind mailslots and named locks.
// Unix sockets in the abstract namespace carry no permissions, so any
// account could take a name first; files in a directory only its owner can
// write cannot be taken.
//
// Layout of the runtime directory R (TELVAR_RUNTIME_DIR, default
// /run/telvar for root and, where it exists, for every account; an account
// other than root without it uses a private directory of its own:
// $XDG_RUNTIME_DIR/telvar, /run/user/<uid>/telvar or ~/.telvar/run, mode 0700,
// in a directory nobody but the account and root may write):
//   R/                 mode 0755, owned by root or the installation's account
//                      (another owner only when R's parent is root's alone)
//   R/<name>.slot      slots and locks of that account and of root
//   R/users/           mode 1777: every account makes its own directory
//   R/users/<uid>/     mode 0711: slots and locks of any other account
//                      ("<uid>-XXXXXX" when another account made "<uid>" first)
// Names starting with "Telvar_" belong to the installation: other accounts
// cannot create them, and senders look for them only in R itself.

constexpr const char* ENVIRONMENT_VARIABLE = "TELVAR_RUNTIME_DIR";
constexpr const char* DEFAULT_DIRECTORY = "/run/telvar";
constexpr const char* RESERVED_PREFIX = "Telvar_";

// A directory held open, so that addresses stay short whatever its path.
class Directory {
public:
    Directory() = default;
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;
    ~Directory();

    // Opens path; false when it cannot be opened.
    bool open(const std::string& path);
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    // Socket address of a file in the directory: its path when that fits,
    // otherwise a path through the open descriptor.
    void address(const std::string& file, sockaddr_un& out, socklen_t& length) const;

private:
    int fd_ = -1;
    std::string path_;
};

// The runtime directory's path (not checked).
std::string rootPath();

// The directory where this process creates names (made when missing and
// allowed). ERR_SUCCESS or ERR_ACCESS_DENIED, ERR_PATH_NOT_FOUND-like
// errors as ERR_FILE_NOT_FOUND.
uint32_t openOwnDirectory(Directory& directory);

// Why the calling thread's last look at the runtime directory refused it
// (its path, owner, mode and what was expected); empty when it did not.
std::string lastRefusal();

// Whether this process may create the name at all (reserved names).
bool mayCreate(const std::string& name);

// Finds the directory holding file for a sender: R, else (names not
// reserved) the one account directory that holds it. ERR_FILE_NOT_FOUND
// when none, ERR_ACCESS_DENIED when several accounts hold it.
uint32_t findHolder(const std::string& name, const std::string& file, Directory& directory);

// The file name for an object name: the name itself when it is short and
// plain, else a plain head and a hash; then the suffix.
std::string fileName(const std::string& name, const char* suffix);

// Serialises creation and removal of names in one directory.
class CreationLock {
public:
    explicit CreationLock(const Directory& directory);
    CreationLock(const CreationLock&) = delete;
    CreationLock& operator=(const CreationLock&) = delete;
    ~CreationLock();

private:
    int fd_ = -1;
};

} // namespace Runtime
} // namespace Platform
} // namespace Telvar
