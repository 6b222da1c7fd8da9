#pragma once

#include <cstdint>
#include <string>

namespace Telvar {
namespace Platform {

// What the system hands a windowed (GUI) program at its start.
struct WindowedStart {
    uint64_t instance = 0;
    // A previous instance is never reported by 32- and 64-bit Windows.
    bool previousInstance = false;
    // The command line after the program name and the blanks that follow it.
    std::string commandLine;
    int32_t show = 0;
};

// Defined by the program, not here: the system's entry of a windowed
// program (WinMain) calls it and ends the process with its result. The
// entry lives in win32/entry/WinMain.cpp, built into the program itself.
int windowedMain(const WindowedStart& start);

} // namespace Platform
} // namespace Telvar
