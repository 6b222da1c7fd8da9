#include "common/FileBase.h"

#include <atomic>
#include <new>

#include "common/Exception.h"
#include "common/FileGZ.h"
#include "common/FileOperations.h"
#include "common/FilePlain.h"
#include "common/LockFile.h"
#include "common/StringUtil.h"

namespace Telvar {

namespace {

constexpr int32_t BUILT_IN_LOCK_TIMEOUT = 30;
std::atomic<bool> defaultSet{false};
std::atomic<int32_t> defaultSeconds{BUILT_IN_LOCK_TIMEOUT};

} // namespace

FileBase::FileBase(const std::string& name) : name_(name), lockTimeout_(defaultLockTimeout()) {}

FileBase::~FileBase() = default;

int64_t FileBase::tell() { return position_; }

bool FileBase::eof() { return atEnd_; }

void FileBase::truncate(int64_t /*length*/)
{
    throw FileException(FileException::FL_ERROR, name_ + " cannot be cut back", "shared/library/common/FileBase",
                        __LINE__);
}

std::string FileBase::baseName() const { return StringUtil::baseNameOf(name_); }

int64_t FileBase::size() const { return static_cast<int64_t>(fileSize(name_)); }

void FileBase::setDefaultLockTimeout(const TimeSpan& timeout)
{
    defaultSeconds = timeout.seconds();
    defaultSet = true;
}

void FileBase::clearDefaultLockTimeout()
{
    defaultSet = false;
    defaultSeconds = BUILT_IN_LOCK_TIMEOUT;
}

TimeSpan FileBase::defaultLockTimeout()
{
    return TimeSpan(defaultSet ? defaultSeconds.load() : BUILT_IN_LOCK_TIMEOUT);
}

SmartPointer<FileBase> FileBase::create(const std::string& path)
{
    if (StringUtil::extensionOf(path) == "gz")
        return SmartPointer<FileBase>(new FileGZ(path));
    return SmartPointer<FileBase>(new FilePlain(path));
}

std::string FileBase::lockForWriting(const char* module, int32_t noMemoryCode, bool safeLock,
                                     bool safeUpdate)
{
    try {
        lock_.reset(new LockFile(name_));
    } catch (const std::bad_alloc&) {
        throw FileException(noMemoryCode, name_, module, __LINE__);
    } catch (TimeException& e) {
        e.addTrace(module, __LINE__);
        throw;
    }
    existedAtLock_ = lock_->targetExisted();
    if (lock_->present() && !lock_->release()) {
        lock_.reset();
        throw FileException(FileException::FL_IS_LOCKED, name_, module, __LINE__);
    }
    // The lock comes first: a copy made before it could overwrite the copy
    // of a writer that took the lock in between.
    if (!lock_->acquire(lockTimeout_, safeLock)) {
        FileException e(FileException::FL_CANNOT_LOCK, name_, module, __LINE__);
        if (!lock_->failureText().empty())
            e.setReason("cannot lock " + name_ + ": " + lock_->failureText());
        lock_.reset();
        throw e;
    }
    if (!safeUpdate)
        return name_;
    safeUpdate_ = true;
    if (existedAtLock_ && !copyFile(name_, tmpPath(), true)) {
        // Without the old content the commit would lose it.
        cleanUpFailedOpen(module);
        throw FileException(FileException::FL_CANNOT_COPY, name_, module, __LINE__);
    }
    return tmpPath();
}

bool FileBase::releaseLock()
{
    if (!lock_)
        return true;
    bool ok = lock_->release();
    lock_.reset();
    return ok;
}

void FileBase::cleanUpFailedOpen(const char* module)
{
    bool hadLock = lock_ != nullptr;
    // Remove what this open made before the lock goes, so that no other
    // writer sees it.
    if (hadLock && !existedAtLock_)
        deleteFile(name_);
    // Only a copy of this open's own: without the lock a ".tmp" there may be
    // another writer's.
    if (safeUpdate_ && fileExists(tmpPath()))
        deleteFile(tmpPath());
    safeUpdate_ = false;
    bool released = releaseLock();
    if (!released)
        throw FileException(FileException::FL_CANNOT_UNLOCK, name_, module, __LINE__);
}

bool FileBase::commitCopy()
{
    for (int attempt = 1; attempt <= COMMIT_ATTEMPTS; ++attempt) {
        if (moveFile(tmpPath(), name_, true))
            return true;
        if (attempt < COMMIT_ATTEMPTS)
            DateTime::sleepMilliseconds(COMMIT_RETRY_DELAY_MS);
    }
    return false;
}

} // namespace Telvar
