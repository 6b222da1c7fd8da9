#pragma once

namespace Telvar {
namespace Platform {

// The separator the program writes into paths; both '/' and '\\' are read.
#ifdef _WIN32
constexpr char PATH_SEPARATOR = '\\';
#else
constexpr char PATH_SEPARATOR = '/';
#endif

inline bool isPathSeparator(char c) { return c == '/' || c == '\\'; }

} // namespace Platform
} // namespace Telvar
