#pragma once

#include <string>

namespace Telvar {

// Sink base: where finished log lines go.
class LoggerAgent {
public:
    LoggerAgent() = default;
    LoggerAgent(const LoggerAgent&) = delete;
    LoggerAgent& operator=(const LoggerAgent&) = delete;
    virtual ~LoggerAgent();

    // Where the lines end up, e.g. "file:///..." for a file sink.
    virtual std::string location() const = 0;
    // Whether the sink can take lines; the base always can.
    virtual bool isAvailable() const;
    // Writes one line (without line end). Must be safe to call from several
    // threads at once.
    virtual bool write(const std::string& line) = 0;
};

} // namespace Telvar
