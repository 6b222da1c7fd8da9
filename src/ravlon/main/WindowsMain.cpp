// The collector's entry on Windows: a windowless GUI process. Its hidden
// window takes the system's requests to end; the "DIE" command ends it too.
#include <iostream>
#include <string>

#include "platform/WindowedProgram.h"
#include "ravlon/ProgramEntry.h"
#include "ravlon/StartPauses.h"

int Telvar::Platform::windowedMain(const WindowedStart& start)
{
    int code = 0;
    if (ProgramEntry::answerUsage("dummy" + start.commandLine, std::cerr, code))
        return code;
    std::string error;
    if (!StartPauses::load(error)) {
        std::cerr << "ravlon: " << error << std::endl;
        return ProgramEntry::EXIT_USAGE;
    }
    return ProgramEntry::runWindowed(start.commandLine, start.previousInstance, std::cerr);
}
