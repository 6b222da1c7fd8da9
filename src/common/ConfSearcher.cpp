#include "common/ConfSearcher.h"

#include <set>

namespace Telvar {

using StringUtil::isWhite;

namespace {

struct Tables {
    bool delimiter[256] = {};
    std::set<std::string> operators;

    Tables()
    {
        static const char delimiters[] = "=(){}\n";
        for (const char* d = delimiters; *d != '\0'; ++d) {
            delimiter[static_cast<unsigned char>(*d)] = true;
            operators.insert(std::string(1, *d));
        }
    }
};

// Built once, on first use; a function-local static is safe to reach from
// several threads.
const Tables& tables()
{
    static const Tables t;
    return t;
}

// End of the quoted text opening at p (a backslash escapes the next byte);
// end when the quote is not closed.
size_t quotedEnd(const std::string& text, size_t p, size_t end)
{
    const char quote = text[p];
    size_t q = p + 1;
    while (q < end) {
        if (text[q] == '\\')
            q += 2;
        else if (text[q] == quote)
            return q + 1;
        else
            ++q;
    }
    return end;
}

// End of the "//" or "/*" comment opening at p: a line comment stops before
// its line end (and a carriage return before it).
size_t commentEnd(const std::string& text, size_t p, size_t end)
{
    if (text[p + 1] == '/') {
        size_t nl = text.find('\n', p + 2);
        if (nl == std::string::npos || nl > end)
            nl = end;
        else if (nl > p + 2 && text[nl - 1] == '\r')
            --nl;
        return nl;
    }
    size_t close = text.find("*/", p + 2);
    if (close == std::string::npos || close + 2 > end)
        return end;
    return close + 2;
}

// End of the operator at p: the longest one starting there.
size_t operatorEnd(const std::string& text, size_t p, size_t end, const Tables& t)
{
    // All of today's operators are one byte.
    for (size_t len = 3; len > 1; --len)
        if (end - p >= len && t.operators.count(text.substr(p, len)) != 0)
            return p + len;
    return p + 1;
}

} // namespace

ConfSearcher::ConfSearcher() { tables(); }

ConfSearcher::~ConfSearcher() = default;

bool ConfSearcher::isDelimiter(char c) { return tables().delimiter[static_cast<unsigned char>(c)]; }

size_t ConfSearcher::skipSeparators(const std::string& text, size_t& length, size_t start,
                                    size_t count) const
{
    length = 0;
    size_t end = rangeEnd(text, start, count);
    size_t p = start;
    while (p < end && isWhite(text[p]) && text[p] != '\n')
        ++p;
    if (p > start)
        length = p - start;
    if (p >= text.size())
        return NO_POSITION;
    return p;
}

size_t ConfSearcher::findTokenEnd(const std::string& text, bool& significant, size_t start,
                                  size_t count) const
{
    const size_t end = rangeEnd(text, start, count);
    if (start >= end)
        return NO_POSITION;
    const size_t s = start;
    const char b = text[s];

    if (isWhite(b) && b != '\n') {
        significant = false;
        size_t p = s;
        while (p < end && text[p] == b)
            ++p;
        return p;
    }
    significant = true;
    if (b == '#') {
        size_t nl = text.find('\n', s);
        return (nl == std::string::npos || nl > end) ? end : nl;
    }
    const Tables& t = tables();
    for (size_t p = s; p < end; ++p) {
        const char c = text[p];
        const char next = p + 1 < end ? text[p + 1] : ' ';
        const bool quote = c == '"' || c == '\'';
        const bool comment = c == '/' && (next == '/' || next == '*') && end - p >= 2;
        const bool delimiter = t.delimiter[static_cast<unsigned char>(c)];
        if (isWhite(c) && c != '\n')
            return p;
        // These end the word before them, or are a token of their own.
        if ((quote || comment || delimiter) && p > s)
            return p;
        if (quote)
            return quotedEnd(text, p, end);
        if (comment)
            return commentEnd(text, p, end);
        if (delimiter)
            return operatorEnd(text, p, end, t);
    }
    return end;
}

} // namespace Telvar
