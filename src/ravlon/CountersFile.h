#pragma once

#include <functional>
#include <string>
#include <vector>

#include "common/SmartPointer.h"

namespace Telvar {

class Counter;
class FileBase;
class LoggerUnit;

// Reads a scheme's counters file: object name lines, each followed by a "{"
// line, counter name lines and a "}" line; "#" lines are comments and a "{"
// without object skips its block. Plain or gzip-compressed.
//
// These are the collector's own operations: the messages and traces name
// its module, and they log through the unit it hands in.
class CountersFile {
public:
    // Where the trace entries of these operations point.
    static constexpr const char* SOURCE = "programs/collectors/agent/Win32/Ravlon/Ravlon";
    static constexpr int SET_UP_LINE = 459;
    static constexpr int READ_LINE = 514;

    // Catalogue messages of the collector's module.
    static constexpr int MSG_CANNOT_OPEN = 3;
    static constexpr int MSG_BAD_FILE = 13;
    static constexpr int MSG_NO_MEMORY = 26;
    static constexpr int MSG_NOT_OPENED = 27;

    // Appends the file's counters, in file order, to counters. False (with a
    // fatal message, and counters unchanged) when the file is missing,
    // unreadable or malformed.
    static bool setUpCounters(const SmartPointer<LoggerUnit>& unit, const std::string& path,
                              std::vector<SmartPointer<Counter>>& counters);

    // The same over a file opened for reading.
    static bool readCountersFile(const SmartPointer<LoggerUnit>& unit, FileBase* file,
                                 std::vector<SmartPointer<Counter>>& counters);

    // One counter as the file lists it, with its line number (from 1).
    struct Listed {
        int line = 0;
        std::string object;
        std::string counter;
    };
    enum class Ending {
        COMPLETE,     // every line read
        OPEN_OBJECT,  // the file ends after an object name, before its "{"
        MISSING_BRACE,  // a line other than "{" follows an object name: refused
        STOPPED,      // take asked to stop
    };
    // Where the reading stands: the line read last (the one that failed
    // when reading throws), the object named last and that line's text.
    struct Position {
        int line = 0;
        std::string object;
        std::string text;
    };
    // Reads an opened file's lines by these rules and hands each counter to
    // take as it is read; take returns false to stop. Throws what reading
    // the file throws.
    static Ending list(FileBase& file, const std::function<bool(const Listed&)>& take, Position& at);
};

} // namespace Telvar
