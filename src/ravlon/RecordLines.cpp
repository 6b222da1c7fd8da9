#include "ravlon/RecordLines.h"

#include <cstdlib>
#include <map>
#include <utility>

namespace Telvar {

namespace {

std::vector<std::string> split(const std::string& line, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = line.find(separator, start);
        parts.push_back(line.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

// Line protocol: backslash before the characters that end a key or value.
std::string escaped(const std::string& text, const char* special)
{
    std::string out;
    for (char c : text) {
        if (c == '\n' || c == '\r')
            c = ' ';
        for (const char* s = special; *s != '\0'; ++s)
            if (c == *s)
                out += '\\';
        out += c;
    }
    return out;
}

std::string tagPair(const std::string& key, const std::string& value)
{
    return value.empty() ? std::string() : "," + key + "=" + escaped(value, ", =");
}

// Backslashes and line breaks escaped, and the quotes of a label value too;
// HELP texts keep their quotes.
std::string pageEscaped(const std::string& text, bool quotes)
{
    std::string out;
    for (char c : text) {
        if (c == '\\' || (quotes && c == '"'))
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string labelValue(const std::string& text) { return pageEscaped(text, true); }

std::string helpText(const std::string& text) { return pageEscaped(text, false); }

std::string labels(const RecordSample& sample, const MetricName& name)
{
    std::string text = "{host=\"" + labelValue(sample.host) + "\",scheme=\"" + labelValue(sample.scheme) + "\"";
    if (!name.instance.empty())
        text += ",object_instance=\"" + labelValue(name.instance) + "\"";
    return text + "}";
}

} // namespace

bool RecordLines::isNumber(const std::string& text)
{
    size_t i = 0;
    if (i < text.size() && text[i] == '-')
        ++i;
    size_t digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i, ++digits;
    }
    if (digits == 0)
        return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        size_t exponent = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i, ++exponent;
        if (exponent == 0)
            return false;
    }
    return i == text.size();
}

bool RecordLines::parse(const std::string& text, RecordSample& sample)
{
    size_t lineEnd = text.find('\n');
    if (lineEnd == std::string::npos)
        return false;
    std::vector<std::string> head = split(text.substr(0, lineEnd), ':');
    std::string measured = text.substr(lineEnd + 1);
    if (!measured.empty() && measured.back() == '\n')
        measured.pop_back();
    if (head.size() < 13 || head[0] != "30" || !isNumber(head[1]) || measured.empty() || measured[0] != '1')
        return false;
    sample.time = std::strtoll(head[1].c_str(), nullptr, 10);
    sample.host = head[4];
    sample.values.clear();
    if (measured.size() > 1) {
        std::vector<std::string> columns = split(measured.substr(2), ':');
        for (std::string& value : columns)
            sample.values.push_back(value == " " ? std::string() : value);
    }
    return true;
}

std::string RecordLines::influx(const RecordSample& sample)
{
    // Lines in the order their object and instance first appear.
    std::vector<std::pair<std::string, std::string>> lines;  // series key, fields
    std::map<std::string, size_t> index;
    const std::string tags = tagPair("host", sample.host) + tagPair("scheme", sample.scheme);
    for (size_t i = 0; i < sample.values.size() && i < sample.names.size(); ++i) {
        if (!isNumber(sample.values[i]))
            continue;
        const MetricName& name = sample.names[i];
        const std::string key =
            escaped(name.measurement, ", ") + tags + tagPair("object_instance", name.instance);
        auto found = index.find(key);
        if (found == index.end()) {
            found = index.emplace(key, lines.size()).first;
            lines.emplace_back(key, std::string());
        }
        std::string& fields = lines[found->second].second;
        fields += (fields.empty() ? "" : ",") + escaped(name.field, ", =") + "=" + sample.values[i];
    }
    std::string out;
    for (const auto& line : lines)
        out += line.first + " " + line.second + " " + std::to_string(sample.time) + "\n";
    return out;
}

std::string RecordLines::page(const std::vector<RecordSample>& samples, bool openMetrics)
{
    // Samples of one metric stay together under one HELP and TYPE.
    std::vector<std::string> order;
    std::map<std::string, std::pair<std::string, std::string>> metrics;  // name: help, samples
    for (const RecordSample& sample : samples) {
        for (size_t i = 0; i < sample.values.size() && i < sample.names.size(); ++i) {
            if (!isNumber(sample.values[i]))
                continue;
            const MetricName& name = sample.names[i];
            const std::string metric = name.metric();
            auto found = metrics.find(metric);
            if (found == metrics.end()) {
                order.push_back(metric);
                found = metrics.emplace(metric, std::make_pair(name.help, std::string())).first;
            }
            found->second.second += metric + labels(sample, name) + " " + sample.values[i] + "\n";
        }
    }
    std::string out;
    for (const std::string& metric : order) {
        const auto& entry = metrics[metric];
        out += "# HELP " + metric + " " + helpText(entry.first) + "\n# TYPE " + metric + " gauge\n" + entry.second;
    }
    if (openMetrics)
        out += "# EOF\n";
    return out;
}

} // namespace Telvar
