// ravlonctl check-config: loads a configuration file as the collector does
// and prints every typed entry with its value as the collector would see it.
#include "Command.h"

#include <cstdio>
#include <string>

#include "common/ConfReader.h"
#include "common/Exception.h"
#include "common/StringUtil.h"
#include "common/TimeSpan.h"

namespace Telvar {
namespace Ctl {
namespace {

int run(const Args& args);

const Command COMMAND = {
    "check-config",
    "ravlonctl check-config FILE",
    "load a configuration file and list its entries",
    "Loads FILE (plain or gzip) the way the collector does. On success prints\n"
    "every typed entry as 'key (Type) = value', one per line in file order,\n"
    "with references resolved and DirName/FileName values normalised, and\n"
    "exits 0. A syntax error is reported as 'FILE:LINE: text' and exits 1, as\n"
    "do an unreadable file and a value the collector could not use.",
    run,
};

const CommandRegistrar registrar(COMMAND);

std::string oneLine(std::string text)
{
    for (size_t p = text.find("\r\n"); p != std::string::npos; p = text.find("\r\n", p))
        text.replace(p, 2, " ");
    return text;
}

// The value as the collector's getter of the entry's type would hand it
// out; a non-zero result when that getter would fail.
int32_t collectorValue(const ConfReader& reader, const std::shared_ptr<const DOMNode>& tree,
                       const DOMNode& node, const std::string& key, std::string& out)
{
    const std::string& type = node.getType();
    std::string value;
    int32_t rc = reader.getNodeValue(tree, node, key, type, value);
    if (rc != ConfReader::CONF_OK)
        return rc;
    if (type == "Bool") {
        StringUtil::toLower(value);
        if (value != "true" && value != "false")
            return ConfReader::CONF_BAD_BOOL;
    } else if (type == "Integer") {
        value = std::to_string(ConfReader::leadingInteger(value));
    } else if (type == "DirName") {
        StringUtil::trim(value);
    } else if (type == "FileName") {
        StringUtil::trim(value);
        if (!StringUtil::isValidFileName(value))
            return ConfReader::CONF_BAD_VALUE;
    } else if (type == "TimeSpan") {
        try {
            TimeSpan::parseTimeSpan(value);
        } catch (const TimeException&) {
            return ConfReader::CONF_BAD_VALUE;
        }
    }
    out = value;
    return ConfReader::CONF_OK;
}

// Iterative walk in file order; returns false when a value is unusable.
bool listEntries(const ConfReader& reader, const std::string& file)
{
    std::shared_ptr<const DOMNode> tree = reader.root();
    bool ok = true;
    struct Pending {
        const DOMNode* node;
        std::string prefix;
    };
    std::vector<Pending> stack;
    if (tree != nullptr && tree->firstChild() != nullptr)
        stack.push_back({tree->firstChild(), ""});
    while (!stack.empty()) {
        Pending at = stack.back();
        stack.pop_back();
        const DOMNode& node = *at.node;
        std::string key = at.prefix.empty() ? node.getName() : at.prefix + "." + node.getName();
        if (node.nextSibling() != nullptr)
            stack.push_back({node.nextSibling(), at.prefix});
        if (node.firstChild() != nullptr)
            stack.push_back({node.firstChild(), key});
        if (node.getType().empty())
            continue;
        std::string value;
        int32_t rc = collectorValue(reader, tree, node, key, value);
        if (rc == ConfReader::CONF_OK) {
            std::printf("%s (%s) = %s\n", key.c_str(), node.getType().c_str(), value.c_str());
        } else {
            ok = false;
            std::fflush(stdout);
            std::fprintf(stderr, "%s: %s (%s): %s (result %d)\n", file.c_str(), key.c_str(),
                         node.getType().c_str(), ConfReader::resultText(rc), static_cast<int>(rc));
        }
    }
    return ok;
}

int run(const Args& args)
{
    std::string file;
    for (const std::string& a : args) {
        if (a.size() > 1 && a[0] == '-')
            return usageError(COMMAND, "unknown option '" + a + "'");
        if (!file.empty())
            return usageError(COMMAND, "only one FILE may be given");
        file = a;
    }
    if (file.empty())
        return usageError(COMMAND, "FILE is missing");

    ConfReader reader;
    reader.readFile(file);
    ConfReader::LoadStatus status = reader.lastLoad();
    switch (status.kind) {
    case ConfReader::LoadStatus::LOAD_OK:
        break;
    case ConfReader::LoadStatus::LOAD_SYNTAX:
        std::fprintf(stderr, "%s:%d: %s\n", file.c_str(), static_cast<int>(status.line),
                     status.errorText.c_str());
        return EXIT_FAILED;
    case ConfReader::LoadStatus::LOAD_UNREADABLE:
        std::fprintf(stderr, "ravlonctl check-config: cannot read %s: %s\n", file.c_str(),
                     oneLine(status.errorText).c_str());
        return EXIT_FAILED;
    default:
        std::fprintf(stderr, "ravlonctl check-config: %s was not loaded\n", file.c_str());
        return EXIT_FAILED;
    }
    return listEntries(reader, file) ? EXIT_OK : EXIT_FAILED;
}

} // namespace
} // namespace Ctl
} // namespace Telvar
