#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "common/Monopoly.h"
#include "common/SmartPointer.h"

namespace Telvar {

class FileBase;
class LoggerUnit;

// One stream of measurement data. Records go to "<base>-<seconds>-<pid>-<n>.make"
// (opened on the first write); end() closes that file, renames it to its
// ".data" name for the core program to pick up and names the next ".make"
// file. Every operation runs under one re-entrant lock, so a write lies
// wholly in the old file or wholly in the new one.
class LogFile {
public:
    // Where the trace entries of open and write point.
    static constexpr const char* SOURCE = "programs/collectors/agent/LogFile";
    static constexpr int OPEN_LINE = 131;
    static constexpr int WRITE_LINE = 187;

    // Catalogue messages of the agent's module.
    static constexpr int MSG_OPEN_NO_FILE = 1;
    static constexpr int MSG_OPEN_FAILED = 2;
    static constexpr int MSG_WRITE_NO_FILE = 3;
    static constexpr int MSG_WRITE_FAILED = 4;
    static constexpr int MSG_RENAME_FAILED = 10;

    LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;
    // Ends the current file (it becomes a ".data" file); never throws.
    virtual ~LogFile();

    // Ends an open file first, then names a new, unopened ".make" file
    // after base (which may hold a directory).
    void setName(const std::string& base);
    // Full name of the current file; empty before the first setName.
    std::string getName();
    // Opens the current file for writing (an open one is ended first).
    bool open();
    // Appends text as given, opening the file when needed.
    bool write(const std::string& text);
    // Ends the current line and flushes it; true once the record is whole in
    // the file. When the file was ended since the last write, end() already
    // finished that line: nothing is written. A failed write or line end
    // cuts the file back to the end of the last whole record, so a record
    // lands whole or not at all.
    bool endLine();
    // Close, rename ".make" to ".data", name the next file. A failed close
    // escapes after the next file has been named (the lock is released).
    void end();
    // Names a fresh ".make" file with the base of the current name.
    void updateName();

    // The file name "<base>-<seconds>-<pid>-<n>.make" for a sequence number.
    static std::string dataFileName(const std::string& base, int64_t seconds, int64_t pid,
                                    uint32_t sequence);
    // Name of the delivered file: the ".make" extension becomes ".data".
    static std::string deliveredName(const std::string& fullName);
    // The base a data file name was made from.
    static std::string baseOf(const std::string& fullName);

    // The agent's logger unit, shared by all data files of the process; an
    // empty one keeps them silent.
    static void setLoggerUnit(const SmartPointer<LoggerUnit>& unit);
    static SmartPointer<LoggerUnit> loggerUnit();
    // Last sequence number used by setName (0 before the first).
    static uint32_t lastSequence();

private:
    SmartPointer<FileBase> file_;
    Monopoly lock_;
    // Private helpers run under lock_.
    // Cuts the file back to the last whole record; false when that failed
    // too (it is tried again before the next write and before the close).
    bool rollBack();
    bool flushRecord();

    // The last write left a line without its line end.
    bool lineOpen_ = false;
    // end() finished the record the last write began.
    bool lineEndedByEnd_ = false;
    // The last record was cut off again after a failed write.
    bool recordCut_ = false;
    // Size of the file up to the end of its last whole record.
    int64_t wholeSize_ = 0;
    // A failed write left bytes after wholeSize_ that are not cut off yet.
    bool rollBackPending_ = false;

    static std::atomic<uint32_t> sequence_;
};

} // namespace Telvar
