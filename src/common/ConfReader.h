#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/DOMNode.h"
#include "common/LogSink.h"
#include "common/Monopoly.h"
#include "common/SmartPointer.h"
#include "common/TimeSpan.h"

namespace Telvar {

class Tokenizer;

// Loads a configuration file into a tree of DOMNode entries and answers typed
// lookups by dotted key ("ravlon.interval"), resolving "${key}" references.
//
// Lookups take no lock; they work on a snapshot of the tree, so a reload in
// another thread never pulls the tree from under a running lookup.
class ConfReader {
public:
    enum Result {
        CONF_OK = 0,
        CONF_NO_VALUE = 1,      // entry (or a referenced one) is a container
        CONF_NOT_FOUND = 2,     // entry (or a referenced one) does not exist
        CONF_WRONG_TYPE = 3,
        CONF_BAD_BOOL = 4,
        CONF_BAD_VALUE = 5,     // bad FileName or TimeSpan text
        CONF_BAD_REFERENCE = 6, // "${" without "}", or references that do not end
        CONF_NO_READER = 7,
    };

    // Substitutions allowed in one lookup; a reference cycle hits this.
    static constexpr int MAX_SUBSTITUTIONS = 100;
    // Deepest block nesting the parser accepts.
    static constexpr int MAX_NESTING = 200;

    // Catalogue messages of the Configuration module.
    static constexpr int32_t MODULE_CONFIGURATION = 1;
    static constexpr int32_t MSG_CANNOT_READ = 1;
    static constexpr int32_t MSG_SYNTAX = 2;
    static constexpr int32_t MSG_UNTERMINATED_REFERENCE = 3;
    static constexpr int32_t MSG_CANNOT_LOCK = 15;
    static constexpr int32_t SEVERITY_ERROR = 2;

    // Where debug texts and catalogue messages go (LoggerSink::forModule
    // with MODULE_CONFIGURATION logs them).
    using LogSink = Telvar::LogSink;

    // Outcome of the last readFile / readText.
    struct LoadStatus {
        enum Kind { LOAD_NONE = 0, LOAD_OK = 1, LOAD_UNREADABLE = 2, LOAD_SYNTAX = 3, LOAD_LOCKED = 4 };
        Kind kind = LOAD_NONE;
        std::string path;
        // Unreadable: the exception's full text. Syntax: the parser's text.
        std::string errorText;
        int32_t line = 0; // syntax errors only
        // Blocks the text left open (closed silently at its end), and the
        // name and line of the outermost of them.
        int32_t unclosedBlocks = 0;
        std::string unclosedName;
        int32_t unclosedLine = 0;
    };

    // Without logging.
    ConfReader();
    // Logs into the given functions.
    explicit ConfReader(LogSink sink);
    ConfReader(const ConfReader&) = delete;
    ConfReader& operator=(const ConfReader&) = delete;
    virtual ~ConfReader();

    // Builds the tree from the file (plain or gzip). Never throws: a file
    // that cannot be read keeps the earlier tree, a syntax error leaves the
    // entries completed before it.
    void readFile(const std::string& path);
    // The parse step of readFile on a text already in memory; name is used
    // in the log only.
    void readText(const std::string& text, const std::string& name);
    LoadStatus lastLoad() const;

    // Snapshot of the whole tree (null before the first load).
    std::shared_ptr<const DOMNode> root() const;

    // Visits every entry of tree in file order with its dotted key; visit
    // answers whether to go on into the entry's children.
    static void forEachEntry(const std::shared_ptr<const DOMNode>& tree,
                             const std::function<bool(const DOMNode& node, const std::string& key)>& visit);

    // The entry at the dotted path, or null. The pointer keeps the tree it
    // came from alive.
    std::shared_ptr<const DOMNode> findNode(const std::string& path) const;

    int32_t getValue(const std::string& path, const std::string& typeWord, std::string& out) const;
    // Steps of getValue after the look-up, on a node of root()'s tree.
    int32_t getNodeValue(const std::shared_ptr<const DOMNode>& tree, const DOMNode& node,
                         const std::string& path, const std::string& typeWord, std::string& out) const;

    int32_t getString(const std::string& path, std::string& out, bool trim = false,
                      bool lowerCase = false) const;
    int32_t getBool(const std::string& path, bool& out) const;
    int32_t getInteger(const std::string& path, int32_t& out) const;
    int32_t getDirName(const std::string& path, std::string& out) const;
    int32_t getFileName(const std::string& path, std::string& out) const;
    int32_t getTimeSpan(const std::string& path, TimeSpanParts& out) const;
    // Appends the names of the entry's children; 0, or 2 when not found.
    int32_t getSubObjects(const std::string& path, std::vector<std::string>& list) const;

    // The same getters for callers that may hold no reader (result 7).
    static int32_t getString(const ConfReader* reader, const std::string& path, std::string& out,
                             bool trim = false, bool lowerCase = false);
    static int32_t getBool(const ConfReader* reader, const std::string& path, bool& out);
    static int32_t getInteger(const ConfReader* reader, const std::string& path, int32_t& out);
    static int32_t getDirName(const ConfReader* reader, const std::string& path, std::string& out);
    static int32_t getFileName(const ConfReader* reader, const std::string& path, std::string& out);
    static int32_t getTimeSpan(const ConfReader* reader, const std::string& path, TimeSpanParts& out);
    static int32_t getSubObjects(const ConfReader* reader, const std::string& path,
                                 std::vector<std::string>& list);

    // Parses entries into parent until "}" (false) or the end of the text
    // (true). Throws ConfigException CF_CONF on a syntax error.
    bool parseBlock(Tokenizer& tokenizer, DOMNode& parent);

    // Leading decimal digits: white space, optional sign, digits (0 if none).
    static int32_t leadingInteger(const std::string& text);
    // Text of a result code, for operators.
    static const char* resultText(int32_t code);

private:
    bool parseBlockAt(Tokenizer& tokenizer, DOMNode& parent, int depth);
    // Reads "(type) = value {" after an entry's name into node; false when
    // the text ends first.
    bool parseEntryHead(Tokenizer& tokenizer, DOMNode& node);
    // Replaces every "${key}" in value by that entry's value.
    int32_t resolveReferences(const std::shared_ptr<const DOMNode>& tree, const std::string& path,
                              std::string& value) const;
    bool lockForLoad(const std::string& path);
    // Called with loadLock_ held.
    void parseText(const std::string& text, const std::string& name);
    [[noreturn]] void syntaxError(const char* text);
    // Line of a position of the text being parsed; positions only grow.
    int32_t lineAt(size_t position);
    void debug(int32_t level, const std::string& text) const;
    void message(int32_t messageId, const std::vector<std::string>& params) const;
    static std::shared_ptr<const DOMNode> find(const std::shared_ptr<const DOMNode>& tree,
                                               const std::string& path);

    LogSink sink_;
    std::shared_ptr<const DOMNode> root_; // accessed through std::atomic_load/store
    mutable std::mutex statusLock_;
    LoadStatus status_;
    std::string syntaxText_;
    // Parse state, with loadLock_ held.
    const std::string* parseInput_ = nullptr;
    size_t linePosition_ = 0;
    int32_t lineCount_ = 1;
    LoadStatus* parseStatus_ = nullptr;
    // Held for a whole load so two loads never overlap.
    Monopoly loadLock_;
};

} // namespace Telvar
