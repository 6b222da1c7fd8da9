#include "agent/LogFile.h"

#include <mutex>

#include "common/DateTime.h"
#include "common/Exception.h"
#include "common/FileBase.h"
#include "common/FileOperations.h"
#include "common/StringUtil.h"
#include "logger/LoggerUnit.h"
#include "logger/ParamStream.h"
#include "platform/CollectorStatistics.h"
#include "platform/Process.h"

namespace Telvar {

std::atomic<uint32_t> LogFile::sequence_{0};

namespace {

using StringUtil::allDigits;
using StringUtil::endsWith;

std::mutex g_unitLock;
SmartPointer<LoggerUnit> g_unit;

const std::string MAKE_EXTENSION = ".make";
const std::string DATA_EXTENSION = ".data";

// Releases the lock on every way out, exceptions included.
class Hold {
public:
    explicit Hold(Monopoly& lock) : lock_(lock), held_(lock.enforce()) {}
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    ~Hold()
    {
        if (held_)
            lock_.relax();
    }
    bool held() const { return held_; }

private:
    Monopoly& lock_;
    bool held_;
};

void debugText(int32_t level, const std::string& text)
{
    SmartPointer<LoggerUnit> unit = LogFile::loggerUnit();
    if (!unit.isNull())
        unit->debug(level, text);
}

void debugText(int32_t level, const std::string& templ, const ParamStream& params)
{
    SmartPointer<LoggerUnit> unit = LogFile::loggerUnit();
    if (!unit.isNull())
        unit->debug(level, templ, params);
}

void errorMessage(int32_t message, const ParamStream& params)
{
    SmartPointer<LoggerUnit> unit = LogFile::loggerUnit();
    if (!unit.isNull())
        unit->error(message, params);
}

void warningMessage(int32_t message, const ParamStream& params)
{
    SmartPointer<LoggerUnit> unit = LogFile::loggerUnit();
    if (!unit.isNull())
        unit->warning(message, params);
}

// Directory part (up to and including the last separator) and file-name part.
void splitName(const std::string& fullName, std::string& directory, std::string& fileName)
{
    size_t cut = fullName.find_last_of("\\/");
    if (cut == std::string::npos) {
        directory.clear();
        fileName = fullName;
    } else {
        directory = fullName.substr(0, cut + 1);
        fileName = fullName.substr(cut + 1);
    }
}


void logFailure(int32_t message, const std::string& name, Exception& e, int line)
{
    e.addTrace(LogFile::SOURCE, line);
    errorMessage(message, ParamStream() << name << e.codeText());
    debugText(1, "LogFile: " + e.fullText());
}

// Runs one file operation; whatever escapes it is logged as message, under
// the name the file has by then, and answers false.
template <typename Operation>
bool attempt(LogFile& file, int32_t message, int line, Operation op)
{
    try {
        return op();
    } catch (Exception& e) {
        logFailure(message, file.getName(), e, line);
    } catch (...) {
        errorMessage(message, ParamStream() << file.getName() << "UNKNOWN");
    }
    return false;
}

} // namespace

LogFile::LogFile() = default;

LogFile::~LogFile()
{
    try {
        end();
    } catch (...) {
        // The ".make" file stays; leftover recovery deals with it at the next start.
    }
    file_.reset();
}

std::string LogFile::dataFileName(const std::string& base, int64_t seconds, int64_t pid,
                                  uint32_t sequence)
{
    return base + "-" + std::to_string(seconds) + "-" + std::to_string(pid) + "-" +
           std::to_string(sequence) + MAKE_EXTENSION;
}

std::string LogFile::deliveredName(const std::string& fullName)
{
    std::string directory;
    std::string fileName;
    splitName(fullName, directory, fileName);
    // The extension, not the first "make" of the name: a base such as
    // "remake" must not leave the file under a ".make" name nobody collects.
    if (endsWith(fileName, MAKE_EXTENSION)) {
        fileName.replace(fileName.size() - 4, 4, "data");
    } else {
        size_t at = fileName.find("make");
        if (at != std::string::npos)
            fileName.replace(at, 4, "data");
    }
    return directory + fileName;
}

std::string LogFile::baseOf(const std::string& fullName)
{
    std::string directory;
    std::string fileName;
    splitName(fullName, directory, fileName);
    std::string stem = fileName;
    if (endsWith(stem, MAKE_EXTENSION) || endsWith(stem, DATA_EXTENSION))
        stem.erase(stem.size() - MAKE_EXTENSION.size());
    // Drop "-<seconds>-<pid>-<n>" so that a base containing "-" survives.
    size_t end = stem.size();
    bool ours = true;
    for (int part = 0; part < 3 && ours; ++part) {
        size_t dash = end == 0 ? std::string::npos : stem.rfind('-', end - 1);
        ours = dash != std::string::npos && allDigits(stem, dash + 1, end);
        if (ours)
            end = dash;
    }
    if (ours)
        return directory + stem.substr(0, end);
    return directory + fileName.substr(0, fileName.find('-'));
}

void LogFile::setLoggerUnit(const SmartPointer<LoggerUnit>& unit)
{
    std::lock_guard<std::mutex> guard(g_unitLock);
    g_unit = unit;
}

SmartPointer<LoggerUnit> LogFile::loggerUnit()
{
    std::lock_guard<std::mutex> guard(g_unitLock);
    return g_unit;
}

uint32_t LogFile::lastSequence()
{
    return sequence_.load();
}

void LogFile::setName(const std::string& base)
{
    // Configuration is the only caller, but the lock costs nothing and keeps
    // the file object from changing under a writer.
    Hold hold(lock_);
    if (!file_.isNull() && file_->isOpen())
        end();
    file_.reset();
    lineOpen_ = false;
    rollBackPending_ = false;
    wholeSize_ = 0;
    uint32_t sequence = ++sequence_;
    std::string name = dataFileName(base, DateTime::now().seconds(),
                                    Platform::currentProcessId(), sequence);
    file_ = FileBase::create(name);
    debugText(3, "LogFile: Set name = \"%s\".", ParamStream() << name);
}

std::string LogFile::getName()
{
    Hold hold(lock_);
    return file_.isNull() ? std::string() : file_->name();
}

bool LogFile::open()
{
    debugText(3, "LogFile: Opening file: %s...", ParamStream() << getName());
    Hold hold(lock_);
    if (!hold.held()) {
        debugText(1, "Failed to enforce monopoly. 1");
        return false;
    }
    if (file_.isNull()) {
        errorMessage(MSG_OPEN_NO_FILE, ParamStream() << "Open logfile " << getName());
        return false;
    }
    bool opened = attempt(*this, MSG_OPEN_FAILED, OPEN_LINE, [this] {
        if (file_->isOpen())
            end();
        lineOpen_ = false;
        rollBackPending_ = false;
        wholeSize_ = 0;
        file_->open(FileBase::ACCESS_WRITE | FileBase::ACCESS_TRUNCATE | FileBase::ACCESS_CREATE);
        Platform::collectorStatistics().add(Platform::CollectorStatistics::FILES_PENDING);
        return true;
    });
    if (!opened)
        return false;
    debugText(4, "   LogFile: File opened.");
    return true;
}

bool LogFile::write(const std::string& text)
{
    debugText(5, "LogFile: Writing...");
    Hold hold(lock_);
    if (!hold.held()) {
        debugText(1, "Failed to enforce monopoly. 1");
        return false;
    }
    if (file_.isNull()) {
        errorMessage(MSG_WRITE_NO_FILE,
                     ParamStream() << "LogFile:write: Trying to write to NULL file object.");
        return false;
    }
    lineEndedByEnd_ = false;
    bool written = attempt(*this, MSG_WRITE_FAILED, WRITE_LINE, [this, &text] {
        if (!file_->isOpen()) {
            debugText(5, "   LogFile: File is not open. Opening...");
            if (!open())
                return false;
        }
        if (rollBackPending_ && !rollBack())
            return false;
        if (!file_->write(text)) {
            errorMessage(MSG_WRITE_FAILED, ParamStream() << getName() << "UNKNOWN");
            return false;
        }
        if (!text.empty())
            lineOpen_ = text.back() != '\n';
        recordCut_ = false;
        return true;
    });
    if (!written && !file_.isNull() && file_->isOpen()) {
        // Part of the text may be out: the record must not stay torn.
        rollBackPending_ = true;
        rollBack();
    }
    return written;
}

bool LogFile::rollBack()
{
    lineOpen_ = false;
    recordCut_ = true;
    bool cut = attempt(*this, MSG_WRITE_FAILED, WRITE_LINE, [this] {
        file_->truncate(wholeSize_);
        return true;
    });
    rollBackPending_ = !cut;
    return cut;
}

bool LogFile::flushRecord()
{
    bool flushed = attempt(*this, MSG_WRITE_FAILED, WRITE_LINE, [this] {
        file_->flush();
        return true;
    });
    if (flushed) {
        wholeSize_ = file_->tell();
        return true;
    }
    rollBackPending_ = true;
    rollBack();
    return false;
}

bool LogFile::endLine()
{
    Hold hold(lock_);
    if (!hold.held()) {
        debugText(1, "Failed to enforce monopoly. 1");
        return false;
    }
    // A delivery between a record's write and its line end already ended
    // the line in the delivered file; a lone "\n" must not start the next.
    if (!file_.isNull() && !file_->isOpen()) {
        bool ended = lineEndedByEnd_;
        lineEndedByEnd_ = false;
        return ended;
    }
    if (recordCut_)
        return false;
    if (!write("\n"))
        return false;
    return flushRecord();
}

void LogFile::end()
{
    Hold hold(lock_);
    if (!hold.held()) {
        debugText(1, "Failed to enforce monopoly. 1");
        return;
    }
    // Looked at under the lock: a writer may be opening the file right now.
    if (file_.isNull() || !file_->isOpen())
        return;
    const std::string oldName = file_->name();
    debugText(4, "LogFile: Ending file \"%s\"...", ParamStream() << oldName);
    if (rollBackPending_)
        rollBack();
    Platform::CollectorStatistics& statistics = Platform::collectorStatistics();
    statistics.add(Platform::CollectorStatistics::FILES_PENDING, -1);
    if (lineOpen_) {
        // Finish the record's last line before the file is handed over.
        lineOpen_ = false;
        lineEndedByEnd_ = write("\n") && flushRecord();
    }
    try {
        file_->close();
    } catch (...) {
        // The records may still sit in the working copy: a next open of the
        // same name would truncate it, so later records go to a new file.
        lineOpen_ = false;
        updateName();
        statistics.add(Platform::CollectorStatistics::DELIVERY_FAILURES);
        throw;
    }

    const std::string newName = deliveredName(oldName);
    std::string directory;
    std::string oldPart;
    std::string newPart;
    splitName(oldName, directory, oldPart);
    splitName(newName, directory, newPart);
    debugText(4, "LogFile: Renaming file \"%s\" to \"%s\".", ParamStream() << oldPart << newPart);
    if (moveFile(oldName, newName, true)) {
        statistics.delivered();
        debugText(2, "LogFile: Ended file \"" + oldName + "\".");
    } else {
        statistics.add(Platform::CollectorStatistics::DELIVERY_FAILURES);
        warningMessage(MSG_RENAME_FAILED, ParamStream() << oldName << newName);
    }

    updateName();
    std::string currentPart;
    splitName(getName(), directory, currentPart);
    debugText(4, "LogFile: Updated file name from \"%s\" to \"%s\".",
              ParamStream() << newPart << currentPart);
}

void LogFile::updateName()
{
    Hold hold(lock_);
    if (file_.isNull()) {
        debugText(1, "UpdateName ERROR: Trying to update void file object.");
        return;
    }
    setName(baseOf(file_->name()));
}

} // namespace Telvar
