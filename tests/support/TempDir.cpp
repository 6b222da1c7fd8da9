#include "support/TempDir.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace Telvar {
namespace Testing {

namespace {

std::string uniqueSuffix()
{
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    std::ostringstream s;
    s << std::hex << rd() << '-' << counter++ << '-'
      << std::chrono::steady_clock::now().time_since_epoch().count();
    return s.str();
}

} // namespace

TempDir::TempDir(const std::string& prefix)
{
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec)
        base = "/tmp";
    for (int i = 0; i < 100; ++i) {
        fs::path candidate = base / (prefix + "-" + uniqueSuffix());
        if (fs::create_directory(candidate, ec)) {
            path_ = candidate.string();
            return;
        }
    }
    throw std::runtime_error("TempDir: cannot create a directory under " + base.string());
}

namespace {

// Each entry is tried once: libstdc++'s remove_all for Windows loops for
// ever on an entry it cannot delete (a file still held open there).
void removeTree(const fs::path& path)
{
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(path, ec))) {
        std::vector<fs::path> entries;
        for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
            entries.push_back(it->path());
        for (const fs::path& entry : entries)
            removeTree(entry);
    }
    fs::remove(path, ec);
}

} // namespace

TempDir::~TempDir()
{
    std::error_code ec;
    // Give write permission back so read-only entries do not block removal.
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code ignored;
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    removeTree(path_);
}

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

bool TempDir::write(const std::string& name, const std::string& content) const
{
    return writeFile(file(name), content);
}

std::string TempDir::read(const std::string& name) const { return readFile(file(name)); }

bool TempDir::exists(const std::string& name) const
{
    std::error_code ec;
    return fs::exists(fs::symlink_status(file(name), ec));
}

bool TempDir::makeDirectory(const std::string& name) const
{
    std::error_code ec;
    fs::create_directories(file(name), ec);
    return !ec;
}

bool TempDir::writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    return static_cast<bool>(out);
}

std::string TempDir::readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::string();
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace Testing
} // namespace Telvar
