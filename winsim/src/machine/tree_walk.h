// Walks over trees of folders or keys with a stack of their own, so that a tree of any depth (a chain
// of 16,000 folders) cannot exhaust the call stack, and with one path text that grows and shrinks as
// the walk goes down and up, so that building the paths costs the length of the names walked.
#pragma once

#include <cstddef>
#include <iterator>
#include <string>
#include <vector>

#include "machine/machine.h"

namespace winsim {

// Visits every entry below root in pre-order, each node's children in their own order. children(node)
// gives the node's container of children (pointer-like elements); name(child) the text appended to
// path, after separator, for the child. visit(child, path) runs with path holding the child's path
// and returns whether to walk below the child; leave(child, path), when given, runs once the entries
// below a child that was walked into are done, with path holding that child's path again. path is as
// it was when the walk returns.
template <class Node, class Path, class Children, class Name, class Visit, class Leave>
void Walk_Tree(Node& root, Path& path, typename Path::value_type separator, Children children, Name name,
               Visit visit, Leave leave) {
    using Iterator = decltype(std::begin(children(root)));
    struct Frame {
        Node* node;
        Iterator next, end;
        size_t length;  // the length of the node's path
    };
    std::vector<Frame> stack;
    stack.push_back(Frame{&root, std::begin(children(root)), std::end(children(root)), path.size()});
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.end) {
            Node* done = top.node;
            path.resize(top.length);
            stack.pop_back();
            if (!stack.empty()) leave(*done, path);
            continue;
        }
        Node& child = **top.next;
        ++top.next;
        path.resize(top.length);
        path += separator;
        path += name(child);
        // top is not used past this point: the push may move the frames.
        if (visit(child, path))
            stack.push_back(Frame{&child, std::begin(children(child)), std::end(children(child)), path.size()});
    }
}

template <class Node, class Path, class Children, class Name, class Visit>
void Walk_Tree(Node& root, Path& path, typename Path::value_type separator, Children children, Name name,
               Visit visit) {
    Walk_Tree(root, path, separator, children, name, visit, [](Node&, const Path&) {});
}

// Counts the entries below root (not root itself), without recursion.
template <class Node, class Children>
size_t Count_Below(Node& root, Children children) {
    size_t count = 0;
    std::vector<Node*> pending{&root};
    while (!pending.empty()) {
        Node* node = pending.back();
        pending.pop_back();
        for (auto& child : children(*node)) {
            ++count;
            pending.push_back(&*child);
        }
    }
    return count;
}

// The children of the machine's trees and their names, as the walks take them.
inline const Sorted_Children<Fs_Node>& Children_Of(const Fs_Node& node) { return node.children; }
inline const decltype(Reg_Key::subkeys)& Subkeys_Of(const Reg_Key& key) { return key.subkeys; }
struct Utf8_Name {
    template <class Node>
    std::string operator()(const Node& node) const { return To_Utf8(node.name); }
};
const Utf8_Name Utf8_Name_Of{};
struct Own_Name {
    template <class Node>
    const Text& operator()(const Node& node) const { return node.name; }
};
const Own_Name Name_Of{};

}  // namespace winsim
