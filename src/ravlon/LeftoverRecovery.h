#pragma once

#include <cstdint>
#include <string>

#include "common/SmartPointer.h"

namespace Telvar {

class LoggerUnit;

// Turns the data files of a run that ended without closing them into
// delivered ".data" files before a new run starts writing.
//
// A crash can leave, for a data file "B.make":
//   - "B.make.tmp", the working copy with every record of the open file;
//   - "B.make" itself: empty while the copy is in use, or holding every
//     record when the crash fell between the commit of the copy and the
//     rename to ".data";
//   - "B.make.lock" and "B.make.lock.~PID-N" (a lock being published).
// Every non-empty copy and ".make" file made of records is cut back to its
// last complete record (a classification line and its measurement line with
// its line break: a line without one may be a piece of a longer record) and
// delivered
// as "B-<seconds>-<pid>.data"; a ".make" whose records all are in its copy
// is dropped, so nothing is delivered twice. A non-empty file whose text is
// not records, or holds no whole record, is moved aside to "B.tmp.bad" or
// "B.bad" and logged with its size: nothing a crash left goes without a
// trace. Empty files, lock debris (unless a live process still holds the
// lock) and every other name of the pattern "*.make*" are deleted. Links and
// files of other accounts are logged and left alone, and a delivered name
// that exists already is never replaced.
//
// Used by the collector at start-up, and usable by anything that has to
// deliver what a killed writer left (tests, operator tools).
class LeftoverRecovery {
public:
    static constexpr const char* MAKE_SUFFIX = ".make";
    static constexpr const char* COPY_SUFFIX = ".make.tmp";
    static constexpr const char* LOCK_SUFFIX = ".make.lock";
    static constexpr const char* DATA_SUFFIX = ".data";
    static constexpr const char* BAD_SUFFIX = ".bad";
    // Scans read the files in pieces of this size; memory does not grow
    // with the file.
    static constexpr size_t SCAN_CHUNK = 64 * 1024;
    // Attempts at a free delivered name ("-1" .. "-N" appended when taken).
    static constexpr int NAME_ATTEMPTS = 100;

    // Recovers the leftovers in workingDirectory (with or without a trailing
    // separator) and answers how many files were delivered. The debug texts
    // go to unit, which may be empty. Never throws; a file that cannot be
    // handled stays where it is for the next start.
    static int32_t recover(const std::string& workingDirectory, const SmartPointer<LoggerUnit>& unit);

    // Offset just past the last complete record of the file, 0 when it has
    // none. False when the file cannot be read.
    static bool completeLength(const std::string& path, uint64_t& length);

    // How a leftover's text reads as records.
    struct Shape {
        uint64_t whole = 0;    // offset just past the last complete record
        bool records = true;   // every line where a record's line belongs,
                               // but for a torn last record
    };
    // False when the file cannot be read (or is a link or another
    // account's file).
    static bool shapeOf(const std::string& path, Shape& shape);

    // Cuts the file back to the end of its last complete record. kept and
    // removed receive the sizes after and the bytes cut. False (file left
    // as it was) when it cannot be read or cut.
    static bool trimToLastRecord(const std::string& path, uint64_t& kept, uint64_t& removed);

    // True when the first size bytes of path equal the first size bytes of
    // other (both must be at least that long). Read in pieces.
    static bool samePrefix(const std::string& path, const std::string& other, uint64_t size);

    // The delivered name of a copy or ".make" file: its path without
    // ".make.tmp" or ".make", then "-", seconds, "-", pid and ".data".
    // attempt 0 gives that name; attempt n > 0 adds "-n" before ".data".
    static std::string recoveredName(const std::string& leftoverPath, int64_t seconds, int64_t pid,
                                     int attempt = 0);

    // The name a leftover is moved aside to: without ".make", "-n" for
    // attempt n > 0, then ".bad".
    static std::string asideName(const std::string& leftoverName, int attempt = 0);

    // Names of the lock debris removed: "X.make.lock" and "X.make.lock.~P-N".
    static bool isLockDebris(const std::string& name);
};

} // namespace Telvar
