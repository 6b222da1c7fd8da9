#include "common/StringUtil.h"

#include <cstdio>

namespace Telvar {
namespace StringUtil {

using Platform::isPathSeparator;

size_t trimRight(std::string& s)
{
    size_t end = s.size();
    while (end > 0 && isWhite(s[end - 1]))
        --end;
    size_t removed = s.size() - end;
    s.erase(end);
    return removed;
}

size_t trimLeft(std::string& s)
{
    size_t start = 0;
    while (start < s.size() && isWhite(s[start]))
        ++start;
    s.erase(0, start);
    return start;
}

size_t trim(std::string& s)
{
    size_t removed = trimRight(s);
    return removed + trimLeft(s);
}

void toLower(std::string& s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
}

std::string toLowerCopy(const std::string& s)
{
    std::string copy(s);
    toLower(copy);
    return copy;
}

void stripQuotes(std::string& s)
{
    if (s.empty() || (s[0] != '"' && s[0] != '\''))
        return;
    if (s.back() != s[0])
        return;
    s.pop_back();
    if (!s.empty())
        s.erase(0, 1);
}

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool allDigits(const std::string& text, size_t from, size_t to)
{
    if (from >= to || to > text.size())
        return false;
    for (size_t i = from; i < to; ++i)
        if (text[i] < '0' || text[i] > '9')
            return false;
    return true;
}

std::string splitFirst(std::string& s, char separator)
{
    size_t pos = s.find(separator);
    std::string first;
    if (pos == std::string::npos) {
        first.swap(s);
        return first;
    }
    first = s.substr(0, pos);
    s.erase(0, pos + 1);
    return first;
}

void splitAll(const std::string& s, char separator, std::vector<std::string>& list,
              size_t maximumPieces, bool skipEmpty)
{
    if (s.empty())
        return;
    size_t pieces = 0;
    size_t start = 0;
    while (start < s.size()) {
        if (maximumPieces != NO_POSITION && pieces + 1 >= maximumPieces) {
            list.push_back(s.substr(start));
            return;
        }
        size_t pos = s.find(separator, start);
        if (pos == std::string::npos) {
            list.push_back(s.substr(start));
            return;
        }
        if (!(skipEmpty && pos == start)) {
            list.push_back(s.substr(start, pos - start));
            ++pieces;
        }
        start = pos + 1;
    }
}

bool leadingDigits(const std::string& text, int64_t& value)
{
    size_t i = 0;
    while (i < text.size() && isWhite(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const size_t first = i;
    int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (magnitude < (int64_t(1) << 40))
            magnitude = magnitude * 10 + (text[i] - '0');
    }
    if (i == first)
        return false;
    value = negative ? -magnitude : magnitude;
    return true;
}

int32_t leadingInt32(const std::string& text)
{
    int64_t value = 0;
    leadingDigits(text, value);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

void splitIntegers(const std::string& s, char separator, std::vector<int32_t>& list, size_t maximumPieces)
{
    list.clear();
    std::vector<std::string> pieces;
    splitAll(s, separator, pieces, maximumPieces, false);
    for (const std::string& p : pieces)
        list.push_back(leadingInt32(p));
}

size_t countChar(char c, const std::string& s, size_t start, size_t count)
{
    if (start >= s.size())
        return 0;
    size_t end = (count == NO_POSITION || count > s.size() - start) ? s.size() : start + count;
    size_t n = 0;
    for (size_t i = start; i < end; ++i)
        if (s[i] == c)
            ++n;
    return n;
}

std::string intToString(int32_t value)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%d", value);
    return buf;
}

bool isPrintable(const std::string& s)
{
    for (char ch : s) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\t' || c == '\n' || c == '\r')
            continue;
        if (c < 32 || c > 127)
            return false;
    }
    return true;
}

void appendSeparator(std::string& path, char written)
{
    if (!path.empty() && !isPathSeparator(path.back()))
        path += written;
}

size_t normaliseSeparators(std::string& path, char written)
{
    if (path.size() < 2)
        return path.size();
    std::string out;
    out.reserve(path.size());
    out += path[0];
    size_t i = 1;
    while (i < path.size()) {
        if (isPathSeparator(path[i])) {
            while (i < path.size() && isPathSeparator(path[i]))
                ++i;
            out += written;
        } else {
            out += path[i++];
        }
    }
    path.swap(out);
    return path.size();
}

void stripTrailingSeparators(std::string& path)
{
    while (!path.empty() && isPathSeparator(path.back()) && path != "/" && path != "\\")
        path.pop_back();
}

std::string extensionOf(const std::string& s)
{
    size_t dot = s.rfind('.');
    return dot == std::string::npos ? std::string() : s.substr(dot + 1);
}

std::string removeExtension(std::string& s)
{
    std::string ext = extensionOf(s);
    if (!ext.empty())
        s.erase(s.size() - ext.size() - 1);
    return ext;
}

std::string directoryOf(const std::string& path)
{
    size_t sep = path.find_last_of("\\/");
    return sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
}

std::string baseNameOf(const std::string& path)
{
    size_t sep = path.find_last_of("\\/");
    return sep == std::string::npos ? path : path.substr(sep + 1);
}

bool isValidFileName(const std::string& name)
{
    if (name.empty())
        return true;
    if (name.find_first_of("?*") != std::string::npos)
        return false;
    return !isPathSeparator(name.back());
}

void appendHexEscape(std::string& out, unsigned char byte)
{
    static const char digits[] = "0123456789abcdef";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 15];
}

} // namespace StringUtil
} // namespace Telvar
