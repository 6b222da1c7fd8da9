#pragma once

#include <string>

namespace Telvar {

// Message parameters: type code, value text and 0x1A per parameter.
class ParamStream {
public:
    ParamStream() = default;
    ParamStream(const ParamStream&) = default;
    ParamStream& operator=(const ParamStream&) = default;
    virtual ~ParamStream();

    ParamStream& operator<<(const char* text);
    ParamStream& operator<<(const std::string& text);
    ParamStream& operator<<(int value);
    ParamStream& operator<<(unsigned int value);
    ParamStream& operator<<(long value);
    ParamStream& operator<<(unsigned long value);
    ParamStream& operator<<(long long value);
    ParamStream& operator<<(unsigned long long value);

    const std::string& str() const { return text_; }
    bool empty() const { return text_.empty(); }
    void clear() { text_.clear(); }

private:
    void appendNumber(const std::string& digits);

    std::string text_;
};

} // namespace Telvar
