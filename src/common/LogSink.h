#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Telvar {

// Where a class of this layer sends its debug texts and catalogue messages.
// The logging library sits above this layer; it supplies the functions
// (LoggerSink), tests supply their own. Either function may be empty: that
// kind of output is dropped. Texts arrive whole, already filled in; filtering
// by debug level is the receiver's business.
struct LogSink {
    std::function<void(int32_t level, const std::string& text)> debug;
    std::function<void(int32_t severity, int32_t messageId, const std::vector<std::string>& params)> message;
};

} // namespace Telvar
