#pragma once
// The doubly linked list behind every collection of the program. The list owns
// its nodes and, through them, its elements: removing a node destroys its
// element unless the caller detaches it first and so takes it over.
//
// Users walk the list themselves from head() along Node::next. A walk that may
// remove the current node takes its next pointer before acting on it.

#include <cstdint>
#include <memory>

namespace kelvaro {

template <typename T>
class PointerList {
public:
    struct Node {
        std::unique_ptr<T> element;
        std::unique_ptr<Node> nextOwner;  // owns the following node
        Node* next = nullptr;
        Node* prev = nullptr;
    };

    PointerList() = default;
    PointerList(const PointerList&) = delete;
    PointerList& operator=(const PointerList&) = delete;
    ~PointerList() { clear(); }

    Node* head() const { return headOwner.get(); }
    Node* tail() const { return tail_; }
    int32_t count() const { return count_; }
    bool empty() const { return count_ == 0; }

    // Takes ownership of element and links it at the tail.
    T* append(std::unique_ptr<T> element) {
        auto node = std::make_unique<Node>();
        node->element = std::move(element);
        node->prev = tail_;
        Node* raw = node.get();
        if (tail_ != nullptr) {
            tail_->next = raw;
            tail_->nextOwner = std::move(node);
        } else {
            headOwner = std::move(node);
        }
        tail_ = raw;
        ++count_;
        return raw->element.get();
    }

    // Unlinks node and destroys it with its element; returns the new count.
    // REQUIRES: node belongs to this list.
    int32_t removeNode(Node* node) {
        detachNode(node);
        return count_;
    }

    // Unlinks node and hands its element to the caller (the "keep element"
    // removal, used to move a packet from one list to another).
    std::unique_ptr<T> detachNode(Node* node) {
        std::unique_ptr<Node> owned = unlink(node);
        --count_;
        return std::move(owned->element);
    }

    // Removes the first node holding element; nothing happens when none does.
    void removeElement(const T* element) {
        if (Node* node = findNode(element)) removeNode(node);
    }

    std::unique_ptr<T> detachElement(const T* element) {
        Node* node = findNode(element);
        return node ? detachNode(node) : nullptr;
    }

    Node* findNode(const T* element) const {
        for (Node* node = head(); node != nullptr; node = node->next)
            if (node->element.get() == element) return node;
        return nullptr;
    }

    // Destroys every node and element. Iterative, so a long list cannot
    // exhaust the stack through nested destructors.
    void clear() {
        while (headOwner) headOwner = std::move(headOwner->nextOwner);
        tail_ = nullptr;
        count_ = 0;
    }

private:
    std::unique_ptr<Node> unlink(Node* node) {
        std::unique_ptr<Node> owned =
            node->prev ? std::move(node->prev->nextOwner) : std::move(headOwner);
        std::unique_ptr<Node> following = std::move(node->nextOwner);
        if (following) following->prev = node->prev;
        else tail_ = node->prev;
        if (node->prev) {
            node->prev->next = following.get();
            node->prev->nextOwner = std::move(following);
        } else {
            headOwner = std::move(following);
        }
        node->next = nullptr;
        node->prev = nullptr;
        return owned;
    }

    std::unique_ptr<Node> headOwner;
    Node* tail_ = nullptr;
    int32_t count_ = 0;
};

}  // namespace kelvaro
