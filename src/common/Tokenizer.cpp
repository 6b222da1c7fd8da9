#include "common/Tokenizer.h"

#include "common/StringSearcher.h"

namespace Telvar {

Tokenizer::Tokenizer(const std::string& text, StringSearcher* searcher, bool ownsSearcher)
    : text_(text), searcher_(searcher), ownsSearcher_(ownsSearcher)
{
}

Tokenizer::~Tokenizer()
{
    if (ownsSearcher_)
        delete searcher_;
}

bool Tokenizer::nextToken(Token& token)
{
    if (text_.empty() || searcher_ == nullptr || position_ >= text_.size())
        return false;
    bool significant = false;
    size_t end = searcher_->findTokenEnd(text_, significant, position_);
    if (end == StringSearcher::NO_POSITION || end <= position_ || end > text_.size())
        return false;
    token.text.assign(text_, position_, end - position_);
    token.significant = significant;
    previous_ = position_;
    position_ = end;
    return true;
}

} // namespace Telvar
