// The collector's entry on Linux: a foreground process whose main thread
// runs main control; SIGTERM and SIGINT stop it, SIGHUP reconfigures it.
#include <iostream>
#include <string>
#include <vector>

#include "platform/ControlRequests.h"
#include "ravlon/ProgramEntry.h"
#include "ravlon/StartPauses.h"

int main(int argc, char** argv)
{
    using namespace Telvar;
    std::vector<std::string> arguments(argv + 1, argv + argc);
    int code = 0;
    if (ProgramEntry::answerInformational(arguments, std::cout, code))
        return code;
    const std::string commandLine = ProgramEntry::commandLineText(arguments);
    if (ProgramEntry::answerUsage(commandLine, std::cerr, code))
        return code;
    std::string error;
    if (!StartPauses::load(error)) {
        std::cerr << "ravlon: " << error << std::endl;
        return ProgramEntry::EXIT_USAGE;
    }
    // Before any other thread exists, so that none of them takes the signals.
    if (!Platform::startControlRequests([](Platform::ControlRequest request) {
            if (request == Platform::ControlRequest::STOP)
                ProgramEntry::requestStop();
            else
                ProgramEntry::requestReconfigure();
        })) {
        std::cerr << "ravlon: cannot route the stop and reconfigure signals" << std::endl;
        return ProgramEntry::EXIT_CONFIGURATION_FAILED;
    }
    return ProgramEntry::runCollector(commandLine, std::cerr);
}
