#include "agent/DataRetention.h"

#include <vector>

#include "common/FileOperations.h"
#include "logger/LoggerUnit.h"
#include "logger/ParamStream.h"
#include "platform/FileSystem.h"

namespace Telvar {

namespace {

bool isDelivered(const std::string& name)
{
    static const std::string suffix = ".data";
    return name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

void DataRetention::configure(const std::string& directory, const TimeSpan& keep)
{
    directory_ = directory;
    keep_ = keep.seconds() > 0 ? keep : TimeSpan(0);
    nextSweep_ = DateTime(int64_t(0));
}

void DataRetention::tick(const DateTime& now)
{
    if (keep_.seconds() <= 0 || directory_.empty())
        return;
    if (now >= nextSweep_ || now + TimeSpan(SWEEP_SECONDS) < nextSweep_) {
        nextSweep_ = now + TimeSpan(SWEEP_SECONDS);
        unreported_ += sweep(now);
    }
    report(now);
}

size_t DataRetention::sweep(const DateTime& now)
{
    if (keep_.seconds() <= 0)
        return 0;
    std::vector<Platform::DirectoryItem> items;
    if (!Platform::readDirectory(directory_, items))
        return 0;
    const int64_t oldest = now.seconds() - int64_t(keep_.seconds());
    size_t removed = 0;
    for (const Platform::DirectoryItem& item : items) {
        if (item.directory || !isDelivered(item.name))
            continue;
        const std::string path = directory_ + item.name;
        Platform::PathStatus status;
        if (!Platform::pathStatus(path, status) || status.directory || status.writtenSeconds >= oldest)
            continue;
        if (!deleteFile(path))
            continue;
        ++removed;
        if (!unit_.isNull())
            unit_->debug(2, "Removed %s (older than %s).", ParamStream() << path << keep_.toText());
    }
    return removed;
}

// The first removals are reported at once, later ones at most once a day.
void DataRetention::report(const DateTime& now)
{
    if (unreported_ == 0 || now < nextReport_)
        return;
    if (!unit_.isNull())
        unit_->notice(MSG_REMOVED, ParamStream() << static_cast<int64_t>(unreported_) << keep_.toText());
    unreported_ = 0;
    nextReport_ = now + TimeSpan(REPORT_SECONDS);
}

} // namespace Telvar
