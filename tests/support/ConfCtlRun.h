#pragma once

// Runs ravlonctl through the shell and collects its exit code and output.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "support/TempDir.h"

namespace ConfCtl {

struct Run {
    int exitCode = -1;
    std::string out;
    std::string err;
};

inline std::string slurp(const std::filesystem::path& path)
{
    return Telvar::Testing::TempDir::readFile(path.string());
}

inline std::string shellQuoted(const std::string& arg)
{
    std::string q = "'";
    for (char c : arg)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// env is put in front of the command ("TZ=UTC").
inline Run ravlonctl(const std::string& args, const std::string& env = "")
{
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("ctlrun-" + std::to_string(std::random_device()()));
    fs::create_directories(dir);
    std::string cmd = env + " " + shellQuoted(RAVLONCTL_PATH) + " " + args + " >" + shellQuoted((dir / "out").string()) +
                      " 2>" + shellQuoted((dir / "err").string()) + "; echo $? >" + shellQuoted((dir / "rc").string());
    Run run;
    if (std::system(cmd.c_str()) == 0) {
        run.exitCode = std::atoi(slurp(dir / "rc").c_str());
        run.out = slurp(dir / "out");
        run.err = slurp(dir / "err");
    }
    std::error_code ec;
    fs::remove_all(dir, ec);
    return run;
}

inline std::string data(const std::string& name)
{
    return std::string(TEST_SOURCE_DIR) + "/data/conf/" + name;
}

} // namespace ConfCtl
