#pragma once

#include "common/StringSearcher.h"

namespace Telvar {

// White-space separated words; white space inside double quotes belongs to
// the word.
class WhitespaceSearcher : public StringSearcher {
public:
    WhitespaceSearcher() = default;
    ~WhitespaceSearcher() override;

    size_t skipSeparators(const std::string& text, size_t& length, size_t start,
                          size_t count = NO_POSITION) const override;
    size_t findTokenEnd(const std::string& text, bool& significant, size_t start,
                        size_t count = NO_POSITION) const override;
};

} // namespace Telvar
