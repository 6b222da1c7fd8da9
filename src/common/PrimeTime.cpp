#include "common/PrimeTime.h"

#include "common/BasicFile.h"
#include "common/FileBase.h"
#include "common/StringUtil.h"
#include "common/WhitespaceSearcher.h"

namespace Telvar {

namespace {

// The file's lines; false when it cannot be opened or read.
bool readLines(const std::string& path, std::vector<std::string>& lines)
{
    BasicFile file;
    if (!file.open(path, BasicFile::MODE_READ))
        return false;
    if (file.endPositionAtOpen() > FileBase::MAX_INPUT_BYTES) {
        file.close();
        return false;
    }
    for (;;) {
        std::string line = file.readLine();
        int error = file.errorCode();
        if (error == BasicFile::ERROR_END_OF_FILE)
            break;
        // A line with control bytes comes back empty and adds no rule.
        if (error != BasicFile::ERROR_NONE && error != BasicFile::ERROR_CONTROL_BYTE) {
            file.close();
            return false;
        }
        lines.push_back(line);
    }
    file.close();
    return true;
}

} // namespace

PrimeTime::PrimeTime() : cachedMoment_(int64_t(0)) {}

PrimeTime::~PrimeTime() = default;

bool PrimeTime::parseLine(const std::string& text, Rule& rule)
{
    std::string line = text;
    StringUtil::trim(line);
    if (line.empty() || line[0] == '#')
        return false;
    rule = Rule();
    rule.year = StringUtil::splitFirst(line, ':');
    rule.month = StringUtil::splitFirst(line, ':');
    rule.day = StringUtil::splitFirst(line, ':');
    rule.weekday = StringUtil::splitFirst(line, ':');
    WhitespaceSearcher searcher;
    rule.hour = splitFirstToken(line, searcher);
    StringUtil::trimLeft(line);
    size_t hash = line.find('#');
    if (hash != std::string::npos)
        line.erase(hash);
    StringUtil::trimRight(line);
    StringUtil::toLower(line);
    rule.prime = !(line == "exclude" || line == "0");
    return true;
}

void PrimeTime::loadText(const std::string& text)
{
    size_t start = 0;
    while (start <= text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            nl = text.size();
        Rule rule;
        if (parseLine(text.substr(start, nl - start), rule))
            rules_.push_back(rule);
        start = nl + 1;
    }
    cached_ = false;
}

bool PrimeTime::load(const std::string& path)
{
    std::vector<std::string> lines;
    if (!readLines(path, lines))
        return false;
    for (const std::string& line : lines) {
        Rule rule;
        if (parseLine(line, rule))
            rules_.push_back(rule);
    }
    cached_ = false;
    return true;
}

bool PrimeTime::matches(const std::string& pattern, int32_t number)
{
    if (pattern == "*")
        return true;
    if (pattern.find('-') != std::string::npos) {
        std::vector<int32_t> bounds;
        StringUtil::splitIntegers(pattern, '-', bounds);
        return bounds.size() == 2 && bounds[0] <= number && number <= bounds[1];
    }
    std::vector<std::string> items;
    StringUtil::splitAll(pattern, ',', items);
    for (const std::string& item : items) {
        int64_t value = 0;
        if (StringUtil::leadingDigits(item, value) && value == number)
            return true;
    }
    return false;
}

int32_t PrimeTime::classifyParts(int32_t year, int32_t month, int32_t day, int32_t weekday,
                                 int32_t hour) const
{
    int32_t result = UNDEF;
    for (const Rule& rule : rules_) {
        if (matches(rule.year, year) && matches(rule.month, month) && matches(rule.day, day) &&
            matches(rule.weekday, weekday) && matches(rule.hour, hour))
            result = rule.prime ? PRIME : NON_PRIME;
    }
    return result;
}

int32_t PrimeTime::classify(const DateTime& moment)
{
    if (cached_ && moment == cachedMoment_)
        return cachedResult_;
    DateTimeParts parts = moment.localParts();
    // DateTimeParts counts weekdays from Monday; the rules from Sunday.
    int32_t weekday = (parts.weekday + 1) % 7;
    int32_t result = classifyParts(parts.year, parts.month, parts.day, weekday, parts.hour);
    cachedMoment_ = moment;
    cachedResult_ = result;
    cached_ = true;
    return result;
}

const char* PrimeTime::label(int32_t result)
{
    switch (result) {
    case PRIME: return "prime";
    case NON_PRIME: return "non-prime";
    default: return "undef";
    }
}

} // namespace Telvar
