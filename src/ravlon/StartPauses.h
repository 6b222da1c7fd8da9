#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace Telvar {

// The two pauses of the collector's start: one before anything (a host that
// starts the collector with the system gets its counters ready first) and
// one before the leftover recovery. The environment variables
// RAVLON_START_DELAY and RAVLON_SETTLE_DELAY (whole seconds, 0 allowed)
// replace the defaults; every pause sleeps through DateTime::sleepMilliseconds.
class StartPauses {
public:
    static constexpr const char* START_VARIABLE = "RAVLON_START_DELAY";
    static constexpr const char* SETTLE_VARIABLE = "RAVLON_SETTLE_DELAY";
    static constexpr uint32_t DEFAULT_START_SECONDS = 20;
    static constexpr uint32_t DEFAULT_SETTLE_SECONDS = 10;
    static constexpr uint32_t MAXIMUM_SECONDS = 86400;
    // A pause looks at its stop condition this often.
    static constexpr int STEP_MS = 100;

    // Reads both variables (an unset one gives its default). False, with a
    // one-line text naming the variable and its value, when one is set to
    // anything but whole seconds up to MAXIMUM_SECONDS; the values then stay
    // as they were.
    static bool load(std::string& error);
    // Digits only (no sign, no blank), at most MAXIMUM_SECONDS.
    static bool parseSeconds(const std::string& text, uint32_t& seconds);

    static uint32_t startSeconds() { return start_.load(); }
    static uint32_t settleSeconds() { return settle_.load(); }

    // Sleeps for seconds, ending early once stop answers true (checked
    // every STEP_MS). True when the whole pause passed.
    static bool pause(uint32_t seconds, const std::function<bool()>& stop);

private:
    static std::atomic<uint32_t> start_;
    static std::atomic<uint32_t> settle_;
};

} // namespace Telvar
