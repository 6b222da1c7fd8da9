#include "support/TextSink.h"

namespace Telvar {

LogSink TextSink::sink()
{
    LogSink sink;
    sink.debug = [this](int32_t level, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (level <= maxLevel_)
            texts_.push_back(text);
    };
    return sink;
}

void TextSink::setMaxLevel(int32_t level)
{
    std::lock_guard<std::mutex> lock(mutex_);
    maxLevel_ = level;
}

std::vector<std::string> TextSink::texts() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
}

bool TextSink::has(const std::string& text) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& t : texts_)
        if (t == text)
            return true;
    return false;
}

bool TextSink::contains(const std::string& fragment) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& t : texts_)
        if (t.find(fragment) != std::string::npos)
            return true;
    return false;
}

void TextSink::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.clear();
}

} // namespace Telvar
