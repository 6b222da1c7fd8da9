#include "logger/LogCommons.h"

#include <climits>
#include <new>

#include "common/Exception.h"
#include "common/FileOperations.h"
#include "common/FilePlain.h"
#include "common/StringUtil.h"
#include "logger/LogIdentifiers.h"

namespace Telvar {

LogCommons::~LogCommons() = default;

std::string LogCommons::makeKey(int32_t moduleId, int32_t messageId)
{
    return std::to_string(moduleId) + "." + std::to_string(messageId);
}

bool LogCommons::insert(int32_t moduleId, int32_t messageId, const std::string& templ)
{
    return insert(makeKey(moduleId, messageId), templ);
}

bool LogCommons::insert(const std::string& key, const std::string& templ)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.emplace(key, templ).second;
}

bool LogCommons::lookup(int32_t moduleId, int32_t messageId, std::string& templ) const
{
    const std::string key = makeKey(moduleId, messageId);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end())
        return false;
    templ = it->second;
    return true;
}

size_t LogCommons::size() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

void LogCommons::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

namespace {

// Not the usual conversion: no sign and no white space before the digits,
// as a message number is never negative and "-5: text" must not make one.
int32_t leadingNumber(const std::string& text)
{
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            break;
        value = value * 10 + (c - '0');
        if (value > INT32_MAX)
            return INT32_MAX;
    }
    return static_cast<int32_t>(value);
}

bool selected(const std::string& key, const std::string& selection)
{
    if (selection == LogCommons::SELECT_ALL)
        return true;
    return StringUtil::toLowerCopy(selection).find(StringUtil::toLowerCopy(key)) != std::string::npos;
}

} // namespace

bool LogCommons::parseLine(const std::string& line, int32_t& number, std::string& templ)
{
    std::string rest = line;
    // Carriage returns of files written elsewhere never reach a template.
    while (!rest.empty() && rest.back() == '\r')
        rest.pop_back();
    if (rest.empty() || rest.compare(0, 2, "//") == 0)
        return false;
    std::string numberText = StringUtil::splitFirst(rest, ':');
    StringUtil::trim(numberText);
    StringUtil::trim(rest);
    if (numberText.empty() && rest.empty())
        return false; // white space only
    number = leadingNumber(numberText);
    templ = rest;
    return true;
}

size_t LogCommons::insertText(int32_t moduleId, const std::string& text)
{
    size_t count = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        int32_t number = 0;
        std::string templ;
        if (parseLine(text.substr(start, end - start), number, templ)) {
            insert(moduleId, number, templ);
            ++count;
        }
        start = end + 1;
    }
    return count;
}

const LogCommons& LogCommons::builtIn()
{
    // Generated from etc/LogMessages at build time: {module key, file text}.
    static const char* const FILES[][2] = {
#include "BuiltInMessages.inc"
    };
    static const LogCommons* catalogue = [] {
        LogCommons* c = new LogCommons();
        for (const auto& file : FILES)
            c->insertText(parseModuleName(file[0]), file[1]);
        return c;
    }();
    return *catalogue;
}

LogCommons::LoadResult LogCommons::load(const std::string& baseDirectory, const std::string& selection)
{
    LoadResult result;
    std::string base = baseDirectory;
    StringUtil::normaliseSeparators(base);
    StringUtil::appendSeparator(base);
    const std::string directory = base + DIRECTORY + Platform::PATH_SEPARATOR;

    try {
        for (const DirectoryEntry& entry : listDirectory(directory, std::string("*") + EXTENSION)) {
            if (!entry.isFile)
                continue;
            std::string key = StringUtil::baseNameOf(entry.name);
            StringUtil::removeExtension(key);
            const int32_t moduleId = parseModuleName(key);
            if (moduleId == MODULE_UNKNOWN || !selected(key, selection)) {
                result.skipped.push_back(entry.name);
                continue;
            }
            FilePlain* raw = new (std::nothrow) FilePlain(directory + key + EXTENSION);
            if (!raw) {
                result.error = "OUT OF MEMORY";
                return result;
            }
            SmartPointer<FileBase> file(raw);
            file->setReadLimit(FileBase::MAX_INPUT_BYTES);
            file->open(FileBase::ACCESS_READ);
            size_t count = 0;
            std::string line;
            while (!file->eof()) {
                try {
                    file->readLine(line);
                } catch (const FileException& e) {
                    // The last line needs no line feed: the end is not an error.
                    if (e.code() == FileException::FL_EOF)
                        break;
                    throw;
                }
                int32_t number = 0;
                std::string templ;
                if (!parseLine(line, number, templ))
                    continue;
                insert(moduleId, number, templ);
                ++count;
            }
            file->close();
            result.loaded.push_back(key);
            result.counts.push_back(count);
        }
    } catch (FileException& e) {
        e.addTrace("shared/library/logger/LogCommons", 115);
        result.error = e.fullText();
        return result;
    } catch (...) {
        result.error = "Unknown";
        return result;
    }
    result.completed = true;
    return result;
}

} // namespace Telvar
