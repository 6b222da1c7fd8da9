#include "logger/ParamStream.h"

#include "logger/LogRecord.h"

namespace Telvar {

ParamStream::~ParamStream() = default;

ParamStream& ParamStream::operator<<(const char* text)
{
    return *this << std::string(text != nullptr ? text : "");
}

ParamStream& ParamStream::operator<<(const std::string& text)
{
    text_ += 's';
    text_ += text;
    // A text that brings its own separator is not closed twice.
    if (text_.back() != PARAMETER_SEPARATOR)
        text_ += PARAMETER_SEPARATOR;
    return *this;
}

ParamStream& ParamStream::operator<<(int value) { appendNumber(std::to_string(value)); return *this; }
ParamStream& ParamStream::operator<<(unsigned int value) { appendNumber(std::to_string(value)); return *this; }
ParamStream& ParamStream::operator<<(long value) { appendNumber(std::to_string(value)); return *this; }
ParamStream& ParamStream::operator<<(unsigned long value) { appendNumber(std::to_string(value)); return *this; }
ParamStream& ParamStream::operator<<(long long value) { appendNumber(std::to_string(value)); return *this; }
ParamStream& ParamStream::operator<<(unsigned long long value) { appendNumber(std::to_string(value)); return *this; }

void ParamStream::appendNumber(const std::string& digits)
{
    text_ += 'n';
    text_ += digits;
    text_ += PARAMETER_SEPARATOR;
}

} // namespace Telvar
