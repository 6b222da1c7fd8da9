#include "common/StringSearcher.h"

namespace Telvar {

StringSearcher::~StringSearcher() = default;

size_t StringSearcher::rangeEnd(const std::string& text, size_t start, size_t count)
{
    if (start >= text.size())
        return text.size();
    if (count == NO_POSITION || count >= text.size() - start)
        return text.size();
    return start + count;
}

std::string splitFirstToken(std::string& s, const StringSearcher& searcher)
{
    if (s.empty())
        return std::string();
    size_t skipped = 0;
    searcher.skipSeparators(s, skipped, 0);
    size_t end;
    if (skipped > 0) {
        end = skipped;
    } else {
        bool significant = false;
        end = searcher.findTokenEnd(s, significant, 0);
        if (end == StringSearcher::NO_POSITION || end > s.size())
            end = s.size();
    }
    std::string first = s.substr(0, end);
    s.erase(0, end);
    return first;
}

} // namespace Telvar
