#include "common/WhitespaceSearcher.h"

namespace Telvar {

using StringUtil::isWhite;

WhitespaceSearcher::~WhitespaceSearcher() = default;

size_t WhitespaceSearcher::skipSeparators(const std::string& text, size_t& length, size_t start,
                                          size_t count) const
{
    length = 0;
    size_t end = rangeEnd(text, start, count);
    size_t p = start;
    while (p < end && isWhite(text[p]))
        ++p;
    if (p > start)
        length = p - start;
    if (p >= text.size())
        return NO_POSITION;
    return p;
}

size_t WhitespaceSearcher::findTokenEnd(const std::string& text, bool& significant, size_t start,
                                        size_t count) const
{
    size_t end = rangeEnd(text, start, count);
    if (start >= end)
        return NO_POSITION;
    size_t p = start;
    if (isWhite(text[p])) {
        significant = false;
        while (p < end && isWhite(text[p]))
            ++p;
        return p;
    }
    significant = true;
    bool quoted = false;
    while (p < end) {
        char c = text[p];
        if (c == quote_)
            quoted = !quoted;
        else if (!quoted && isWhite(c))
            break;
        ++p;
    }
    return p;
}

} // namespace Telvar
