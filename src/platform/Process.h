#pragma once

#include <cstdint>
#include <string>

namespace Telvar {
namespace Platform {

// A program's exit code -1 as its process status: the whole value where a
// status has 32 bits (Windows), its low byte where it has 8.
#ifdef _WIN32
constexpr int EXIT_STATUS_MINUS_ONE = -1;
#else
constexpr int EXIT_STATUS_MINUS_ONE = 255;
#endif

using ProcessId = int64_t;

ProcessId currentProcessId();

// True while a process with this id exists.
bool processExists(ProcessId pid);

// Value of an environment variable, empty when unset.
std::string environmentVariable(const std::string& name);
bool hasEnvironmentVariable(const std::string& name);
void setEnvironmentVariable(const std::string& name, const std::string& value);
void unsetEnvironmentVariable(const std::string& name);

// Calls handler when the process is asked to end (Ctrl+C, termination
// request). handler runs in signal context: it may only set a flag. A write
// to the standard output that is blocked at that moment is broken off.
void setStopHandler(void (*handler)());

// Writes text to the standard output at once, unbuffered; false when that
// failed or a stop request broke it off.
bool writeStandardOutput(const std::string& text);

// Lets all threads share one heap. A long-running program that starts
// fresh threads at every reconfigure would otherwise spread its memory over
// ever more per-thread heaps and grow without using more.
void shareOneHeap();

} // namespace Platform
} // namespace Telvar
