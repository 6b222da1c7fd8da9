#pragma once

#include <cstdint>
#include <string>

namespace Telvar {

// One entry of a configuration tree. A node owns its first child and its next
// sibling, so destroying the root destroys the whole tree.
class DOMNode {
public:
    explicit DOMNode(const std::string& name);
    DOMNode(const DOMNode&) = delete;
    DOMNode& operator=(const DOMNode&) = delete;
    virtual ~DOMNode();

    const std::string& getName() const { return name_; }
    // Empty for a container.
    const std::string& getType() const { return type_; }
    const std::string& getValue() const { return value_; }

    void setType(const std::string& type) { type_ = type; }
    // The file line of the entry's name; 0 when not read from a file.
    int32_t line() const { return line_; }
    void setLine(int32_t line) { line_ = line; }
    // Stores the text unescaped: a backslash is kept and the byte after it
    // is dropped, so a doubled backslash becomes one.
    void setValue(const std::string& text);

    DOMNode* firstChild() const { return firstChild_; }
    DOMNode* nextSibling() const { return nextSibling_; }

    // Both take ownership and append at the end of the chain.
    void addChild(DOMNode* node);
    void addSibling(DOMNode* node);

    static std::string unescape(const std::string& text);

private:
    std::string name_;
    std::string type_;
    std::string value_;
    int32_t line_ = 0;
    DOMNode* firstChild_ = nullptr;
    DOMNode* nextSibling_ = nullptr;
    // Not owned: where the last append ended, so long child lists append in
    // constant time.
    DOMNode* lastChild_ = nullptr;
};

} // namespace Telvar
