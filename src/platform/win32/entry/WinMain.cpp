// The entry of a windowed program. Compiled into the program itself, not
// into the platform library: the C runtime looks for WinMain after the
// program's libraries have been searched.
#include "platform/WindowedProgram.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show)
{
    Telvar::Platform::WindowedStart start;
    start.instance = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(instance));
    start.previousInstance = previous != nullptr;
    start.commandLine = commandLine != nullptr ? commandLine : "";
    start.show = show;
    return Telvar::Platform::windowedMain(start);
}
