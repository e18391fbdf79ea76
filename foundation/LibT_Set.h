// An ordered set kept as an unbalanced search tree, for a handful of elements. It owns its nodes and
// the cells that hold the elements, not what pointer elements point to. It locks nothing: its owner
// serialises every use of the set and of its iterators.
#pragma once

#include <cstring>
#include <functional>
#include <new>

#include "foundation/Lib_Buffer.h"
#include "foundation/Lib_Container.h"

template <typename T>
class LibT_Set : public Lib_Container {
public:
    struct Node {
        Node* greater;  // elements that compare greater, or null
        Node* lesser;   // elements that compare less, or null
        T* value;       // the element, in a cell of its own
    };

    // Visits every node once, in pre-order with the lesser side first (not the sorted order). The nodes
    // still to visit are kept on a stack that grows and shrinks by exactly one pointer at a time.
    class Iterator {
    public:
        Iterator() : current(nullptr), depth(0) {}
        Iterator(const Iterator&) = delete;
        Iterator& operator=(const Iterator&) = delete;
        virtual ~Iterator() { Reset(); }

        virtual void Begin(const LibT_Set& set) {
            stack = LibT_Buffer<Node*>();
            depth = 0;
            current = set.root;
        }

        virtual bool Is_End() const { return current == nullptr; }

        virtual bool Next() {
            if (current == nullptr) return false;
            if (current->lesser != nullptr) {
                if (current->greater != nullptr) Push(current->greater);
                current = current->lesser;
            } else if (current->greater != nullptr) {
                current = current->greater;
            } else if (depth > 0) {
                current = Pop();
            } else {
                current = nullptr;
            }
            return current != nullptr;
        }

        virtual void Reset() {
            current = nullptr;
            stack = LibT_Buffer<Node*>();
            depth = 0;
        }

        // Stands nowhere; the stack is kept until the next Begin or Reset.
        virtual void Stop() { current = nullptr; }

        // The element at which the iterator stands; only while Is_End() is false.
        T& Get_Value() const { return *current->value; }

    private:
        // A failed stack allocation is memory exhaustion, like a failed node allocation: the walk
        // must not silently skip a subtree.
        void Resize_Stack(size_t new_depth) {
            LibT_Buffer<Node*> resized(new_depth * sizeof(Node*));
            if (new_depth != 0 && resized.Get_Data() == nullptr) throw std::bad_alloc();
            size_t kept = new_depth < depth ? new_depth : depth;
            if (kept != 0) std::memcpy(resized.Get_Data(), stack.Get_Data(), kept * sizeof(Node*));
            stack = static_cast<LibT_Buffer<Node*>&&>(resized);
        }

        void Push(Node* node) {
            Resize_Stack(depth + 1);
            stack.Get_Data()[depth] = node;
            ++depth;
        }

        Node* Pop() {
            Node* node = stack.Get_Data()[depth - 1];
            Resize_Stack(depth - 1);
            --depth;
            return node;
        }

        Node* current;
        LibT_Buffer<Node*> stack;  // bottom first
        size_t depth;
    };

    LibT_Set() : root(nullptr) {}
    LibT_Set(const LibT_Set&) = delete;
    LibT_Set& operator=(const LibT_Set&) = delete;
    ~LibT_Set() override { Remove_All(); }

    // Adds the value as a new leaf unless an equal value is present; true when it was added.
    bool Insert(const T& value) {
        std::less<T> less;
        Node** link = &root;
        while (*link != nullptr) {
            const T& held = *(*link)->value;
            if (less(held, value)) {
                link = &(*link)->greater;
            } else if (less(value, held)) {
                link = &(*link)->lesser;
            } else {
                return false;
            }
        }
        Node* node = new Node{nullptr, nullptr, nullptr};
        try {
            node->value = new T(value);
        } catch (...) {
            delete node;
            throw;
        }
        *link = node;
        return true;
    }

    // Frees every node and value cell. The tree is taken apart by rotating lesser children up, so no
    // recursion or extra storage is needed however lopsided it is.
    void Remove_All() override {
        while (root != nullptr) {
            Node* node = root;
            if (node->lesser != nullptr) {
                Node* lesser = node->lesser;
                node->lesser = lesser->greater;
                lesser->greater = node;
                root = lesser;
            } else {
                root = node->greater;
                delete node->value;
                delete node;
            }
        }
    }

    size_t Get_Count() const override {
        size_t count = 0;
        Iterator it;
        for (it.Begin(*this); !it.Is_End(); it.Next()) ++count;
        return count;
    }

private:
    Node* root;
};
