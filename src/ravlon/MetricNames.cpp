#include "ravlon/MetricNames.h"

#include <cstdio>
#include <map>
#include <zlib.h>

namespace Telvar {

namespace {

bool endsWithNoCase(const std::string& text, const std::string& tail)
{
    if (text.size() < tail.size())
        return false;
    for (size_t i = 0; i < tail.size(); ++i) {
        char a = text[text.size() - tail.size() + i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (a != tail[i])
            return false;
    }
    return true;
}

std::string lowered(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string checksum(const std::string& text)
{
    uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size()));
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08lx", static_cast<unsigned long>(crc & 0xffffffffUL));
    return hex;
}

// The path without its instance, the identity of the counter.
std::string counterKey(const MetricName& name) { return lowered(name.help); }

} // namespace

std::string MetricNames::snake(const std::string& text)
{
    std::string out;
    bool gap = false;
    for (char c : text) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!keep) {
            gap = true;
            continue;
        }
        if (gap && !out.empty())
            out += '_';
        gap = false;
        out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
}

MetricName MetricNames::of(const std::string& path)
{
    // "\Object(Instance)\Counter", perhaps after "\\Host"; the counter is
    // after the last separator, and an instance may hold parentheses.
    std::string rest = path;
    if (rest.compare(0, 2, "\\\\") == 0) {
        size_t hostEnd = rest.find('\\', 2);
        rest = hostEnd == std::string::npos ? std::string() : rest.substr(hostEnd);
    }
    size_t last = rest.rfind('\\');
    std::string object = last == std::string::npos || last == 0 ? std::string() : rest.substr(1, last - 1);
    std::string counter = last == std::string::npos ? rest : rest.substr(last + 1);

    MetricName name;
    size_t open = object.find('(');
    if (open != std::string::npos && object.back() == ')') {
        name.instance = object.substr(open + 1, object.size() - open - 2);
        object.erase(open);
    }
    name.help = "\\" + object + "\\" + counter;
    name.measurement = "ravlon_" + snake(object);

    std::string suffix;
    if (endsWithNoCase(counter, "/sec")) {
        counter.erase(counter.size() - 4);
        suffix = "per_second";
    }
    if (counter.find('%') != std::string::npos) {
        std::string bare;
        for (char c : counter)
            if (c != '%')
                bare += c;
        counter = bare;
        suffix = suffix.empty() ? "percent" : "percent_" + suffix;
    }
    name.field = snake(counter);
    if (!suffix.empty())
        name.field += (name.field.empty() ? "" : "_") + suffix;
    return name;
}

std::vector<MetricName> MetricNames::forPaths(const std::vector<std::string>& paths)
{
    std::vector<MetricName> names;
    names.reserve(paths.size());
    // Each metric name with the counters that map to it.
    std::map<std::string, std::map<std::string, bool>> owners;
    for (const std::string& path : paths) {
        names.push_back(of(path));
        owners[names.back().metric()][counterKey(names.back())] = true;
    }
    for (MetricName& name : names)
        if (owners[name.metric()].size() > 1)
            name.field += "_" + checksum(counterKey(name));
    return names;
}

} // namespace Telvar
