#include "RecordReader.h"

#include <cctype>
#include <memory>

#include "common/Exception.h"
#include "common/FileBase.h"
#include "common/FileGZ.h"
#include "common/StringUtil.h"
#include "platform/FileSystem.h"

namespace Telvar {
namespace Ctl {

namespace {

using StringUtil::allDigits;
using StringUtil::endsWith;

constexpr size_t CLASSIFICATION_FIELDS = 13;
constexpr size_t PAD_FIELDS = 10; // five ": : "

std::vector<std::string> splitFields(const std::string& line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t colon = line.find(':', start);
        if (colon == std::string::npos) {
            fields.push_back(line.substr(start));
            return fields;
        }
        fields.push_back(line.substr(start, colon - start));
        start = colon + 1;
    }
}

// Foreign bytes in a reason would break the report line.
std::string shown(const std::string& text)
{
    static const size_t MAX_SHOWN = 40;
    std::string out;
    for (size_t i = 0; i < text.size() && i < MAX_SHOWN; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 32 || c >= 127 || c == '"' || c == '\\') {
            static const char* hex = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    if (text.size() > MAX_SHOWN)
        out += "...";
    return "\"" + out + "\"";
}

} // namespace

std::string RecordProblem::text() const
{
    if (line == 0)
        return file + ": " + reason;
    return file + ":" + std::to_string(line) + ": " + reason;
}

std::string RecordReader::schemeOfFileName(const std::string& path)
{
    size_t slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (endsWith(name, ".gz"))
        name.resize(name.size() - 3);
    static const char* const ENDINGS[] = {".make.tmp", ".make", ".data"};
    bool known = false;
    for (const char* ending : ENDINGS) {
        if (endsWith(name, ending)) {
            name.resize(name.size() - std::string(ending).size());
            known = true;
            break;
        }
    }
    if (!known)
        return std::string();
    // base "-" seconds "-" process "-" sequence
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t dash = name.find('-'); dash != std::string::npos; dash = name.find('-', start)) {
        parts.push_back(name.substr(start, dash - start));
        start = dash + 1;
    }
    parts.push_back(name.substr(start));
    // A crashed run's file delivered at the next start has its recovery
    // time and process added: base-seconds-process-sequence-seconds-process.
    if (parts.size() != 4 && parts.size() != 6)
        return std::string();
    for (size_t i = 1; i < parts.size(); ++i)
        if (!allDigits(parts[i], 0, parts[i].size()))
            return std::string();
    const std::string& base = parts[0];
    if (!endsWith(base, "Log") || base.size() == 3)
        return std::string();
    return base.substr(0, base.size() - 3);
}

bool RecordReader::isNumber(const std::string& t)
{
    size_t i = 0;
    if (i < t.size() && t[i] == '-')
        ++i;
    size_t digits = i;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i])))
        ++i;
    if (i == digits)
        return false;
    if (i < t.size() && t[i] == '.') {
        size_t fraction = ++i;
        while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i])))
            ++i;
        if (i == fraction)
            return false;
    }
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-'))
            ++i;
        size_t exponent = i;
        while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i])))
            ++i;
        if (i == exponent)
            return false;
    }
    return i == t.size();
}

void RecordReader::problem(const std::string& file, size_t line, const std::string& reason)
{
    problems_.push_back({file, line, reason});
}

bool RecordReader::readFile(const std::string& path)
{
    Platform::PathStatus status;
    if (!Platform::pathStatus(path, status) || status.directory) {
        problem(path, 0, status.directory ? "is a directory" : "cannot be read: no such file");
        return false;
    }
    if (static_cast<int64_t>(status.size) > MAX_FILE) {
        problem(path, 0, "larger than " + std::to_string(MAX_FILE) + " bytes; not read");
        return false;
    }
    std::string content;
    try {
        FileGZ file(path);
        file.open(FileBase::ACCESS_READ);
        if (file.uncompressedLength() > MAX_FILE) {
            file.close();
            problem(path, 0, "more than " + std::to_string(MAX_FILE) + " bytes uncompressed; not read");
            return false;
        }
        const int64_t piece = 64 * 1024;
        std::unique_ptr<char[]> buffer(new char[piece + 1]);
        while (!file.eof()) {
            int64_t n = file.read(buffer.get(), piece);
            if (n <= 0)
                break;
            content.append(buffer.get(), static_cast<size_t>(n));
        }
        file.close();
    } catch (const Exception& e) {
        std::string text = e.fullText();
        for (char& c : text)
            if (c == '\r' || c == '\n' || c == '\t')
                c = ' ';
        problem(path, 0, "cannot be read: " + text);
        return false;
    }
    parse(path, content);
    return true;
}

void RecordReader::parse(const std::string& file, const std::string& content)
{
    Record pending;
    bool havePending = false;
    size_t lineNumber = 0;
    size_t start = 0;
    while (start < content.size()) {
        ++lineNumber;
        size_t end = content.find('\n', start);
        bool torn = end == std::string::npos;
        if (torn)
            end = content.size();
        size_t length = end - start;
        if (length > MAX_LINE) {
            problem(file, lineNumber, "line longer than " + std::to_string(MAX_LINE) + " bytes");
            start = end + 1;
            continue;
        }
        std::string line = content.substr(start, length);
        start = end + 1;
        if (torn) {
            problem(file, lineNumber, "the file ends inside this line (no line end): " + shown(line));
            break;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.compare(0, 3, "30:") == 0) {
            if (havePending)
                problem(file, pending.line, "classification line without its measurement line");
            pending = Record();
            pending.file = file;
            pending.line = lineNumber;
            std::string reason = parseClassification(line, pending);
            havePending = reason.empty();
            if (!havePending)
                problem(file, lineNumber, reason);
        } else if (line == "1" || line.compare(0, 2, "1:") == 0) {
            if (!havePending) {
                problem(file, lineNumber, "measurement line without a classification line before it");
                continue;
            }
            havePending = false;
            std::string reason = parseMeasurement(line, pending);
            if (reason.empty())
                records_.push_back(std::move(pending));
            else
                problem(file, lineNumber, reason);
        } else {
            if (havePending)
                problem(file, pending.line, "classification line without its measurement line");
            havePending = false;
            problem(file, lineNumber, line.empty() ? "empty line" : "not a record line: " + shown(line));
        }
    }
    if (havePending)
        problem(file, pending.line, "classification line without its measurement line");
}

std::string RecordReader::parseClassification(const std::string& line, Record& record)
{
    std::vector<std::string> f = splitFields(line);
    if (f.size() != CLASSIFICATION_FIELDS + PAD_FIELDS)
        return "classification line with " + std::to_string(f.size()) + " fields, " +
               std::to_string(CLASSIFICATION_FIELDS + PAD_FIELDS) + " expected";
    const std::string& time = f[1];
    if (!allDigits(time, 0, time.size()) || time.size() > 10 || std::stoll(time) > 2147483647LL)
        return "bad record time " + shown(time);
    for (size_t i = 3; i < CLASSIFICATION_FIELDS; i += 2)
        if (f[i] != "0")
            return "field " + std::to_string(i + 1) + " is " + shown(f[i]) + ", \"0\" expected";
    for (size_t i = CLASSIFICATION_FIELDS; i < f.size(); ++i)
        if (f[i] != " ")
            return "field " + std::to_string(i + 1) + " is " + shown(f[i]) + ", a blank pad expected";
    const std::string& prime = f[12];
    if (prime != "prime" && prime != "non-prime" && prime != "undef")
        return "unknown prime-time class " + shown(prime);
    record.time = std::stoll(time);
    record.code = f[2];
    record.computer = f[4];
    record.architecture = f[6];
    record.domain = f[8];
    record.os = f[10];
    record.primeClass = prime;
    return std::string();
}

std::string RecordReader::parseMeasurement(const std::string& line, Record& record)
{
    std::vector<std::string> f = splitFields(line);
    record.values.clear();
    for (size_t i = 1; i < f.size(); ++i) {
        if (f[i] == " ") {
            record.values.emplace_back();
        } else if (isNumber(f[i])) {
            record.values.push_back(f[i]);
        } else {
            return "column " + std::to_string(i) + ": bad number " + shown(f[i]);
        }
    }
    return std::string();
}

} // namespace Ctl
} // namespace Telvar
