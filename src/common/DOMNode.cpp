#include "common/DOMNode.h"

#include <vector>

namespace Telvar {

DOMNode::DOMNode(const std::string& name) : name_(name) {}

DOMNode::~DOMNode()
{
    // Iterative, so that long sibling chains and deep trees cannot exhaust
    // the stack: detach the links and delete the nodes one by one.
    std::vector<DOMNode*> pending;
    if (firstChild_ != nullptr)
        pending.push_back(firstChild_);
    if (nextSibling_ != nullptr)
        pending.push_back(nextSibling_);
    firstChild_ = nextSibling_ = lastChild_ = nullptr;
    while (!pending.empty()) {
        DOMNode* node = pending.back();
        pending.pop_back();
        if (node->firstChild_ != nullptr)
            pending.push_back(node->firstChild_);
        if (node->nextSibling_ != nullptr)
            pending.push_back(node->nextSibling_);
        node->firstChild_ = node->nextSibling_ = node->lastChild_ = nullptr;
        delete node;
    }
}

std::string DOMNode::unescape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] == '\\')
            ++i;
    }
    return out;
}

void DOMNode::setValue(const std::string& text) { value_ = unescape(text); }

void DOMNode::addChild(DOMNode* node)
{
    if (node == nullptr || node == this)
        return;
    if (firstChild_ == nullptr) {
        firstChild_ = node;
    } else {
        // Siblings may have been appended behind the last child directly.
        DOMNode* last = lastChild_ != nullptr ? lastChild_ : firstChild_;
        while (last->nextSibling_ != nullptr)
            last = last->nextSibling_;
        last->nextSibling_ = node;
    }
    lastChild_ = node;
}

void DOMNode::addSibling(DOMNode* node)
{
    if (node == nullptr || node == this)
        return;
    DOMNode* last = this;
    while (last->nextSibling_ != nullptr)
        last = last->nextSibling_;
    last->nextSibling_ = node;
}

} // namespace Telvar
