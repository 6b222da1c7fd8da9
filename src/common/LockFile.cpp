#include "common/LockFile.h"

#include <chrono>
#include <mutex>
#include <random>

#include "common/BasicFile.h"
#include "common/DateTime.h"
#include "common/Exception.h"
#include "common/TimeSpan.h"
#include "platform/SystemError.h"

namespace Telvar {

namespace {

const char* const SOURCE = "shared/library/common/LockFile";

int32_t parseMoment(const std::string& text)
{
    return DateTime(DateTime::parseDateTime(text)).seconds();
}

std::string momentText(int32_t seconds) { return DateTime(seconds).toText(true, true); }

} // namespace

std::string LockFile::makeKey()
{
    // One generator for the process, seeded beyond the current second:
    // objects made within the same second must not share a key, or one
    // would take another's lock for its own.
    static std::mutex lock;
    static std::mt19937 random([] {
        std::random_device device;
        std::seed_seq seed{device(), device(),
                           static_cast<unsigned>(std::chrono::system_clock::now().time_since_epoch().count()),
                           static_cast<unsigned>(DateTime::now().seconds())};
        return std::mt19937(seed);
    }());
    DateTimeParts t = DateTime::now().timeParts();
    char head[8];
    head[0] = static_cast<char>('0' + t.hour / 10);
    head[1] = static_cast<char>('0' + t.hour % 10);
    head[2] = static_cast<char>('0' + t.minute / 10);
    head[3] = static_cast<char>('0' + t.minute % 10);
    head[4] = static_cast<char>('0' + t.second / 10);
    head[5] = static_cast<char>('0' + t.second % 10);
    head[6] = 'Z';
    head[7] = '\0';
    std::string key(head);
    std::lock_guard<std::mutex> guard(lock);
    for (int i = 0; i < 10; ++i)
        key += static_cast<char>(32 + random() % 94);
    return key;
}

LockFile::LockFile(const std::string& targetPath)
    : targetPath_(targetPath), lockPath_(targetPath + ".lock"), ownKey_(makeKey())
{
    Platform::PathStatus status;
    targetExisted_ = Platform::pathStatus(targetPath_, status);
    if (!Platform::pathStatus(lockPath_, status))
        return;
    BasicFile file;
    if (!file.open(lockPath_, BasicFile::MODE_READ)) {
        // Gone in the meantime, or unreadable: an unreadable one counts as
        // present and expired, so only an unheld one can be cleared.
        present_ = Platform::pathStatus(lockPath_, status);
        return;
    }
    std::string lines[4];
    for (std::string& line : lines)
        line = file.readLine();
    file.close();
    try {
        lockSeconds_ = parseMoment(lines[0]);
        expirySeconds_ = parseMoment(lines[1]);
    } catch (TimeException& e) {
        e.addTrace(SOURCE, __LINE__);
        throw;
    }
    ownerKey_ = lines[2];
    holdsTarget_ = lines[3] == "original";
    present_ = true;
}

LockFile::~LockFile()
{
    if (isOwn())
        release();
}

DateTime LockFile::lockTime() const { return DateTime(lockSeconds_); }

DateTime LockFile::expiryTime() const { return DateTime(expirySeconds_); }

bool LockFile::acquire(const TimeSpan& timeout, bool holdTarget)
{
    if (present_)
        return false;
    DateTime now;
    DateTime expiry = now + timeout;
    std::string content = momentText(now.seconds()) + "\n" + momentText(expiry.seconds()) + "\n" +
                          ownKey_ + "\n" + (holdTarget ? "original" : "missing") + "\n";
    failure_.clear();
    Platform::FileHandle handle = Platform::createLockFile(lockPath_, content);
    if (handle == Platform::INVALID_FILE_HANDLE) {
        failure_ = lockPath_ + ": " + Platform::lastErrorText();
        return false;
    }
    if (holdTarget) {
        targetHandle_ = Platform::openForHolding(targetPath_);
        if (targetHandle_ == Platform::INVALID_FILE_HANDLE) {
            failure_ = targetPath_ + ": " + Platform::lastErrorText();
            Platform::deleteHeldLockFile(lockPath_, handle);
            return false;
        }
    }
    lockHandle_ = handle;
    lockSeconds_ = now.seconds();
    expirySeconds_ = expiry.seconds();
    ownerKey_ = ownKey_;
    holdsTarget_ = holdTarget;
    present_ = true;
    return true;
}

bool LockFile::release()
{
    if (!present_)
        return true;
    if (isOwn()) {
        if (targetHandle_ != Platform::INVALID_FILE_HANDLE) {
            Platform::closeHandle(targetHandle_);
            targetHandle_ = Platform::INVALID_FILE_HANDLE;
        }
        bool deleted = Platform::deleteHeldLockFile(lockPath_, lockHandle_);
        lockHandle_ = Platform::INVALID_FILE_HANDLE;
        if (!deleted)
            return false;
    } else {
        if (DateTime::now().seconds() < expirySeconds_)
            return false;
        if (!Platform::deleteUnheldLockFile(lockPath_)) {
            Platform::PathStatus status;
            if (Platform::pathStatus(lockPath_, status))
                return false;
        }
    }
    present_ = false;
    ownerKey_.clear();
    holdsTarget_ = false;
    return true;
}

} // namespace Telvar
