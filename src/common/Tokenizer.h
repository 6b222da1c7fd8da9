#pragma once

#include <cstddef>
#include <string>

namespace Telvar {

class StringSearcher;

struct Token {
    std::string text;
    bool significant = false;
};

// Walks a text token by token with a searcher. Keeps a reference to the
// text, which must outlive the tokenizer.
class Tokenizer {
public:
    Tokenizer(const std::string& text, StringSearcher* searcher, bool ownsSearcher = false);
    Tokenizer(const Tokenizer&) = delete;
    Tokenizer& operator=(const Tokenizer&) = delete;
    virtual ~Tokenizer();

    // False at the end of the text or when no token can be cut.
    bool nextToken(Token& token);

    // End of the last token taken.
    size_t position() const { return position_; }
    // Start of the last token taken.
    size_t previousPosition() const { return previous_; }

private:
    const std::string& text_;
    StringSearcher* searcher_;
    bool ownsSearcher_;
    size_t position_ = 0;
    size_t previous_ = 0;
};

} // namespace Telvar
