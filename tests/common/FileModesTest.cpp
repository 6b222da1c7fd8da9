// What the program creates is for the installation's people only: files
// 0640 and directories 0750, of the installation's group.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/Resources.h"
#include "platform/FileSystem.h"
#include "platform/Installation.h"
#include "platform/Process.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/Waiting.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Telvar;

namespace {

const char GROUP[] = "nogroup";

// Child: takes the group as the program does at start, then creates a data
// file, a directory and a resource below dir.
int createAsTheProgram(const std::string& dir)
{
    const std::vector<std::string> args{dir};
    ::umask(022);  // the usual one, which alone would let everyone read
    Platform::setInstallationGroup(GROUP);
    if (!Platform::adoptInstallationGroup())
        return 3;
    std::FILE* f = Platform::openStream(args[0] + "/Ravlon-1-2-3.make", "ab");
    if (f == nullptr)
        return 4;
    std::fclose(f);
    if (!Platform::createDirectory(args[0] + "/work"))
        return 5;
    Platform::setEnvironmentVariable("TELVAR_REGISTRY_ROOT", args[0] + "/registry");
    return setResource("JOB_Ravlon", "pid=1") == RESOURCE_OK ? 0 : 6;
}

TEST(FileModesTest, CreatedFilesAndDirectoriesAreTheInstallationsOnly)
{
    group* entry = ::getgrnam(GROUP);
    if (::geteuid() != 0 || entry == nullptr)
        GTEST_SKIP() << "needs root and the group " << GROUP;
    const gid_t gid = entry->gr_gid;
    Testing::TempDir dir("filemodes");
    Platform::ProcessId child = Testing::forkChild([&] { return createAsTheProgram(dir.path()); });
    ASSERT_NE(-1, child);
    ASSERT_EQ(0, Testing::waitChild(child, 10000));
    // The data file, the directory and the whole resource store.
    std::vector<std::string> paths = {dir.file("Ravlon-1-2-3.make"), dir.file("work"), dir.file("registry")};
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.file("registry")))
        paths.push_back(entry.path().string());
    ASSERT_GT(paths.size(), 4u);
    for (const std::string& path : paths) {
        struct stat st;
        ASSERT_EQ(0, ::lstat(path.c_str(), &st)) << path;
        EXPECT_EQ(S_ISDIR(st.st_mode) ? 0750u : 0640u, st.st_mode & 07777) << path;
        EXPECT_EQ(gid, st.st_gid) << path;
    }
}

} // namespace
