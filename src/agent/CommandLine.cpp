#include "agent/CommandLine.h"

namespace Telvar {

namespace {

bool isQuote(char c) { return c == '"' || c == '\''; }

// A value token starting at pos; pos moves past it. Quoted: up to the
// matching quote (or the end of the text); unquoted: up to a blank, a "-" or
// a quote.
std::string readValue(const std::string& text, size_t& pos)
{
    const size_t n = text.size();
    if (isQuote(text[pos])) {
        const char quote = text[pos++];
        size_t end = text.find(quote, pos);
        if (end == std::string::npos)
            end = n;
        std::string value = text.substr(pos, end - pos);
        pos = end < n ? end + 1 : n;
        return value;
    }
    size_t start = pos;
    while (pos < n && !CommandLine::isBlank(text[pos]) && text[pos] != '-' && !isQuote(text[pos]))
        ++pos;
    // The caller only starts a token on a byte that belongs to one; a "-"
    // that starts no option is taken as one byte of value.
    if (pos == start)
        ++pos;
    return text.substr(start, pos - start);
}

} // namespace

void CommandLine::split(const std::string& line, std::string& programPath, std::string& arguments)
{
    size_t rest = 0;
    if (!line.empty() && line[0] == '"') {
        size_t close = line.find('"', 1);
        if (close == std::string::npos) {
            programPath = line.substr(1);
            rest = line.size();
        } else {
            programPath = line.substr(1, close - 1);
            rest = close + 1;
        }
    } else {
        size_t blank = 0;
        while (blank < line.size() && !isBlank(line[blank]))
            ++blank;
        programPath = line.substr(0, blank);
        rest = blank;
    }
    while (rest < line.size() && line[rest] == ' ')
        ++rest;
    arguments = line.substr(rest);
}

CommandLine::Options CommandLine::parse(const std::string& text)
{
    Options options;
    const size_t n = text.size();
    size_t pos = 0;
    bool pending = false;
    std::string pendingName;

    auto store = [&](const std::string& value) {
        options.emplace_back(pending ? pendingName : std::string(), value);
        pending = false;
        pendingName.clear();
    };
    auto startOption = [&](std::string name) {
        if (pending)
            store(std::string());
        pending = true;
        pendingName = std::move(name);
    };

    while (pos < n) {
        const char c = text[pos];
        if (isBlank(c)) {
            ++pos;
            continue;
        }
        const bool dashStartsOption = c == '-' && pos + 1 < n && !isBlank(text[pos + 1]);
        if (!dashStartsOption) {
            store(readValue(text, pos));
            continue;
        }
        if (text[pos + 1] == '-') {
            size_t start = pos + 2;
            size_t end = start;
            while (end < n && !isBlank(text[end]))
                ++end;
            startOption(text.substr(start, end - start));
            pos = end;
            continue;
        }
        startOption(std::string(1, text[pos + 1]));
        pos += 2;
        // Characters directly after the name start the value, unless they
        // start another option.
        if (pos < n && !isBlank(text[pos]) && text[pos] != '-')
            store(readValue(text, pos));
    }
    if (pending)
        store(std::string());
    return options;
}

} // namespace Telvar
