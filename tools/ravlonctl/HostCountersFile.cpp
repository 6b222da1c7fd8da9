#include "HostCountersFile.h"


#include "common/StringUtil.h"
#include "platform/TextHash.h"

namespace Telvar {
namespace Ctl {

namespace {

const char HEADER_HEAD[] = "# Made for this host by \"ravlonctl setup\" from ";
const char HEADER_PRINT[] = "; fingerprint ";

// Object name of a line "Object(*)", empty for any other line.
std::string wildcardObject(const std::string& line)
{
    std::string t = line;
    StringUtil::trim(t);
    const std::string tail = "(*)";
    if (t.size() <= tail.size() || t.compare(t.size() - tail.size(), tail.size(), tail) != 0)
        return std::string();
    return t.substr(0, t.size() - tail.size());
}

bool wanted(const std::string& object, const std::string& instance)
{
    if (instance.empty() || instance == "_Total" || (object == "Network Interface" && instance == "lo"))
        return false;
    // A counters file holds printable ASCII only, and parentheses end the instance.
    for (unsigned char c : instance)
        if (c < 32 || c > 126 || c == '(' || c == ')')
            return false;
    return true;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// The block starting at lines[first] (object line to its "}"), each line
// with the instance put in place of "*".
std::string expandBlock(const std::vector<std::string>& block, const std::string& object,
                        const std::vector<std::string>& instances)
{
    std::string out;
    bool firstOut = true;
    for (const std::string& instance : instances) {
        if (!wanted(object, instance))
            continue;
        if (!firstOut)
            out += "\n";
        firstOut = false;
        out += object + "(" + instance + ")\n";
        for (size_t i = 1; i < block.size(); ++i)
            out += block[i] + "\n";
    }
    if (firstOut)
        out += "# This host has no instance of " + object + ".\n";
    return out;
}

} // namespace

std::string HostCountersFile::fingerprint(const std::string& text)
{
    return textHashHex(text);
}

std::string HostCountersFile::make(const std::string& templateText, const std::string& templateName,
                                   const InstanceLister& lister)
{
    const std::vector<std::string> all = lines(templateText);
    std::string body;
    for (size_t i = 0; i < all.size(); ++i) {
        const std::string object = wildcardObject(all[i]);
        if (object.empty()) {
            body += all[i] + "\n";
            continue;
        }
        // The block runs to the first line "}" (a file ending inside it ends it).
        std::vector<std::string> block{all[i]};
        while (++i < all.size()) {
            block.push_back(all[i]);
            std::string t = all[i];
            StringUtil::trim(t);
            if (t == "}")
                break;
        }
        std::vector<std::string> instances;
        if (!lister(object, instances))
            instances.clear();
        body += expandBlock(block, object, instances);
    }
    return HEADER_HEAD + templateName + HEADER_PRINT + fingerprint(body) + "\n" + body;
}

bool HostCountersFile::unedited(const std::string& text)
{
    const size_t end = text.find('\n');
    if (end == std::string::npos || text.compare(0, sizeof HEADER_HEAD - 1, HEADER_HEAD) != 0)
        return false;
    const std::string header = text.substr(0, end);
    const size_t at = header.rfind(HEADER_PRINT);
    if (at == std::string::npos)
        return false;
    return header.substr(at + sizeof HEADER_PRINT - 1) == fingerprint(text.substr(end + 1));
}

} // namespace Ctl
} // namespace Telvar
