// ravlonctl setup: the resources and directories of an installation.
#include "Command.h"

#include <cstdio>
#include <string>
#include <vector>

#include "common/FileOperations.h"
#include "common/Resources.h"
#include "platform/SystemError.h"
#include "platform/FileSystem.h"

#ifndef RAVLON_CONFIG_DIR
#define RAVLON_CONFIG_DIR "/usr/local/etc/ravlon"
#endif
#ifndef RAVLON_STATE_DIR
#define RAVLON_STATE_DIR "/usr/local/var/lib/ravlon"
#endif
#ifndef RAVLON_LOG_DIR
#define RAVLON_LOG_DIR "/usr/local/var/log/ravlon"
#endif

namespace Telvar {
namespace Ctl {
namespace {

int runSetup(const Args& args);

const Command setupCommand = {
    "setup",
    "ravlonctl setup [--prefix DIR] [--force]",
    "write the resources of an installation and make its directories",
    "Writes the resources the collector needs before it can read its\n"
    "configuration, and creates the directories they name:\n"
    "\n"
    "  ConfigurationDir  DIR/etc/ravlon/      ravlon.conf, counters files, catalogues\n"
    "  InstallDir        DIR/var/lib/ravlon/  the working directory lies below it\n"
    "  StartupLogDir     DIR/var/log/ravlon/  the debug log\n"
    "\n"
    "  --prefix DIR  the installation's root (the --prefix of 'cmake --install');\n"
    "                without it: " RAVLON_CONFIG_DIR ",\n"
    "                " RAVLON_STATE_DIR " and " RAVLON_LOG_DIR "\n"
    "  --force       replace resources that hold another value\n"
    "\n"
    "A resource that already holds a different value is kept and reported, and\n"
    "nothing is written, unless --force is given. The resource store is the one\n"
    "TELVAR_REGISTRY_ROOT and TELVAR_ENV name. Exit codes: 0 done, 1 failure or\n"
    "refused, 2 usage.",
    runSetup,
};

const CommandRegistrar registrar(setupCommand);

struct Setting {
    const char* resource;
    std::string directory;  // absolute, ending in "/"
    std::string current;
    bool present = false;
};

std::string asDirectory(std::string path)
{
    if (path.empty() || path.back() != '/')
        path += '/';
    return path;
}

bool makeDirectoryTree(const std::string& directory)
{
    std::string trimmed = directory;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    Platform::PathStatus status;
    if (Platform::pathStatus(trimmed, status))
        return status.directory;
    std::string failed;
    return makeParentDirectories(trimmed, failed) && createDirectory(trimmed);
}

// Checks every setting, then makes the directories, then writes the values.
int applySettings(std::vector<Setting>& settings, bool force)
{
    // Every check before the first change: a refusal leaves nothing half-done.
    bool refused = false;
    for (Setting& s : settings) {
        s.directory = asDirectory(s.directory);
        s.present = getResource(s.resource, s.current) == RESOURCE_OK;
        if (s.present && s.current != s.directory && !force) {
            std::fprintf(stderr, "ravlonctl setup: %s is \"%s\", not \"%s\" (--force replaces it)\n", s.resource,
                         s.current.c_str(), s.directory.c_str());
            refused = true;
        }
    }
    if (refused)
        return EXIT_FAILED;
    for (const Setting& s : settings) {
        if (!makeDirectoryTree(s.directory)) {
            std::fprintf(stderr, "ravlonctl setup: cannot create the directory %s\n", s.directory.c_str());
            return EXIT_FAILED;
        }
    }
    for (const Setting& s : settings) {
        const char* what = !s.present ? "set" : s.current == s.directory ? "unchanged" : "replaced";
        if (s.present && s.current == s.directory) {
            std::printf("%s=%s (%s)\n", s.resource, s.directory.c_str(), what);
            continue;
        }
        if (setResource(s.resource, s.directory) != RESOURCE_OK) {
            const std::string why = Platform::lastErrorText();
            std::fprintf(stderr, "ravlonctl setup: cannot write %s in the resource store %s: %s\n", s.resource,
                         resourceStoreLocation().c_str(), why.c_str());
            return EXIT_FAILED;
        }
        std::printf("%s=%s (%s)\n", s.resource, s.directory.c_str(), what);
    }
    return EXIT_OK;
}

int runSetup(const Args& args)
{
    std::string prefix;
    bool force = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--prefix") {
            if (i + 1 >= args.size() || args[i + 1].empty())
                return usageError(setupCommand, "--prefix needs a directory");
            prefix = args[++i];
        } else if (args[i] == "--force") {
            force = true;
        } else {
            return usageError(setupCommand, "unexpected argument '" + args[i] + "'");
        }
    }
    std::vector<Setting> settings = {
        {"ConfigurationDir", RAVLON_CONFIG_DIR, "", false},
        {"InstallDir", RAVLON_STATE_DIR, "", false},
        {"StartupLogDir", RAVLON_LOG_DIR, "", false},
    };
    if (!prefix.empty()) {
        std::string root = Platform::absolutePath(prefix);
        if (root.empty())
            return usageError(setupCommand, "cannot make an absolute path of '" + prefix + "'");
        root = asDirectory(root);
        settings[0].directory = root + "etc/ravlon";
        settings[1].directory = root + "var/lib/ravlon";
        settings[2].directory = root + "var/log/ravlon";
    }
    return applySettings(settings, force);
}

} // namespace
} // namespace Ctl
} // namespace Telvar
