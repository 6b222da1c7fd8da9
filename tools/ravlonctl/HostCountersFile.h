#pragma once

#include <functional>
#include <string>
#include <vector>

namespace Telvar {
namespace Ctl {

// A counters file made for this host from a template. In the template a
// block whose object carries the instance "*" (Processor(*)) stands for
// one block per instance the host has, in the order the host lists them;
// "_Total" is left out (a template names it where wanted), and so is the
// loopback interface "lo". The file made starts with a line naming the
// template and a fingerprint of everything after it, so that a file an
// administrator edited is told from one this class wrote.
class HostCountersFile {
public:
    // Fills instances for object; false when the host has no such object.
    using InstanceLister = std::function<bool(const std::string& object, std::vector<std::string>& instances)>;

    static constexpr size_t MAX_TEMPLATE_BYTES = 64 * 1024;

    // The file for this host: the fingerprint line, then the template with
    // its "*" blocks expanded.
    static std::string make(const std::string& templateText, const std::string& templateName,
                            const InstanceLister& lister);
    // True when text starts with a fingerprint line that matches the rest.
    static bool unedited(const std::string& text);
    // 16 hexadecimal digits of the text's FNV-1a hash.
    static std::string fingerprint(const std::string& text);
};

} // namespace Ctl
} // namespace Telvar
