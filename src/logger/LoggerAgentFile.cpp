#include "logger/LoggerAgentFile.h"

#include <algorithm>
#include <iomanip>
#include <memory>
#include <mutex>
#include <sstream>

#include "common/Exception.h"
#include "common/FileOperations.h"
#include "common/FilePlain.h"
#include "common/Resources.h"
#include "common/StringUtil.h"
#include "common/TimeSpan.h"
#include "logger/LogSettings.h"

namespace Telvar {

namespace {

constexpr uint16_t LOG_FILE_ACCESS = FileBase::ACCESS_WRITE | FileBase::ACCESS_CREATE |
                                     FileBase::ACCESS_APPEND | FileBase::ACCESS_UNSAFE |
                                     FileBase::ACCESS_NOLOCK;

// Lines since the last flush, shared by all sinks like the flush period.
std::atomic<int32_t> lineCounter{0};

// The "LogCounter" value last read in this process.
std::mutex& counterMutex()
{
    static std::mutex mutex;
    return mutex;
}

long lastCounterRead = 0;

std::string sanitisedLockName(const std::string& path)
{
    std::string name = StringUtil::baseNameOf(path);
    for (char& c : name)
        if (c == '/' || c == '\\')
            c = '_';
    return name;
}

std::string decimal(float value)
{
    std::ostringstream out;
    out << std::setprecision(9) << value;
    return out.str();
}

// Leading decimal digits (with an optional sign); false when there are none.
// Kept within two thousand million, so that the count stored back (one more)
// fits a 32-bit long.
bool parseCounter(const std::string& text, long& value)
{
    constexpr int64_t LIMIT = 2000000000;
    int64_t v = 0;
    if (!StringUtil::leadingDigits(text, v))
        return false;
    value = static_cast<long>(std::min(std::max(v, -LIMIT), LIMIT));
    return true;
}

class ProcessGuard {
public:
    explicit ProcessGuard(Monopoly& lock) : lock_(lock) { lock_.enforce(); }
    ~ProcessGuard() { lock_.relax(); }
    ProcessGuard(const ProcessGuard&) = delete;
    ProcessGuard& operator=(const ProcessGuard&) = delete;

private:
    Monopoly& lock_;
};

// Puts the state back even when a file error leaves the block early, so that
// waiting lines are not held up for ever.
class StateGuard {
public:
    StateGuard(std::atomic<int32_t>& state, int32_t value) : state_(state), previous_(state.exchange(value)) {}
    ~StateGuard() { state_.store(previous_); }
    StateGuard(const StateGuard&) = delete;
    StateGuard& operator=(const StateGuard&) = delete;

private:
    std::atomic<int32_t>& state_;
    int32_t previous_;
};

} // namespace

// The process lock plus the named lock shared with other processes writing
// the same file.
class LoggerAgentFile::CrossProcessLock {
public:
    explicit CrossProcessLock(LoggerAgentFile& owner) : owner_(owner) {}
    ~CrossProcessLock() { release(); }
    CrossProcessLock(const CrossProcessLock&) = delete;
    CrossProcessLock& operator=(const CrossProcessLock&) = delete;

    bool acquire()
    {
        owner_.processLock_.enforce();
        named_.reset(new Monopoly(owner_.lockName_));
        for (int attempt = 1; attempt <= LOCK_ATTEMPTS; ++attempt) {
            if (named_->enforce())
                return true;
            if (attempt < LOCK_ATTEMPTS)
                DateTime::sleepMilliseconds(LOCK_RETRY_MS);
        }
        named_.reset();
        owner_.processLock_.relax();
        return false;
    }

    void release()
    {
        if (!named_)
            return;
        named_->relax();
        named_.reset();
        owner_.processLock_.relax();
    }

private:
    LoggerAgentFile& owner_;
    std::unique_ptr<Monopoly> named_;
};

LoggerAgentFile::LoggerAgentFile() { setRotationSize(10); }

LoggerAgentFile::~LoggerAgentFile()
{
    try {
        ProcessGuard guard(processLock_);
        closeFile("Quitting Logger Agent");
    } catch (...) {
        // Nothing can be reported from here.
    }
}

std::string LoggerAgentFile::location() const { return "file:///" + logFile(); }

std::string LoggerAgentFile::logFile() const
{
    ProcessGuard guard(processLock_);
    return file_.isNull() ? std::string() : file_->name();
}

std::string LoggerAgentFile::lockName() const
{
    ProcessGuard guard(processLock_);
    return lockName_;
}

DateTime LoggerAgentFile::openTime() const
{
    ProcessGuard guard(processLock_);
    return openTime_;
}

DateTime LoggerAgentFile::nextRotation() const
{
    ProcessGuard guard(processLock_);
    return nextRotation_;
}

float LoggerAgentFile::sizeFactor() const
{
    ProcessGuard guard(processLock_);
    return sizeFactor_;
}

bool LoggerAgentFile::write(const std::string& line)
{
    while (state_.load() != STATE_IDLE)
        DateTime::sleepMilliseconds(STATE_WAIT_MS);
    ProcessGuard guard(processLock_);
    if (!followSettings())
        return false;
    if (state_.load() == STATE_IDLE && file_->isOpen())
        rotateIfDue();
    return appendToOpenFile(line);
}

bool LoggerAgentFile::setLogFile(const std::string& path)
{
    if (path.empty())
        return false;
    ProcessGuard guard(processLock_);
    if (!file_.isNull() && file_->name() == path)
        return true;
    SmartPointer<FileBase> next;
    try {
        next = SmartPointer<FileBase>(new FilePlain(path));
    } catch (...) {
        return false;
    }
    std::string continued;
    if (!file_.isNull() && file_->isOpen()) {
        const std::string oldPath = file_->name();
        // Still under the old file's lock name: its last lines belong to it.
        try {
            closeFile("Log file moved to \"" + path + "\".");
        } catch (const Exception&) {
            // The old file is given up either way.
        }
        continued = "Log continued from \"" + oldPath + "\".\r\n";
    }
    file_ = next;
    lockName_ = sanitisedLockName(path);
    if (!continued.empty()) {
        try {
            writeNote(continued);
        } catch (const Exception&) {
            // The switch stands; the next line tries to open the file again.
        }
    }
    return true;
}

bool LoggerAgentFile::writeNote(const std::string& line)
{
    ProcessGuard guard(processLock_);
    return followSettings() && appendToOpenFile(line);
}

bool LoggerAgentFile::followSettings()
{
    if (file_.isNull())
        return false;
    const int32_t interval = rotationInterval().seconds();
    const int32_t size = rotationSize();
    if (interval != seenInterval_ || size != seenSize_) {
        seenInterval_ = interval;
        seenSize_ = size;
        computeNextRotation();
    }
    return true;
}

void LoggerAgentFile::rotateIfDue()
{
    bool due = false;
    {
        StateGuard checking(state_, STATE_CHECKING);
        due = checkRotation();
    }
    if (due)
        rotate();
}

bool LoggerAgentFile::appendToOpenFile(const std::string& line)
{
    if (!file_->isOpen() && !openFile())
        return false;
    CrossProcessLock lock(*this);
    const bool idle = state_.load() == STATE_IDLE;
    if (idle && !lock.acquire())
        return false;
    appendLine(line);
    if (idle)
        setInitRotationPending(false);
    return true;
}

void LoggerAgentFile::appendLine(const std::string& line)
{
    int64_t start = -1;
    try {
        start = file_->seek(0, FileBase::SEEK_END_OF_FILE);
        file_->write((lineTorn_ ? "\r\n" : "") + line + "\r\n");
        lineTorn_ = false;
        if (++lineCounter >= logFlushPeriod()) {
            lineCounter = 0;
            file_->flush();
        }
    } catch (const Exception&) {
        // Still under the cross-process lock: nobody wrote after start.
        lineTorn_ = true;
        lineCounter = 0;
        if (start >= 0) {
            try {
                file_->truncate(start);
                lineTorn_ = false;
            } catch (const Exception&) {
            }
        }
        throw;
    }
}

bool LoggerAgentFile::openFile()
{
    const DateTime now;
    const std::string application = logApplicationName();
    openTime_ = now;
    const bool existed = fileExists(file_->name());
    if (existed) {
        std::string stored;
        if (getResource(application + "LogOpened", stored) == RESOURCE_OK) {
            try {
                openTime_ = DateTime(DateTime::parseDateTime(stored));
            } catch (const TimeException&) {
                // An unreadable value counts as absent.
            }
        }
    } else {
        setInitRotationPending(false);
    }

    {
        CrossProcessLock lock(*this);
        const bool idle = state_.load() == STATE_IDLE;
        if (idle && !lock.acquire())
            return false;
        file_->open(LOG_FILE_ACCESS);
        if (idle) {
            StateGuard opening(state_, STATE_OPENING);
            writeNote(std::string("\r\n") + "Telvar " + VERSION_TEXT + " " + REVISION_TEXT + "\r\n" +
                      "Opened log file \"" + file_->baseName() + "\". Time: " + now.toText(false) + "\r\n");
        }
        if (!openedOnce_) {
            openedOnce_ = true;
            computeNextRotation();
        }
    }

    if (!existed)
        setResource(application + "LogOpened", now.toText(true, true));
    timeBase_ = openTime_.seconds();
    computeNextRotation();
    return true;
}

void LoggerAgentFile::computeNextRotation()
{
    const int32_t interval = rotationInterval().seconds();
    if (!(rotationScheme() & ROTATE_TIME) || interval <= 0)
        return;
    const int64_t candidateSeconds = int64_t(timeBase_) + interval;
    if (candidateSeconds > DateTime::MAX_SECONDS)
        return;
    timeBase_ = static_cast<int32_t>(candidateSeconds);
    const TimeSpan span(interval);
    const DateTime now;
    DateTime candidate(candidateSeconds);
    candidate.alignTo(span);
    if (candidate < now - span) {
        candidate = now;
        candidate.alignTo(span);
    }
    while (candidate < now)
        candidate += span;
    nextRotation_ = candidate;
}

bool LoggerAgentFile::checkRotation()
{
    const int32_t scheme = rotationScheme();
    if (scheme == ROTATE_NONE)
        return false;
    const DateTime now;
    const bool timeCondition = rotationInterval().seconds() > 0 && now >= nextRotation_;
    const int64_t measure = file_->size() / BYTES_PER_MEGABYTE;
    const float threshold = sizeFactor_ * static_cast<float>(rotationSize());
    // A size of zero would rotate at every line: it means no size limit.
    const bool sizeCondition = threshold > 0.0f && static_cast<float>(measure) >= threshold;
    const std::string timeText = "Time " + nextRotation_.toText(false) + " <= " + now.toText(false);
    const std::string sizeText = "Size " + std::to_string(measure) + " >= " + decimal(threshold);

    std::string message;
    if (scheme & ROTATE_INIT) {
        if (!initRotationPending())
            return false;
        // Without an interval the next rotation stays at its start, the
        // sink's creation: the time condition holds at the first check.
        if ((scheme & ROTATE_TIME) && now < nextRotation_)
            return false;
        if ((scheme & ROTATE_SIZE) && !sizeCondition)
            return false;
        message = "\nRotate condition(s): Init";
        if (scheme & ROTATE_TIME)
            message += " AND " + timeText;
        if (scheme & ROTATE_SIZE)
            message += " AND " + sizeText;
    } else if (scheme & ROTATE_TIME) {
        if (rotationInterval().seconds() <= 0)
            return false;
        if (!(scheme & ROTATE_SIZE)) {
            if (!timeCondition)
                return false;
            message = "\nRotate condition(s): " + timeText;
        } else {
            if (!sizeCondition)
                return false;
            message = timeCondition ? "\nRotate condition(s): " + timeText + " AND " + sizeText
                                    : "\nRotate condition(s): " + sizeText;
        }
    } else {
        if (!sizeCondition)
            return false;
        message = "\nRotate condition: Size" + std::to_string(measure) + " >= " + decimal(threshold);
    }
    writeNote(message);
    return true;
}

std::string LoggerAgentFile::rotatedName(const std::string& counter) const
{
    const std::string& path = file_->name();
    // Only the file's own name has an extension; a dot in a directory name
    // must not move the file elsewhere.
    std::string stem = StringUtil::baseNameOf(path);
    const std::string directory = path.substr(0, path.size() - stem.size());
    const std::string extension = StringUtil::removeExtension(stem);
    std::string name = directory + stem + "_" + openTime_.toText(false, true) + "_" + counter;
    if (!extension.empty())
        name += "." + extension;
    return name;
}

void LoggerAgentFile::rotate()
{
    CrossProcessLock lock(*this);
    if (!lock.acquire())
        return;
    StateGuard rotating(state_, STATE_ROTATING);
    writeNote("\nRotation process started...");

    const std::string counterName = logApplicationName() + "LogCounter";
    long counter = 0;
    {
        std::lock_guard<std::mutex> counterLock(counterMutex());
        std::string stored;
        long value = 0;
        if (getResource(counterName, stored) == RESOURCE_OK && parseCounter(stored, value))
            lastCounterRead = value;
        counter = lastCounterRead;
    }
    const std::string path = file_->name();
    std::string newName = rotatedName(std::to_string(counter));
    // A lost or reset counter must not make a rotation replace an older
    // rotated file.
    for (int skipped = 0; fileExists(newName) && skipped < MAX_TAKEN_NAMES; ++skipped)
        newName = rotatedName(std::to_string(++counter));
    {
        std::lock_guard<std::mutex> counterLock(counterMutex());
        lastCounterRead = counter + 1;
    }
    setResource(counterName, std::to_string(counter + 1));

    writeNote("Renaming file from \"" + path + "\" to \"" + newName + "\".");
    closeFile("Rotating log file");
    if (!moveFile(path, newName, true)) {
        sizeFactor_ += 0.25f;
        writeNote("Log file rotation error. (" + std::to_string(lastFileError()) + ")");
    } else {
        sizeFactor_ = 1.0f;
        writeNote("Log continued from \"" + StringUtil::baseNameOf(newName) + "\".");
    }
}

void LoggerAgentFile::closeFile(const std::string& reason)
{
    if (file_.isNull() || !file_->isOpen())
        return;
    try {
        writeNote("\r\nClosing log file \"" + file_->baseName() + "\". Time: " + DateTime().toText(false) +
                  ". Reason: " + reason + ".\r\n");
    } catch (...) {
        file_->close();
        throw;
    }
    file_->close();
}

} // namespace Telvar
