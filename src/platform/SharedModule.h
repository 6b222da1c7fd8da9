#pragma once

// Code loaded at its first use instead of at start-up.

#include <string>

namespace Telvar {
namespace Platform {

// The directory of the running program's file, without a trailing separator;
// empty when the system does not say.
std::string programDirectory();

// A symbol of the module at path, which is loaded once and kept for the life
// of the process; null when it cannot be loaded or lacks the symbol (error
// says why).
void* moduleSymbol(const std::string& path, const char* symbol, std::string& error);

} // namespace Platform
} // namespace Telvar
