#include "logger/LogCommons.h"

namespace Telvar {

LogCommons::~LogCommons() = default;

std::string LogCommons::makeKey(int32_t moduleId, int32_t messageId)
{
    return std::to_string(moduleId) + "." + std::to_string(messageId);
}

bool LogCommons::insert(int32_t moduleId, int32_t messageId, const std::string& templ)
{
    return insert(makeKey(moduleId, messageId), templ);
}

bool LogCommons::insert(const std::string& key, const std::string& templ)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.emplace(key, templ).second;
}

bool LogCommons::lookup(int32_t moduleId, int32_t messageId, std::string& templ) const
{
    const std::string key = makeKey(moduleId, messageId);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end())
        return false;
    templ = it->second;
    return true;
}

size_t LogCommons::size() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

void LogCommons::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

} // namespace Telvar
