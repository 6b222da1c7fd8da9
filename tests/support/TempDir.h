#pragma once

#include <string>

namespace Telvar {
namespace Testing {

// A fresh directory under the system's temporary directory, removed with
// everything in it (read-only entries too) when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "telvar-test");
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    // Absolute path without a trailing separator.
    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const;

    // Writes content (binary) to file(name); true on success.
    bool write(const std::string& name, const std::string& content) const;
    // Content of file(name) (binary); empty when it cannot be read.
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;
    // Creates file(name) as a directory (and its parents).
    bool makeDirectory(const std::string& name) const;

    // Binary helpers on any path.
    static bool writeFile(const std::string& path, const std::string& content);
    static std::string readFile(const std::string& path);

private:
    std::string path_;
};

} // namespace Testing
} // namespace Telvar
