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

namespace {

// The problem of one pattern of a field whose numbers run from low to high;
// empty when there is none.
std::string patternProblem(const std::string& pattern, const char* field, int64_t low, int64_t high)
{
    if (pattern == "*")
        return "";
    if (pattern.empty())
        return std::string("the ") + field + " pattern is empty";
    std::vector<std::string> items;
    const bool range = pattern.find('-') != std::string::npos;
    StringUtil::splitAll(pattern, range ? '-' : ',', items);
    if (range && items.size() != 2)
        return std::string("the ") + field + " range \"" + pattern + "\" is not LOW-HIGH (a range takes no list)";
    for (std::string item : items) {
        StringUtil::trim(item);
        int64_t value = 0;
        bool digits = !item.empty();
        for (char c : item)
            digits = digits && c >= '0' && c <= '9';
        if (!digits || !StringUtil::leadingDigits(item, value))
            return std::string("the ") + field + " \"" + item + "\" is not a number";
        if (value < low || value > high)
            return std::string("the ") + field + " " + item + " is outside " + std::to_string(low) + " to " +
                   std::to_string(high);
    }
    return "";
}

} // namespace

void PrimeTime::checkText(const std::string& text, std::vector<Problem>& problems)
{
    int32_t number = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            nl = text.size();
        ++number;
        std::string line = text.substr(start, nl - start);
        start = nl + 1;
        StringUtil::trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        if (StringUtil::countChar(':', line) < 4) {
            problems.push_back({number, "expected YEAR:MONTH:DAY:WEEKDAY:HOUR [exclude], found \"" + line + "\""});
            continue;
        }
        Rule rule;
        parseLine(line, rule);
        const struct {
            const std::string& pattern;
            const char* field;
            int64_t low, high;
        } fields[] = {{rule.year, "year", 1970, 2100}, {rule.month, "month", 1, 12}, {rule.day, "day", 1, 31},
                      {rule.weekday, "weekday", 0, 6},  {rule.hour, "hour", 0, 23}};
        for (const auto& f : fields) {
            std::string problem = patternProblem(f.pattern, f.field, f.low, f.high);
            if (!problem.empty()) {
                problems.push_back({number, problem + "; the rule never matches"});
                break;
            }
        }
    }
}

bool PrimeTime::check(const std::string& path, std::vector<Problem>& problems)
{
    std::vector<std::string> lines;
    if (!readLines(path, lines))
        return false;
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    checkText(text, problems);
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
