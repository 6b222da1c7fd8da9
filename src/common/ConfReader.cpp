#include "common/ConfReader.h"

#include <atomic>

#include "common/ConfSearcher.h"
#include "common/Exception.h"
#include "common/FileGZ.h"
#include "common/StringUtil.h"
#include "common/Tokenizer.h"

namespace Telvar {

namespace {

const char* const TYPE_STRING = "String";
const char* const TYPE_BOOL = "Bool";
const char* const TYPE_INTEGER = "Integer";
const char* const TYPE_DIRNAME = "DirName";
const char* const TYPE_FILENAME = "FileName";
const char* const TYPE_TIMESPAN = "TimeSpan";

// The whole file, plain or gzip. Read to the end rather than to the size
// on disk: a compressed file holds more than its size.
std::string readWholeFile(const std::string& path)
{
    FileGZ file(path);
    file.setReadLimit(FileBase::MAX_INPUT_BYTES);
    file.open(FileBase::ACCESS_READ);
    std::string text;
    std::vector<char> buffer(16384 + 1);
    while (!file.eof()) {
        int64_t n = file.read(buffer.data(), static_cast<int64_t>(buffer.size() - 1));
        if (n <= 0)
            break;
        text.append(buffer.data(), static_cast<size_t>(n));
    }
    file.close();
    return text;
}

std::string quoteFormat(const char* before, const std::string& a, const char* after)
{
    return std::string(before) + a + after;
}

// Leaves the load lock on every way out.
class LoadGuard {
public:
    explicit LoadGuard(Monopoly& lock) : lock_(lock) {}
    ~LoadGuard() { lock_.relax(); }

private:
    Monopoly& lock_;
};

} // namespace

ConfReader::ConfReader() : ConfReader(LogSink()) {}

ConfReader::ConfReader(LogSink sink) : sink_(std::move(sink)) { debug(1, "ConfReader: Created."); }

ConfReader::~ConfReader() { debug(1, "ConfReader: Destroyed."); }

void ConfReader::debug(int32_t level, const std::string& text) const
{
    if (sink_.debug)
        sink_.debug(level, text);
}

void ConfReader::message(int32_t messageId, const std::vector<std::string>& params) const
{
    if (sink_.message)
        sink_.message(SEVERITY_ERROR, messageId, params);
}

std::shared_ptr<const DOMNode> ConfReader::root() const { return std::atomic_load(&root_); }

void ConfReader::forEachEntry(const std::shared_ptr<const DOMNode>& tree,
                              const std::function<bool(const DOMNode& node, const std::string& key)>& visit)
{
    struct Pending {
        const DOMNode* node;
        std::string prefix;
    };
    // A stack of its own: a hostile file's depth cannot exhaust the thread's.
    std::vector<Pending> stack;
    if (tree != nullptr && tree->firstChild() != nullptr)
        stack.push_back({tree->firstChild(), ""});
    while (!stack.empty()) {
        Pending at = stack.back();
        stack.pop_back();
        const DOMNode& node = *at.node;
        const std::string key = at.prefix.empty() ? node.getName() : at.prefix + "." + node.getName();
        if (node.nextSibling() != nullptr)
            stack.push_back({node.nextSibling(), at.prefix});
        if (visit(node, key) && node.firstChild() != nullptr)
            stack.push_back({node.firstChild(), key});
    }
}

ConfReader::LoadStatus ConfReader::lastLoad() const
{
    std::lock_guard<std::mutex> guard(statusLock_);
    return status_;
}

void ConfReader::readFile(const std::string& path)
{
    debug(2, quoteFormat("ConfReader: Building DOM tree from file \"", path, "\"..."));
    if (!lockForLoad(path))
        return;
    LoadGuard guard(loadLock_);
    std::string text;
    try {
        text = readWholeFile(path);
    } catch (FileException& e) {
        e.addTrace(TELVAR_HERE);
        message(MSG_CANNOT_READ, {path, e.fullText()});
        std::lock_guard<std::mutex> status(statusLock_);
        status_ = LoadStatus{LoadStatus::LOAD_UNREADABLE, path, e.fullText(), 0, 0, std::string(), 0};
        return;
    } catch (...) {
        message(MSG_CANNOT_READ, {path, "Unknown"});
        debug(1, quoteFormat("ConfReader: Unknown error while building DOM tree from file \"", path, "\"."));
        std::lock_guard<std::mutex> status(statusLock_);
        status_ = LoadStatus{LoadStatus::LOAD_UNREADABLE, path, "Unknown", 0, 0, std::string(), 0};
        return;
    }
    parseText(text, path);
}

void ConfReader::readText(const std::string& text, const std::string& name)
{
    if (!lockForLoad(name))
        return;
    LoadGuard guard(loadLock_);
    parseText(text, name);
}

bool ConfReader::lockForLoad(const std::string& path)
{
    if (loadLock_.enforce())
        return true;
    message(MSG_CANNOT_LOCK, {});
    std::lock_guard<std::mutex> status(statusLock_);
    status_ = LoadStatus{LoadStatus::LOAD_LOCKED, path, "Cannot take the configuration lock.", 0, 0, std::string(), 0};
    return false;
}

void ConfReader::parseText(const std::string& text, const std::string& name)
{
    // The new tree is built aside and published whole: readers keep the
    // old one until then, and a syntax error publishes what was completed.
    std::shared_ptr<DOMNode> tree = std::make_shared<DOMNode>("Root");
    ConfSearcher searcher;
    Tokenizer tokenizer(text, &searcher, false);
    LoadStatus status{LoadStatus::LOAD_OK, name, std::string(), 0, 0, std::string(), 0};
    parseInput_ = &text;
    linePosition_ = 0;
    lineCount_ = 1;
    parseStatus_ = &status;
    try {
        parseBlock(tokenizer, *tree);
        debug(2, "ConfReader: DOM tree built.");
    } catch (ConfigException& e) {
        e.addTrace(TELVAR_HERE);
        size_t end = tokenizer.position();
        int32_t line = 1 + static_cast<int32_t>(StringUtil::countChar('\n', text, 0, end));
        message(MSG_SYNTAX, {name, e.fullText()});
        debug(1, "ConfReader: " + e.fullText() + ", line " + std::to_string(line) + ".");
        status.kind = LoadStatus::LOAD_SYNTAX;
        status.errorText = e.code() == ConfigException::CF_CONF ? syntaxText_ : e.fullText();
        status.line = line;
    }
    parseInput_ = nullptr;
    parseStatus_ = nullptr;
    std::atomic_store(&root_, std::shared_ptr<const DOMNode>(std::move(tree)));
    std::lock_guard<std::mutex> statusGuard(statusLock_);
    status_ = status;
}

void ConfReader::syntaxError(const char* text)
{
    syntaxText_ = text;
    debug(1, text);
    throw ConfigException(ConfigException::CF_CONF, "", TELVAR_HERE);
}

bool ConfReader::parseBlock(Tokenizer& tokenizer, DOMNode& parent) { return parseBlockAt(tokenizer, parent, 0); }

int32_t ConfReader::lineAt(size_t position)
{
    if (parseInput_ == nullptr || position < linePosition_)
        return 0;
    lineCount_ += static_cast<int32_t>(StringUtil::countChar('\n', *parseInput_, linePosition_, position - linePosition_));
    linePosition_ = position;
    return lineCount_;
}

namespace {

// The next token that is neither white space, a comment nor a line end.
bool nextSignificant(Tokenizer& tokenizer, Token& token)
{
    while (tokenizer.nextToken(token)) {
        if (token.significant && token.text != "\n")
            return true;
    }
    return false;
}

} // namespace

bool ConfReader::parseBlockAt(Tokenizer& tokenizer, DOMNode& parent, int depth)
{
    if (depth > MAX_NESTING)
        syntaxError("ConfReader: Blocks nested too deeply.");
    Token token;
    while (nextSignificant(tokenizer, token)) {
        if (token.text == "}")
            return false;
        std::unique_ptr<DOMNode> node;
        try {
            node.reset(new DOMNode(token.text));
        } catch (const std::bad_alloc&) {
            throw ConfigException(ConfigException::CF_MEM, "", TELVAR_HERE);
        }
        node->setLine(lineAt(tokenizer.position() - token.text.size()));
        // An entry cut off by the end of the text is dropped.
        if (!parseEntryHead(tokenizer, *node))
            return true;
        bool ended = parseBlockAt(tokenizer, *node, depth + 1);
        const int32_t line = node->line();
        const std::string name = node->getName();
        parent.addChild(node.release());
        if (ended) {
            // Unwinding outwards, so the last one noted is the outermost.
            if (parseStatus_ != nullptr) {
                ++parseStatus_->unclosedBlocks;
                parseStatus_->unclosedName = name;
                parseStatus_->unclosedLine = line;
            }
            // The text ended inside the block: nothing may follow.
            if (nextSignificant(tokenizer, token))
                syntaxError("ConfReader: Missing '{'.");
            return true;
        }
    }
    return true;
}

bool ConfReader::parseEntryHead(Tokenizer& tokenizer, DOMNode& node)
{
    Token token;
    if (!nextSignificant(tokenizer, token))
        return false;
    if (token.text != "(")
        syntaxError("ConfReader: Missing '('.");
    if (!nextSignificant(tokenizer, token))
        return false;
    if (token.text != ")") {
        node.setType(token.text);
        if (!nextSignificant(tokenizer, token))
            return false;
        if (token.text != ")")
            syntaxError("ConfReader: Missing ')'.");
    }
    if (!nextSignificant(tokenizer, token))
        return false;
    if (token.text != "=")
        syntaxError("ConfReader: Missing '='.");
    if (!nextSignificant(tokenizer, token))
        return false;
    std::string value = token.text;
    StringUtil::stripQuotes(value);
    if (!value.empty())
        node.setValue(value);
    if (!nextSignificant(tokenizer, token))
        return false;
    if (token.text != "{")
        syntaxError("ConfReader: Missing '{'.");
    return true;
}

std::shared_ptr<const DOMNode> ConfReader::find(const std::shared_ptr<const DOMNode>& tree,
                                                const std::string& path)
{
    if (path.empty() || tree == nullptr)
        return nullptr;
    std::string rest = path;
    const DOMNode* current = tree.get();
    while (true) {
        std::string component = StringUtil::splitFirst(rest, '.');
        const DOMNode* child = current->firstChild();
        while (child != nullptr && child->getName() != component)
            child = child->nextSibling();
        if (child == nullptr)
            return nullptr;
        if (rest.empty())
            return std::shared_ptr<const DOMNode>(tree, child);
        current = child;
    }
}

std::shared_ptr<const DOMNode> ConfReader::findNode(const std::string& path) const { return find(root(), path); }

int32_t ConfReader::getValue(const std::string& path, const std::string& typeWord, std::string& out) const
{
    debug(5, "ConfReader: Getting " + typeWord + " " + path + "...");
    std::shared_ptr<const DOMNode> tree = root();
    std::shared_ptr<const DOMNode> node = find(tree, path);
    if (node == nullptr) {
        debug(5, "ConfReader: Not found.");
        return CONF_NOT_FOUND;
    }
    return getNodeValue(tree, *node, path, typeWord, out);
}

int32_t ConfReader::resolveReferences(const std::shared_ptr<const DOMNode>& tree, const std::string& path,
                                      std::string& value) const
{
    for (int substitutions = 0;; ++substitutions) {
        size_t open = value.find("${");
        if (open == std::string::npos)
            break;
        size_t close = value.find('}', open);
        if (close == std::string::npos) {
            message(MSG_UNTERMINATED_REFERENCE, {path});
            return CONF_BAD_REFERENCE;
        }
        if (substitutions >= MAX_SUBSTITUTIONS) {
            // A value that refers to itself, directly or through others.
            debug(1, "ConfReader: Too many references inside value of \"" + path + "\".");
            return CONF_BAD_REFERENCE;
        }
        std::string key = value.substr(open + 2, close - open - 2);
        std::shared_ptr<const DOMNode> referenced = find(tree, key);
        if (referenced == nullptr) {
            debug(5, "ConfReader: Found, but reference inside value was not.");
            return CONF_NOT_FOUND;
        }
        if (referenced->getType().empty()) {
            debug(5, "ConfReader: Found, but reference inside value didn't have a value.");
            return CONF_NO_VALUE;
        }
        std::string replacement = referenced->getValue();
        if (referenced->getType() == TYPE_DIRNAME)
            StringUtil::appendSeparator(replacement);
        if (value.size() - (close - open + 1) + replacement.size() > static_cast<size_t>(FileBase::MAX_INPUT_BYTES)) {
            // A value referenced again and again would grow without end.
            debug(1, "ConfReader: Value of \"" + path + "\" in \"" + lastLoad().path + "\" exceeds " +
                         std::to_string(FileBase::MAX_INPUT_BYTES) + " bytes after its references.");
            return CONF_BAD_REFERENCE;
        }
        debug(5, "ConfReader: Reference \"" + key + "\" = \"" + replacement + "\".");
        value.replace(open, close - open + 1, replacement);
    }
    return CONF_OK;
}

int32_t ConfReader::getNodeValue(const std::shared_ptr<const DOMNode>& tree, const DOMNode& node,
                                 const std::string& path, const std::string& typeWord,
                                 std::string& out) const
{
    if (node.getType().empty()) {
        debug(5, "ConfReader: Found, but has no value.");
        return CONF_NO_VALUE;
    }
    if (node.getType() != typeWord) {
        debug(1, "ConfReader: Found, but type is \"" + node.getType() + "\", not \"" + typeWord + "\".");
        return CONF_WRONG_TYPE;
    }
    std::string value = node.getValue();
    debug(5, quoteFormat("ConfReader: Got raw value \"", value, "\"."));
    int32_t rc = resolveReferences(tree, path, value);
    if (rc != CONF_OK)
        return rc;
    if (typeWord == TYPE_DIRNAME) {
        // Trimmed first: a blank value must stay empty rather than become
        // the root directory, and padding must not end up before the
        // separator.
        StringUtil::trim(value);
        if (!value.empty()) {
            StringUtil::normaliseSeparators(value);
            StringUtil::appendSeparator(value);
        }
    } else if (typeWord == TYPE_FILENAME) {
        StringUtil::normaliseSeparators(value);
    }
    debug(5, quoteFormat("ConfReader: Got final value \"", value, "\"."));
    out = value;
    return CONF_OK;
}

int32_t ConfReader::getString(const std::string& path, std::string& out, bool trim, bool lowerCase) const
{
    std::string value;
    int32_t rc = getValue(path, TYPE_STRING, value);
    if (rc != CONF_OK)
        return rc;
    if (trim)
        StringUtil::trim(value);
    if (lowerCase)
        StringUtil::toLower(value);
    out = value;
    return CONF_OK;
}

int32_t ConfReader::getBool(const std::string& path, bool& out) const
{
    std::string value;
    int32_t rc = getValue(path, TYPE_BOOL, value);
    if (rc != CONF_OK)
        return rc;
    StringUtil::toLower(value);
    if (value == "true")
        out = true;
    else if (value == "false")
        out = false;
    else
        return CONF_BAD_BOOL;
    return CONF_OK;
}

int32_t ConfReader::leadingInteger(const std::string& text) { return StringUtil::leadingInt32(text); }

int32_t ConfReader::getInteger(const std::string& path, int32_t& out) const
{
    std::string value;
    int32_t rc = getValue(path, TYPE_INTEGER, value);
    if (rc != CONF_OK)
        return rc;
    out = leadingInteger(value);
    return CONF_OK;
}

int32_t ConfReader::getDirName(const std::string& path, std::string& out) const
{
    std::string value;
    int32_t rc = getValue(path, TYPE_DIRNAME, value);
    if (rc != CONF_OK)
        return rc;
    StringUtil::trim(value);
    out = value;
    return CONF_OK;
}

int32_t ConfReader::getFileName(const std::string& path, std::string& out) const
{
    std::string value;
    int32_t rc = getValue(path, TYPE_FILENAME, value);
    if (rc != CONF_OK)
        return rc;
    // Checked after trimming, so "logs/ " cannot pass as a file name.
    StringUtil::trim(value);
    if (!StringUtil::isValidFileName(value))
        return CONF_BAD_VALUE;
    out = value;
    return CONF_OK;
}

int32_t ConfReader::getTimeSpan(const std::string& path, TimeSpanParts& out) const
{
    std::string value;
    int32_t rc = getValue(path, TYPE_TIMESPAN, value);
    if (rc != CONF_OK)
        return rc;
    try {
        out = TimeSpan::parseTimeSpan(value);
    } catch (const TimeException&) {
        return CONF_BAD_VALUE;
    }
    return CONF_OK;
}

int32_t ConfReader::getSubObjects(const std::string& path, std::vector<std::string>& list) const
{
    debug(5, quoteFormat("ConfReader: Getting sub-objects of \"", path, "\"."));
    std::shared_ptr<const DOMNode> node = findNode(path);
    if (node == nullptr) {
        debug(5, "ConfReader: None found.");
        return CONF_NOT_FOUND;
    }
    for (const DOMNode* child = node->firstChild(); child != nullptr; child = child->nextSibling())
        list.push_back(child->getName());
    debug(5, "ConfReader: Found " + std::to_string(list.size()) + " sub-objects.");
    return CONF_OK;
}

int32_t ConfReader::getString(const ConfReader* reader, const std::string& path, std::string& out, bool trim,
                              bool lowerCase)
{
    return reader == nullptr ? CONF_NO_READER : reader->getString(path, out, trim, lowerCase);
}

int32_t ConfReader::getBool(const ConfReader* reader, const std::string& path, bool& out)
{
    return reader == nullptr ? CONF_NO_READER : reader->getBool(path, out);
}

int32_t ConfReader::getInteger(const ConfReader* reader, const std::string& path, int32_t& out)
{
    return reader == nullptr ? CONF_NO_READER : reader->getInteger(path, out);
}

int32_t ConfReader::getDirName(const ConfReader* reader, const std::string& path, std::string& out)
{
    return reader == nullptr ? CONF_NO_READER : reader->getDirName(path, out);
}

int32_t ConfReader::getFileName(const ConfReader* reader, const std::string& path, std::string& out)
{
    return reader == nullptr ? CONF_NO_READER : reader->getFileName(path, out);
}

int32_t ConfReader::getTimeSpan(const ConfReader* reader, const std::string& path, TimeSpanParts& out)
{
    return reader == nullptr ? CONF_NO_READER : reader->getTimeSpan(path, out);
}

int32_t ConfReader::getSubObjects(const ConfReader* reader, const std::string& path,
                                  std::vector<std::string>& list)
{
    return reader == nullptr ? CONF_NO_READER : reader->getSubObjects(path, list);
}

const char* ConfReader::resultText(int32_t code)
{
    switch (code) {
    case CONF_OK: return "success";
    case CONF_NO_VALUE: return "entry has no value";
    case CONF_NOT_FOUND: return "entry not found";
    case CONF_WRONG_TYPE: return "entry has another type";
    case CONF_BAD_BOOL: return "not a Bool value";
    case CONF_BAD_VALUE: return "invalid value";
    case CONF_BAD_REFERENCE: return "reference cannot be resolved";
    case CONF_NO_READER: return "no reader";
    default: return "unknown result";
    }
}

} // namespace Telvar
