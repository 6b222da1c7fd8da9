#pragma once

#include "common/StringSearcher.h"

namespace Telvar {

// Tokens of the configuration syntax: words, quoted strings, the delimiters
// "=(){}" and the line feed, comments, and runs of white space.
class ConfSearcher : public StringSearcher {
public:
    ConfSearcher();
    ~ConfSearcher() override;

    size_t skipSeparators(const std::string& text, size_t& length, size_t start,
                          size_t count = NO_POSITION) const override;
    size_t findTokenEnd(const std::string& text, bool& significant, size_t start,
                        size_t count = NO_POSITION) const override;

    static bool isDelimiter(char c);
};

} // namespace Telvar
