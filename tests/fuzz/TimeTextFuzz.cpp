// Date/time and span texts come from configuration files and peers: parsing
// must either give components in range or throw TM_INPUT.
#include "common/DateTime.h"
#include "common/Exception.h"
#include "common/TimeSpan.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace Telvar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const int kind = data[0] % 3;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    try {
        const DateTimeParts p = DateTime::parseDateTime(text, kind);
        if (p.year < 1969 || p.year > 2038 || p.month < 1 || p.month > 12 || p.day < 1 || p.day > 31 ||
            p.weekday < 0 || p.weekday > 6 || p.hour < 0 || p.hour > 23 || p.minute < 0 ||
            p.minute > 59 || p.second < 0 || p.second > 59)
            std::abort();
        const DateTime moment(p);
        (void)moment.toText(false, false, true);
    } catch (const TimeException& e) {
        if (e.code() != TimeException::TM_INPUT)
            std::abort();
    }
    try {
        const TimeSpan span(TimeSpan::parseTimeSpan(text));
        (void)span.toText();
    } catch (const TimeException& e) {
        if (e.code() != TimeException::TM_INPUT)
            std::abort();
    }
    return 0;
}
