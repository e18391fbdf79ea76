// The children of a registry key and of a folder, indexed so that a machine with hundreds of
// thousands of keys stays fast: look-up, insertion and removal by name in logarithmic time, the
// enumeration order kept, and the element at an index found in logarithmic time (constant time,
// amortised, when the indices are walked in turn, as RegEnumKeyExW and RegEnumValueW callers do).
//
// Both lists are treaps (binary search trees balanced by pseudo-random priorities) whose nodes count
// the elements below them. Sorted_Children keeps its elements in the order of Compare_Names on their
// names; Value_List keeps them in creation order, with a second tree over the same nodes for the
// look-up by name. Neither ever holds two elements whose names compare equal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace winsim {

using Text = std::u16string;
char16_t Upcase(char16_t c);
int Compare_Names(const Text& a, const Text& b);

namespace detail {

uint32_t Next_Priority();

// The first four units of a name, upper-cased, as one number (missing units count as 0): two
// prefixes that differ order their names as Compare_Names does, without reading the names.
inline uint64_t Name_Prefix(const Text& name) {
    uint64_t prefix = 0;
    for (size_t i = 0; i < 4; ++i) prefix = (prefix << 16) | (i < name.size() ? Upcase(name[i]) : 0);
    return prefix;
}

// A forward iterator over a list by index: each step asks the list for the next index, which the
// list's cursor answers in constant amortised time.
template <typename List, typename Element>
class Index_Iterator {
public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::remove_const_t<Element>;
    using difference_type = std::ptrdiff_t;
    using pointer = Element*;
    using reference = Element&;

    Index_Iterator(List* list, size_t index) : list_(list), index_(index) {}
    reference operator*() const { return (*list_)[index_]; }
    pointer operator->() const { return &(*list_)[index_]; }
    Index_Iterator& operator++() {
        ++index_;
        return *this;
    }
    Index_Iterator operator++(int) {
        Index_Iterator before = *this;
        ++index_;
        return before;
    }
    bool operator==(const Index_Iterator& other) const { return index_ == other.index_; }
    bool operator!=(const Index_Iterator& other) const { return index_ != other.index_; }

private:
    List* list_;
    size_t index_;
};

// The last element reached by index and the nodes still to be visited after it (the ancestors whose
// left subtree holds it), so that the next index is one in-order step away.
template <typename Node>
struct Cursor {
    bool valid = false;
    size_t index = 0;
    std::vector<Node*> path;  // top: the element at index
};

// Finds the node at an index in a tree whose nodes count their subtrees (Links gives a node's
// left, right and count), through the cursor when the index follows the last one.
template <typename Node, typename Links>
Node* Select(Node* root, size_t index, std::unique_ptr<Cursor<Node>>& cursor, Links links) {
    if (!cursor) cursor.reset(new Cursor<Node>());
    Cursor<Node>& c = *cursor;
    if (c.valid && index == c.index) return c.path.back();
    if (c.valid && index == c.index + 1) {
        Node* current = c.path.back();
        c.path.pop_back();
        for (Node* n = links.Right(current); n; n = links.Left(n)) c.path.push_back(n);
        ++c.index;
        return c.path.back();
    }
    c.path.clear();
    Node* node = root;
    size_t rest = index;
    while (node) {
        size_t left = links.Count(links.Left(node));
        if (rest < left) {
            c.path.push_back(node);
            node = links.Left(node);
        } else if (rest == left) {
            c.path.push_back(node);
            break;
        } else {
            rest -= left + 1;
            node = links.Right(node);
        }
    }
    c.valid = true;
    c.index = index;
    return c.path.back();
}

// A value that a move hands over, leaving its default behind (a second root, a counter).
template <typename T>
struct Handed_Over {
    T value{};
    Handed_Over() = default;
    Handed_Over(Handed_Over&& other) noexcept : value(std::exchange(other.value, T{})) {}
    Handed_Over& operator=(Handed_Over&& other) noexcept {
        value = std::exchange(other.value, T{});
        return *this;
    }
};

// What both lists share: the tree in list order that owns the nodes (each with its item, left and
// right, count and priority), the element at an index, and moving, clearing and destroying. List is
// the list itself: clear() replaces it with an empty one, whatever else it keeps.
template <typename List, typename Node, typename Element>
class Counted_Tree {
public:
    using iterator = Index_Iterator<List, Element>;
    using const_iterator = Index_Iterator<const List, const Element>;

    Counted_Tree() = default;
    Counted_Tree(Counted_Tree&& other) noexcept
        : root_(std::exchange(other.root_, nullptr)), cursor_(std::move(other.cursor_)) {}
    Counted_Tree& operator=(Counted_Tree&& other) noexcept {
        Counted_Tree moved(std::move(other));
        std::swap(root_, moved.root_);
        std::swap(cursor_, moved.cursor_);
        return *this;
    }
    Counted_Tree(const Counted_Tree&) = delete;
    Counted_Tree& operator=(const Counted_Tree&) = delete;
    ~Counted_Tree() { Destroy(root_); }

    size_t size() const { return Links::Count(root_); }
    bool empty() const { return root_ == nullptr; }
    void clear() { static_cast<List&>(*this) = List(); }
    Element& operator[](size_t index) { return Select(root_, index, cursor_, Links())->item; }
    const Element& operator[](size_t index) const { return Select(root_, index, cursor_, Links())->item; }
    Element& front() { return (*this)[0]; }
    Element& back() { return (*this)[size() - 1]; }
    iterator begin() { return iterator(static_cast<List*>(this), 0); }
    iterator end() { return iterator(static_cast<List*>(this), size()); }
    const_iterator begin() const { return const_iterator(static_cast<const List*>(this), 0); }
    const_iterator end() const { return const_iterator(static_cast<const List*>(this), size()); }

protected:
    struct Links {
        static Node* Left(Node* n) { return n->left; }
        static Node* Right(Node* n) { return n->right; }
        static size_t Count(Node* n) { return n ? n->count : 0; }
    };
    static void Update(Node* n) { n->count = uint32_t(1 + Links::Count(n->left) + Links::Count(n->right)); }
    static Node* Merge(Node* a, Node* b) {
        if (!a) return b;
        if (!b) return a;
        if (a->priority > b->priority) {
            a->right = Merge(a->right, b);
            Update(a);
            return a;
        }
        b->left = Merge(a, b->left);
        Update(b);
        return b;
    }
    static void Destroy(Node* n) {
        while (n) {  // the right spine iteratively, the left subtrees recursively
            Destroy(n->left);
            Node* right = n->right;
            delete n;
            n = right;
        }
    }
    void Invalidate() {
        if (cursor_) cursor_->valid = false;
    }

    Node* root_ = nullptr;
    mutable std::unique_ptr<Cursor<Node>> cursor_;
};

template <typename T>
struct Sorted_Node {
    std::unique_ptr<T> item;
    uint64_t prefix = 0;  // Name_Prefix(item->name)
    Sorted_Node* left = nullptr;
    Sorted_Node* right = nullptr;
    uint32_t count = 1;
    uint32_t priority = Next_Priority();
};

template <typename V>
struct Value_Node {
    V item;
    uint64_t serial = 0;  // creation order
    Value_Node* left = nullptr;  // the tree in creation order, with counts
    Value_Node* right = nullptr;
    uint32_t count = 1;
    uint32_t priority = Next_Priority();
    Value_Node* name_left = nullptr;  // the tree by name
    Value_Node* name_right = nullptr;
};

}  // namespace detail

// Owned elements (std::unique_ptr<T>, T having a name) sorted by Compare_Names on their names.
template <typename T>
class Sorted_Children
    : public detail::Counted_Tree<Sorted_Children<T>, detail::Sorted_Node<T>, std::unique_ptr<T>> {
    using Node = detail::Sorted_Node<T>;
    using Base = detail::Counted_Tree<Sorted_Children<T>, Node, std::unique_ptr<T>>;
    using Base::Invalidate, Base::Merge, Base::Update, Base::root_;
    // A name being looked for, with its prefix.
    struct Probe {
        const Text& name;
        uint64_t prefix;
        explicit Probe(const Text& text) : name(text), prefix(detail::Name_Prefix(text)) {}
    };
    static int Compare(const Probe& probe, const Node* node) {
        if (probe.prefix != node->prefix) return probe.prefix < node->prefix ? -1 : 1;
        return Compare_Names(probe.name, node->item->name);
    }

public:
    T* Find(const Text& name) const {
        Probe probe(name);
        for (Node* node = root_; node;) {
            int order = Compare(probe, node);
            if (order == 0) return node->item.get();
            node = order < 0 ? node->left : node->right;
        }
        return nullptr;
    }
    // Adds an element whose name no element has yet; returns it.
    T* Insert(std::unique_ptr<T> item) {
        Invalidate();
        Node* node = new Node();
        node->item = std::move(item);
        node->prefix = detail::Name_Prefix(node->item->name);
        root_ = Insert(root_, node, Probe(node->item->name));
        return node->item.get();
    }
    bool Remove(const Text& name) {
        Invalidate();
        bool removed = false;
        root_ = Remove(root_, Probe(name), removed, nullptr);
        return removed;
    }
    // Removes the element of that name and hands it over instead of destroying it; null when absent.
    std::unique_ptr<T> Take(const Text& name) {
        Invalidate();
        bool removed = false;
        std::unique_ptr<T> taken;
        root_ = Remove(root_, Probe(name), removed, &taken);
        return taken;
    }

private:
    // Splits a tree into the names before name and those after it (name itself is not in it).
    static void Split(Node* n, const Probe& name, Node*& before, Node*& after) {
        if (!n) {
            before = after = nullptr;
        } else if (Compare(name, n) > 0) {
            Split(n->right, name, n->right, after);
            Update(n);
            before = n;
        } else {
            Split(n->left, name, before, n->left);
            Update(n);
            after = n;
        }
    }
    static Node* Insert(Node* n, Node* node, const Probe& name) {
        if (!n) return node;
        if (node->priority > n->priority) {
            Split(n, name, node->left, node->right);
            Update(node);
            return node;
        }
        if (Compare(name, n) < 0) n->left = Insert(n->left, node, name);
        else n->right = Insert(n->right, node, name);
        Update(n);
        return n;
    }
    static Node* Remove(Node* n, const Probe& name, bool& removed, std::unique_ptr<T>* taken) {
        if (!n) return nullptr;
        int order = Compare(name, n);
        if (order == 0) {
            Node* rest = Merge(n->left, n->right);
            if (taken) *taken = std::move(n->item);
            delete n;
            removed = true;
            return rest;
        }
        if (order < 0) n->left = Remove(n->left, name, removed, taken);
        else n->right = Remove(n->right, name, removed, taken);
        Update(n);
        return n;
    }
};

// Elements with a name (a Reg_Value) in creation order, found by name through a second tree.
template <typename V>
class Value_List : public detail::Counted_Tree<Value_List<V>, detail::Value_Node<V>, V> {
    using Node = detail::Value_Node<V>;
    using Base = detail::Counted_Tree<Value_List<V>, Node, V>;
    using Base::Invalidate, Base::Merge, Base::Update, Base::root_;

public:
    V* Find(const Text& name) const {
        Node* node = Find_Node(name);
        return node ? &node->item : nullptr;
    }
    // Adds an element after every other one; no element has its name yet.
    V* Append(V item) {
        Invalidate();
        Node* node = new Node();
        node->item = std::move(item);
        node->serial = next_serial_.value++;
        root_ = Merge(root_, node);
        name_root_.value = Insert_By_Name(name_root_.value, node);
        return &node->item;
    }
    bool Remove(const Text& name) {
        Node* node = Find_Node(name);
        if (!node) return false;
        Invalidate();
        name_root_.value = Remove_By_Name(name_root_.value, name);
        root_ = Remove_By_Serial(root_, node->serial);
        delete node;
        return true;
    }

private:
    Node* Find_Node(const Text& name) const {
        for (Node* node = name_root_.value; node;) {
            int order = Compare_Names(name, node->item.name);
            if (order == 0) return node;
            node = order < 0 ? node->name_left : node->name_right;
        }
        return nullptr;
    }
    static Node* Remove_By_Serial(Node* n, uint64_t serial) {
        if (n->serial == serial) return Merge(n->left, n->right);
        if (serial < n->serial) n->left = Remove_By_Serial(n->left, serial);
        else n->right = Remove_By_Serial(n->right, serial);
        Update(n);
        return n;
    }

    static void Split_By_Name(Node* n, const Text& name, Node*& before, Node*& after) {
        if (!n) {
            before = after = nullptr;
        } else if (Compare_Names(n->item.name, name) < 0) {
            Split_By_Name(n->name_right, name, n->name_right, after);
            before = n;
        } else {
            Split_By_Name(n->name_left, name, before, n->name_left);
            after = n;
        }
    }
    static Node* Merge_By_Name(Node* a, Node* b) {
        if (!a) return b;
        if (!b) return a;
        if (a->priority > b->priority) {
            a->name_right = Merge_By_Name(a->name_right, b);
            return a;
        }
        b->name_left = Merge_By_Name(a, b->name_left);
        return b;
    }
    static Node* Insert_By_Name(Node* n, Node* node) {
        if (!n) return node;
        if (node->priority > n->priority) {
            Split_By_Name(n, node->item.name, node->name_left, node->name_right);
            return node;
        }
        if (Compare_Names(node->item.name, n->item.name) < 0) n->name_left = Insert_By_Name(n->name_left, node);
        else n->name_right = Insert_By_Name(n->name_right, node);
        return n;
    }
    static Node* Remove_By_Name(Node* n, const Text& name) {
        int order = Compare_Names(name, n->item.name);
        if (order == 0) return Merge_By_Name(n->name_left, n->name_right);
        if (order < 0) n->name_left = Remove_By_Name(n->name_left, name);
        else n->name_right = Remove_By_Name(n->name_right, name);
        return n;
    }

    detail::Handed_Over<Node*> name_root_;  // over the nodes root_ owns
    detail::Handed_Over<uint64_t> next_serial_;
};

}  // namespace winsim
