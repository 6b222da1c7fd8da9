#pragma once

#include <cstdint>
#include <string>

#include "platform/FileSystem.h"

namespace Telvar {

class DateTime;
class TimeSpan;

// Advisory lock on a file path, kept in path + ".lock" as four lines: lock
// time, expiry time (both UTC, compact), the owner's key, and "original" or
// "missing" (whether the owner holds the target open). A lock left by a
// crashed process stops counting at its expiry time; a live holder keeps the
// lock file open so that it cannot be taken from under it.
class LockFile {
public:
    // Reads an existing lock file; a time text that does not parse throws
    // TimeException.
    explicit LockFile(const std::string& targetPath);
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;
    // Gives up a lock this object holds.
    virtual ~LockFile();

    // A lock file is known to exist (found at construction or taken here).
    bool present() const { return present_; }
    // Whether the target existed when this object was made.
    bool targetExisted() const { return targetExisted_; }

    // Takes the lock for timeout from now, holding the target open when
    // asked (creating it empty when missing). False when a lock is present
    // or the lock file cannot be written.
    // Why the last acquire failed, in the system's words with the path;
    // empty when it did not fail that way.
    const std::string& failureText() const { return failure_; }
    bool acquire(const TimeSpan& timeout, bool holdTarget);
    // Clears the lock: this object's own, or a foreign one past its expiry.
    // False for a live foreign lock or when the lock file cannot be deleted.
    bool release();

    // This object holds the lock it took (a key alone does not make a lock
    // one's own: only the object that published the lock file holds it).
    bool isOwn() const
    {
        return present_ && lockHandle_ != Platform::INVALID_FILE_HANDLE && ownerKey_ == ownKey_;
    }

    const std::string& targetPath() const { return targetPath_; }
    const std::string& lockPath() const { return lockPath_; }
    const std::string& ownKey() const { return ownKey_; }
    // Key of the present lock's owner (empty when none is present).
    const std::string& ownerKey() const { return ownerKey_; }
    DateTime lockTime() const;
    DateTime expiryTime() const;
    // Line 4 of the present lock said "original".
    bool holdsTarget() const { return holdsTarget_; }

    // Key of 6 digits of UTC time of day, "Z" and 10 random bytes in 32..125.
    static std::string makeKey();

private:
    std::string failure_;
    std::string targetPath_;
    std::string lockPath_;
    Platform::FileHandle lockHandle_ = Platform::INVALID_FILE_HANDLE;
    Platform::FileHandle targetHandle_ = Platform::INVALID_FILE_HANDLE;
    int32_t lockSeconds_ = 0;
    int32_t expirySeconds_ = 0;
    std::string ownerKey_;
    std::string ownKey_;
    bool present_ = false;
    bool targetExisted_ = false;
    bool holdsTarget_ = false;
};

} // namespace Telvar
