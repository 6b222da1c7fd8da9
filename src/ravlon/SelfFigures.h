#pragma once

#include <string>

namespace Telvar {

// The Ravlon Collector object's figures as one text, for the status command:
// "Name=value" pairs separated by ";", in the object's counter order. Rates
// are taken over one second, so building the text takes that long.
class SelfFigures {
public:
    static constexpr const char* OBJECT = "Ravlon Collector";
    static constexpr int RATE_WINDOW_MS = 1000;

    // Empty when the object cannot be read.
    static std::string text();
};

} // namespace Telvar
