#pragma once

#include <string>

namespace Telvar {
namespace Testing {

// Sets the host zone (the TZ variable) for one scope and puts the old
// setting back at its end; DateTime reloads the zone both times.
//
//   ScopedTimeZone zone("UTC");
//   ...
//   zone.set("Asia/Kolkata");   // a second zone within the same scope
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const std::string& zone);
    ~ScopedTimeZone();
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

    void set(const std::string& zone);

private:
    bool had_;
    std::string old_;
};

} // namespace Testing
} // namespace Telvar
