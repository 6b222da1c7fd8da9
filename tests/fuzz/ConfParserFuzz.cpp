// Feeds arbitrary text to the configuration parser, then looks every entry
// of the resulting tree up again, references and all.
#include "common/ConfReader.h"
#include "common/ConfSearcher.h"
#include "common/Tokenizer.h"
#include "common/WhitespaceSearcher.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using namespace Telvar;

namespace {

void lookUpAll(const ConfReader& reader)
{
    std::shared_ptr<const DOMNode> root = reader.root();
    if (root == nullptr)
        return;
    struct Pending {
        const DOMNode* node;
        std::string prefix;
    };
    std::vector<Pending> stack;
    if (root->firstChild() != nullptr)
        stack.push_back({root->firstChild(), ""});
    int visited = 0;
    while (!stack.empty() && visited++ < 2000) {
        Pending at = stack.back();
        stack.pop_back();
        std::string key = at.prefix.empty() ? at.node->getName() : at.prefix + "." + at.node->getName();
        if (at.node->nextSibling() != nullptr)
            stack.push_back({at.node->nextSibling(), at.prefix});
        if (at.node->firstChild() != nullptr)
            stack.push_back({at.node->firstChild(), key});
        std::string s;
        bool b;
        int32_t i;
        TimeSpanParts t;
        std::vector<std::string> list;
        reader.getString(key, s, true, true);
        reader.getBool(key, b);
        reader.getInteger(key, i);
        reader.getDirName(key, s);
        reader.getFileName(key, s);
        reader.getTimeSpan(key, t);
        reader.getSubObjects(key, list);
        reader.getNodeValue(root, *at.node, key, at.node->getType(), s);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);

    ConfReader reader;
    reader.readText(text, "fuzz");
    lookUpAll(reader);

    // The searchers on their own, with odd ranges.
    ConfSearcher conf;
    WhitespaceSearcher white;
    size_t length = 0;
    bool significant = false;
    for (size_t start = 0; start <= text.size() && start < 64; ++start) {
        conf.skipSeparators(text, length, start, size % 7);
        conf.findTokenEnd(text, significant, start, size % 5);
        white.skipSeparators(text, length, start);
        white.findTokenEnd(text, significant, start, size % 3);
    }
    std::string rest = text;
    for (int n = 0; !rest.empty() && n < 1000; ++n)
        splitFirstToken(rest, white);
    return 0;
}
