#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "common/LogSink.h"

namespace Telvar {

// Keeps the debug texts a LogSink receives, from any thread, for tests of
// the classes below the logging library. It must outlive every sink() copy.
//
//   TextSink texts;
//   IPCServer server(name, texts.sink(), callback);
//   ... texts.has("IPC: Created server ...") ...
class TextSink {
public:
    LogSink sink();

    // Texts above the level are dropped (5, all of them, at the start).
    void setMaxLevel(int32_t level);
    std::vector<std::string> texts() const;
    // True when some text is exactly the given one.
    bool has(const std::string& text) const;
    // True when some text contains the fragment.
    bool contains(const std::string& fragment) const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
    int32_t maxLevel_ = 5;
};

} // namespace Telvar
