// ravlonctl counters: the performance objects, or every counter path of one.
#include "Command.h"

#include <cstdio>
#include <string>
#include <vector>

#include "platform/PerfData.h"
#include "ravlon/Counter.h"

namespace Telvar {
namespace Ctl {
namespace {

int run(const Args& args);

const Command COMMAND = {
    "counters",
    "ravlonctl counters [OBJECT]",
    "list performance objects and counter paths",
    "Without OBJECT prints the performance objects, one per line. With OBJECT\n"
    "prints every full counter path of that object, one per line, for each of\n"
    "its current instances: \\Object(instance)\\Counter, or \\Object\\Counter for\n"
    "an object without instances. The paths can be used in a counters file\n"
    "(object and counter) or given to 'ravlonctl sample'.",
    run,
};

const CommandRegistrar registrar(COMMAND);

int run(const Args& args)
{
    if (args.size() > 1)
        return usageError(COMMAND, "only one OBJECT may be given");
    if (!args.empty() && args[0].size() > 1 && args[0][0] == '-')
        return usageError(COMMAND, "unknown option '" + args[0] + "'");
    Platform::PerfDataProvider& pdh = Platform::perfData();
    if (args.empty()) {
        std::vector<std::string> objects;
        Platform::PdhStatus status = pdh.enumObjects(objects);
        if (status != 0) {
            std::fprintf(stderr, "ravlonctl counters: %s\n", pdhStatusText(status).c_str());
            return EXIT_FAILED;
        }
        for (const std::string& o : objects)
            std::printf("%s\n", o.c_str());
        return EXIT_OK;
    }
    const std::string& object = args[0];
    std::vector<std::string> counters, instances;
    Platform::PdhStatus status = pdh.enumObjectItems(object, counters, instances);
    if (status != 0) {
        std::fprintf(stderr, "ravlonctl counters: %s: %s\n", object.c_str(), pdhStatusText(status).c_str());
        return EXIT_FAILED;
    }
    for (const std::string& c : counters) {
        if (instances.empty()) {
            std::printf("\\%s\\%s\n", object.c_str(), c.c_str());
            continue;
        }
        for (const std::string& i : instances)
            std::printf("\\%s(%s)\\%s\n", object.c_str(), i.c_str(), c.c_str());
    }
    return EXIT_OK;
}

} // namespace
} // namespace Ctl
} // namespace Telvar
