#include "support/MemorySink.h"

#include "logger/LogMessenger.h"
#include "logger/LoggerCentre.h"

namespace Telvar {

MemorySink::~MemorySink() = default;

bool MemorySink::write(const std::string& line)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (failing_)
        return false;
    lines_.push_back(line);
    return true;
}

std::vector<std::string> MemorySink::lines() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

size_t MemorySink::count() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.size();
}

std::vector<std::string> MemorySink::texts() const
{
    std::vector<std::string> result;
    for (const std::string& line : lines()) {
        // The id "(...)" is followed by " <thread>: ".
        size_t id = line.find(')');
        size_t colon = id == std::string::npos ? std::string::npos : line.find(": ", id);
        result.push_back(colon == std::string::npos ? line : line.substr(colon + 2));
    }
    return result;
}

bool MemorySink::contains(const std::string& fragment) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& line : lines_)
        if (line.find(fragment) != std::string::npos)
            return true;
    return false;
}

void MemorySink::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

void MemorySink::setFailing(bool failing)
{
    std::lock_guard<std::mutex> lock(mutex_);
    failing_ = failing;
}

SmartPointer<LoggerCentre> MemorySink::makeCentre(SmartPointer<MemorySink>& sink, int32_t applicationId)
{
    sink = SmartPointer<MemorySink>(new MemorySink());
    SmartPointer<LogMessenger> messenger(new LogMessenger(SmartPointer<LoggerAgent>(sink)));
    return SmartPointer<LoggerCentre>(new LoggerCentre(applicationId, messenger));
}

} // namespace Telvar
