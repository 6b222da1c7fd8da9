#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/PathSeparator.h"

namespace Telvar {

// Byte-string helpers shared by the configuration, file and logging code.
// White space is every byte whose signed value is at most 32.
namespace StringUtil {

constexpr size_t NO_POSITION = static_cast<size_t>(-1);

inline bool isWhite(char c) { return static_cast<signed char>(c) <= 32; }

size_t trimRight(std::string& s);
size_t trimLeft(std::string& s);
size_t trim(std::string& s);
void toLower(std::string& s);
std::string toLowerCopy(const std::string& s);
void stripQuotes(std::string& s);
bool endsWith(const std::string& text, const std::string& tail);
// True when text[from, to) is a non-empty run of decimal digits.
bool allDigits(const std::string& text, size_t from, size_t to);
std::string splitFirst(std::string& s, char separator);
void splitAll(const std::string& s, char separator, std::vector<std::string>& list,
              size_t maximumPieces = NO_POSITION, bool skipEmpty = false);
void splitIntegers(const std::string& s, char separator, std::vector<int32_t>& list,
                   size_t maximumPieces = NO_POSITION);
// The leading-digits conversion: white space skipped, an optional sign, then
// the longest run of decimal digits; trailing text is ignored. False (value
// untouched) when there are no digits. A run past 2^40 stops growing, so
// absurd input saturates instead of overflowing.
bool leadingDigits(const std::string& text, int64_t& value);
// leadingDigits clamped to 32 bits; 0 without digits.
int32_t leadingInt32(const std::string& text);
size_t countChar(char c, const std::string& s, size_t start = 0, size_t count = NO_POSITION);
std::string intToString(int32_t value);
bool isPrintable(const std::string& s);

// Path helpers: '/' and '\\' are both separators; the one written is the
// platform's unless the caller names another.
void appendSeparator(std::string& path, char written = Platform::PATH_SEPARATOR);
size_t normaliseSeparators(std::string& path, char written = Platform::PATH_SEPARATOR);
void stripTrailingSeparators(std::string& path);
std::string extensionOf(const std::string& s);
std::string removeExtension(std::string& s);
std::string directoryOf(const std::string& path);
std::string baseNameOf(const std::string& path);
bool isValidFileName(const std::string& name);

// Appends byte as "\xNN" (two lower-case hex digits): how foreign bytes are
// shown in logs and on the terminal.
void appendHexEscape(std::string& out, unsigned char byte);

} // namespace StringUtil
} // namespace Telvar
