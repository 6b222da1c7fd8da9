#pragma once

#include <cstddef>
#include <string>

#include "common/StringUtil.h"

namespace Telvar {

// Cuts a text into tokens. The examined range is start to start + count,
// clipped to the text; a count of NO_POSITION means the rest of the text.
class StringSearcher {
public:
    static constexpr size_t NO_POSITION = StringUtil::NO_POSITION;

    StringSearcher() = default;
    virtual ~StringSearcher();

    // Position of the first byte at or after start that is no separator;
    // length receives the number of separator bytes passed. NO_POSITION
    // when the scan runs into the end of the text.
    virtual size_t skipSeparators(const std::string& text, size_t& length, size_t start,
                                  size_t count = NO_POSITION) const = 0;
    // Position just after the token starting at start; NO_POSITION when no
    // token can be cut there.
    virtual size_t findTokenEnd(const std::string& text, bool& significant, size_t start,
                                size_t count = NO_POSITION) const = 0;

    char quote() const { return quote_; }

protected:
    // End of the examined range.
    static size_t rangeEnd(const std::string& text, size_t start, size_t count);

    char quote_ = '"';
};

// Removes and returns the front of s: the leading separator run if there is
// one, else the first token. Empty for an empty string.
std::string splitFirstToken(std::string& s, const StringSearcher& searcher);

} // namespace Telvar
