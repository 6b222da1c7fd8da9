#include "common/Wakeup.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "common/Clock.h"

namespace Telvar {

namespace {

std::mutex& registryLock()
{
    static std::mutex lock;
    return lock;
}

std::vector<Wakeup*>& registry()
{
    static std::vector<Wakeup*> all;
    return all;
}

void wakeMatching(bool all, int group)
{
    std::lock_guard<std::mutex> guard(registryLock());
    for (Wakeup* wakeup : registry())
        if (all || wakeup->group() == group)
            Clock::current().wake(*wakeup);
}

} // namespace

Wakeup::Wakeup()
{
    std::lock_guard<std::mutex> guard(registryLock());
    registry().push_back(this);
}

Wakeup::~Wakeup()
{
    std::lock_guard<std::mutex> guard(registryLock());
    std::vector<Wakeup*>& all = registry();
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
}

void Wakeup::wakeGroup(int group)
{
    wakeMatching(false, group);
}

void Wakeup::wakeAll()
{
    wakeMatching(true, 0);
}

} // namespace Telvar
