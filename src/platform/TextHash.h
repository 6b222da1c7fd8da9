#pragma once

#include <cstdint>
#include <string>

namespace Telvar {

// 16 hexadecimal digits of the text's FNV-1a hash: stable across builds and
// hosts, so names made from it stay the same for the same text.
inline std::string textHashHex(const std::string& text)
{
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    std::string hex(16, '0');
    for (int i = 0; i < 16; ++i)
        hex[static_cast<size_t>(i)] = "0123456789abcdef"[(h >> (60 - 4 * i)) & 0xf];
    return hex;
}

} // namespace Telvar
