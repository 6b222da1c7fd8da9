// ravlonctl setup: the resources and directories of an installation.
#include "Command.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "HostCountersFile.h"
#include "common/FileOperations.h"
#include "common/Resources.h"
#include "platform/SystemError.h"
#include "platform/FileSystem.h"
#include "platform/Installation.h"
#include "platform/PerfData.h"

#ifndef RAVLON_CONFIG_DIR
#define RAVLON_CONFIG_DIR "/usr/local/etc/ravlon"
#endif
#ifndef RAVLON_STATE_DIR
#define RAVLON_STATE_DIR "/usr/local/var/lib/ravlon"
#endif
#ifndef RAVLON_LOG_DIR
#define RAVLON_LOG_DIR "/usr/local/var/log/ravlon"
#endif
#ifndef RAVLON_DATA_DIR
#define RAVLON_DATA_DIR "/usr/local/share/ravlon"
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
    "Then it makes the counters files of the host in the configuration\n"
    "directory from the templates in DIR/share/ravlon/: each block of an\n"
    "object with the instance \"*\" becomes one block per instance this host\n"
    "has (network interfaces but lo, processors, physical and logical disks).\n"
    "A file it made before is made again (a new disk shows up); a file that\n"
    "was edited is kept and reported.\n"
    "\n"
    "  --prefix DIR  the installation's root (the --prefix of 'cmake --install');\n"
    "                /usr keeps its files in /etc and /var, as GNUInstallDirs\n"
    "                does; without it: " RAVLON_CONFIG_DIR ",\n"
    "                " RAVLON_STATE_DIR " and " RAVLON_LOG_DIR "\n"
    "  --force       replace resources that hold another value, and rewrite\n"
    "                edited counters files, keeping each as FILE.bak\n"
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
    if (!makeParentDirectories(trimmed, failed) || !createDirectory(trimmed))
        return false;
    // The collector's own directory: the group's operators read its logs
    // and data files, nobody else does (it is made 0750).
    Platform::shareWithInstallationGroup(trimmed);
    return true;
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

const uint64_t MAX_COUNTERS_FILE = HostCountersFile::MAX_TEMPLATE_BYTES * 16;

// The whole file if it is at most limit bytes.
bool readSmallFile(const std::string& path, uint64_t limit, std::string& text)
{
    std::FILE* f = Platform::openStream(path, "rb");
    if (f == nullptr)
        return false;
    text.clear();
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0 && text.size() <= limit)
        text.append(buffer, n);
    const bool ok = !std::ferror(f) && text.size() <= limit;
    std::fclose(f);
    return ok;
}

// Written beside the file first, so a failure leaves the old one whole.
// Readable by every account whatever the umask: the collector reads it
// under its own account.
bool replaceFile(const std::string& path, const std::string& text)
{
    namespace fs = std::filesystem;
    const std::string temp = path + ".tmp";
    std::FILE* f = Platform::openStream(temp, "wb");
    if (f == nullptr)
        return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fclose(f) == 0 && ok;
    std::error_code ec;
    const fs::perms readable = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                               fs::perms::others_read;
    fs::permissions(temp, readable, fs::perm_options::replace, ec);
    ok = ok && !ec;
    if (ok && moveFile(temp, path, true))
        return true;
    deleteFile(temp);
    return false;
}

bool hostInstances(const std::string& object, std::vector<std::string>& instances)
{
    std::vector<std::string> counters;
    return Platform::perfData().enumObjectItems(object, counters, instances) == 0;
}

// One counters file from its template: made, made again, or kept when edited.
bool makeCountersFile(const std::string& templatePath, const std::string& name, const std::string& target,
                      bool force)
{
    std::string templ, current;
    if (!readSmallFile(templatePath, HostCountersFile::MAX_TEMPLATE_BYTES, templ)) {
        std::fprintf(stderr, "ravlonctl setup: cannot read the template %s\n", templatePath.c_str());
        return false;
    }
    const std::string made = HostCountersFile::make(templ, templatePath, hostInstances);
    const bool exists = fileExists(target);
    if (exists && !readSmallFile(target, MAX_COUNTERS_FILE, current)) {
        std::fprintf(stderr, "ravlonctl setup: cannot read %s\n", target.c_str());
        return false;
    }
    if (exists && current == made) {
        std::printf("%s (unchanged)\n", target.c_str());
        return true;
    }
    const bool edited = exists && !HostCountersFile::unedited(current);
    if (edited && !force) {
        std::printf("%s (edited, kept; --force makes it again, keeping it as %s.bak)\n", target.c_str(),
                    name.c_str());
        return true;
    }
    if (edited && !replaceFile(target + ".bak", current)) {
        std::fprintf(stderr, "ravlonctl setup: cannot keep %s as %s.bak\n", target.c_str(), target.c_str());
        return false;
    }
    if (!replaceFile(target, made)) {
        std::fprintf(stderr, "ravlonctl setup: cannot write %s\n", target.c_str());
        return false;
    }
    const char* what = !exists ? "made for this host"
                       : edited ? "made again, the edited file kept as .bak"
                                : "made again";
    std::printf("%s (%s)\n", target.c_str(), what);
    return true;
}

// Every "*.counters" template in templates becomes a file in conf.
bool makeCountersFiles(const std::string& templates, const std::string& conf, bool force)
{
    std::vector<Platform::DirectoryItem> items;
    if (!Platform::readDirectory(templates, items))
        return true;  // an installation without templates keeps its files as they are
    std::vector<std::string> names;
    for (const Platform::DirectoryItem& item : items) {
        const std::string& n = item.name;
        if (!item.directory && n.size() > 9 && n.compare(n.size() - 9, 9, ".counters") == 0)
            names.push_back(n);
    }
    std::sort(names.begin(), names.end());
    bool ok = true;
    for (const std::string& n : names)
        ok = makeCountersFile(asDirectory(templates) + n, n, conf + n, force) && ok;
    return ok;
}

// "/usr" (and "/") keep configuration and state in /etc and /var.
void prefixDirectories(std::string root, std::vector<Setting>& settings, std::string& templates)
{
    root = asDirectory(root);
    const bool system = root == "/" || root == "/usr/";
    settings[0].directory = (system ? std::string("/") : root) + "etc/ravlon";
    settings[1].directory = (system ? std::string("/") : root) + "var/lib/ravlon";
    settings[2].directory = (system ? std::string("/") : root) + "var/log/ravlon";
    templates = (root == "/" ? std::string("/usr/") : root) + "share/ravlon";
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
    std::string templates = RAVLON_DATA_DIR;
    if (!prefix.empty()) {
        const std::string root = Platform::absolutePath(prefix);
        if (root.empty())
            return usageError(setupCommand, "cannot make an absolute path of '" + prefix + "'");
        prefixDirectories(root, settings, templates);
    }
    const int result = applySettings(settings, force);
    if (result != EXIT_OK)
        return result;
    return makeCountersFiles(templates, settings[0].directory, force) ? EXIT_OK : EXIT_FAILED;
}

} // namespace
} // namespace Ctl
} // namespace Telvar
