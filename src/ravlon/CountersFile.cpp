#include "ravlon/CountersFile.h"

#include <memory>
#include <new>

#include "common/Exception.h"
#include "common/FileBase.h"
#include "common/FileGZ.h"
#include "common/FileOperations.h"
#include "common/StringUtil.h"
#include "logger/LoggerUnit.h"
#include "logger/ParamStream.h"
#include "ravlon/Counter.h"

namespace Telvar {

namespace {

void debugText(const SmartPointer<LoggerUnit>& unit, int32_t level, const std::string& text)
{
    if (!unit.isNull())
        unit->debug(level, text);
}

void fatal(const SmartPointer<LoggerUnit>& unit, int32_t message, const ParamStream& params)
{
    if (!unit.isNull())
        unit->fatal(message, params);
}

enum class State { EXPECT_OBJECT, EXPECT_BRACE, IN_BLOCK, SKIP_BLOCK };

} // namespace

bool CountersFile::setUpCounters(const SmartPointer<LoggerUnit>& unit, const std::string& path,
                                 std::vector<SmartPointer<Counter>>& counters)
{
    debugText(unit, 2, "Setting up counters...");
    if (!fileExists(path)) {
        fatal(unit, MSG_CANNOT_OPEN, ParamStream() << path);
        return false;
    }
    std::unique_ptr<FileGZ> file;
    try {
        file.reset(new FileGZ(path));
    } catch (const std::bad_alloc&) {
        fatal(unit, MSG_NO_MEMORY, ParamStream());
        return false;
    }
    try {
        file->setReadLimit(FileBase::MAX_INPUT_BYTES);
        file->open(FileBase::ACCESS_READ);
        bool ok = readCountersFile(unit, file.get(), counters);
        file->close();
        return ok;
    } catch (Exception& e) {
        e.addTrace(SOURCE, SET_UP_LINE);
        fatal(unit, MSG_CANNOT_OPEN, ParamStream() << path);
        debugText(unit, 1, e.fullText());
        return false;
    } catch (...) {
        fatal(unit, MSG_CANNOT_OPEN, ParamStream() << path);
        return false;
    }
}

CountersFile::Ending CountersFile::list(FileBase& file, const std::function<bool(const Listed&)>& take,
                                       Position& at)
{
    State state = State::EXPECT_OBJECT;
    at = Position();
    while (!file.eof()) {
        ++at.line;
        file.readLine(at.text);
        StringUtil::trim(at.text);
        const std::string& line = at.text;
        if (line.empty() || line[0] == '#')
            continue;
        switch (state) {
        case State::EXPECT_OBJECT:
            if (line == "{") {
                state = State::SKIP_BLOCK;
            } else {
                at.object = line;
                state = State::EXPECT_BRACE;
            }
            break;
        case State::EXPECT_BRACE:
            if (line != "{")
                return Ending::MISSING_BRACE;
            state = State::IN_BLOCK;
            break;
        case State::IN_BLOCK:
            if (line == "}")
                state = State::EXPECT_OBJECT;
            else if (!take(Listed{at.line, at.object, line}))
                return Ending::STOPPED;
            break;
        case State::SKIP_BLOCK:
            if (line == "}")
                state = State::EXPECT_OBJECT;
            break;
        }
    }
    return state == State::EXPECT_BRACE ? Ending::OPEN_OBJECT : Ending::COMPLETE;
}

bool CountersFile::readCountersFile(const SmartPointer<LoggerUnit>& unit, FileBase* file,
                                    std::vector<SmartPointer<Counter>>& counters)
{
    if (file == nullptr || !file->isOpen()) {
        fatal(unit, MSG_NOT_OPENED, ParamStream() << "File");
        debugText(unit, 1, "Counters file was not opened.");
        return false;
    }
    // Filled apart, so that a failure adds nothing to the caller's list.
    std::vector<SmartPointer<Counter>> read;
    auto take = [&](const Listed& listed) {
        Counter* counter = new (std::nothrow) Counter(listed.object, listed.counter);
        if (counter == nullptr) {
            debugText(unit, 1, "OUT OF MEMORY");
            return false;
        }
        read.push_back(SmartPointer<Counter>(counter));
        if (!unit.isNull())
            unit->debug(3, "   Got counter \"\\%s\\%s\".", ParamStream() << listed.object << listed.counter);
        return true;
    };
    try {
        Position at;
        Ending ending = list(*file, take, at);
        if (ending == Ending::MISSING_BRACE)
            fatal(unit, MSG_BAD_FILE, ParamStream() << file->name());
        if (ending == Ending::MISSING_BRACE || ending == Ending::STOPPED)
            return false;
        // An unterminated block keeps what it listed.
        counters.insert(counters.end(), read.begin(), read.end());
        return true;
    } catch (Exception& e) {
        e.addTrace(SOURCE, READ_LINE);
        fatal(unit, MSG_BAD_FILE, ParamStream() << file->name());
        debugText(unit, 1, e.fullText());
        return false;
    } catch (const std::bad_alloc&) {
        debugText(unit, 1, "OUT OF MEMORY");
        return false;
    } catch (...) {
        fatal(unit, MSG_BAD_FILE, ParamStream() << file->name());
        debugText(unit, 1, "Unknown error when reading counters file.");
        return false;
    }
}

} // namespace Telvar
