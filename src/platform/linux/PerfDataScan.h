#pragma once

// A hand scanner over text read from /proc and /sys, and a directory walk,
// shared by the readers of the Linux performance-data backend.

#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <string>

namespace Telvar {
namespace Platform {
namespace LinuxPerf {

inline bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Scanner over one line or a whole buffer.
struct Scan {
    const char* p;
    const char* end;

    bool atEnd() const { return p >= end; }
    void skipBlanks()
    {
        while (p < end && (*p == ' ' || *p == '\t'))
            ++p;
    }
    bool number(uint64_t& v)
    {
        skipBlanks();
        if (p >= end || !isDigit(*p))
            return false;
        uint64_t r = 0;
        while (p < end && isDigit(*p))
            r = r * 10 + static_cast<uint64_t>(*p++ - '0');
        v = r;
        return true;
    }
    bool signedNumber(int64_t& v)
    {
        skipBlanks();
        bool negative = p < end && *p == '-';
        if (negative)
            ++p;
        uint64_t u = 0;
        if (!number(u))
            return false;
        v = negative ? -static_cast<int64_t>(u) : static_cast<int64_t>(u);
        return true;
    }
    // A word up to blank, ':' excluded when stopAtColon.
    std::string word(bool stopAtColon = false)
    {
        skipBlanks();
        const char* s = p;
        while (p < end && *p != ' ' && *p != '\t' && *p != '\n' && !(stopAtColon && *p == ':'))
            ++p;
        return std::string(s, p);
    }
    void nextLine()
    {
        const void* nl = std::memchr(p, '\n', static_cast<size_t>(end - p));
        p = nl != nullptr ? static_cast<const char*>(nl) + 1 : end;
    }
    const char* lineEnd() const
    {
        const void* nl = std::memchr(p, '\n', static_cast<size_t>(end - p));
        return nl != nullptr ? static_cast<const char*>(nl) : end;
    }
    bool startsWith(const char* s) const
    {
        size_t n = std::strlen(s);
        return static_cast<size_t>(end - p) >= n && std::memcmp(p, s, n) == 0;
    }
};

inline Scan scanOf(const std::string& s) { return Scan{s.data(), s.data() + s.size()}; }

inline bool allDigits(const char* s)
{
    if (*s == '\0')
        return false;
    for (; *s != '\0'; ++s)
        if (!isDigit(*s))
            return false;
    return true;
}

// Names in a directory; false when it cannot be opened.
template <class F>
bool forEachEntry(const std::string& dir, F f)
{
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
        return false;
    while (struct dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.' && (e->d_name[1] == '\0' || (e->d_name[1] == '.' && e->d_name[2] == '\0')))
            continue;
        f(e->d_name);
    }
    ::closedir(d);
    return true;
}

} // namespace LinuxPerf
} // namespace Platform
} // namespace Telvar
