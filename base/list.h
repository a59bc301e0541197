// The one list shape of the program: a circular doubly linked ring with a sentinel node.
//
// Each node holds a data pointer, its neighbours and a 32-bit tag: 0 marks the sentinel,
// LIST_TAG_BORROWED a node whose data the ring does not own (not freed on removal), any other
// value an ordinary node whose data the ring owns and deletes on removal or destruction.
// Nodes are stable: pointers to them stay valid until they are removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

constexpr uint32_t LIST_TAG_SENTINEL = 0;
constexpr uint32_t LIST_TAG_BORROWED = 2;

template <class T>
struct ListNode {
    T *data;
    ListNode *prev;
    ListNode *next;
    uint32_t tag;
};

template <class T>
class List {
public:
    using Node = ListNode<T>;

    List() { sentinel_.prev = sentinel_.next = &sentinel_; }
    ~List() { clear(); }
    List(const List &) = delete;
    List &operator=(const List &) = delete;

    bool empty() const { return sentinel_.next == &sentinel_; }
    size_t size() const {
        size_t n = 0;
        for (const Node *p = sentinel_.next; p != &sentinel_; p = p->next) ++n;
        return n;
    }

    Node *first() { return empty() ? nullptr : sentinel_.next; }
    Node *last() { return empty() ? nullptr : sentinel_.prev; }
    // The node after `node`, or nullptr at the end.
    Node *after(Node *node) { return node->next == &sentinel_ ? nullptr : node->next; }
    Node *before(Node *node) { return node->prev == &sentinel_ ? nullptr : node->prev; }

    // Appends at the tail (`tag` must not be the sentinel's).
    Node *append(T *data, uint32_t tag) { return link_before(&sentinel_, data, tag); }
    // Inserts at the head.
    Node *push(T *data, uint32_t tag) { return link_before(sentinel_.next, data, tag); }
    Node *insert_before(Node *at, T *data, uint32_t tag) { return link_before(at, data, tag); }

    // Unlinks the node and hands its data to the caller; the node itself is freed.
    T *take(Node *node) {
        node->prev->next = node->next;
        node->next->prev = node->prev;
        T *data = node->data;
        delete node;
        return data;
    }
    // Unlinks the node and deletes its data unless it is borrowed.
    void remove(Node *node) {
        bool owned = node->tag != LIST_TAG_BORROWED;
        T *data = take(node);
        if (owned) delete data;
    }
    void clear() {
        while (!empty()) remove(sentinel_.next);
    }

    // Range iteration over the data pointers, head to tail. Removing the current node while
    // iterating is not allowed; use first()/after() for that.
    class iterator {
    public:
        explicit iterator(Node *n) : n_(n) {}
        T *operator*() const { return n_->data; }
        Node *node() const { return n_; }
        iterator &operator++() { n_ = n_->next; return *this; }
        bool operator!=(const iterator &o) const { return n_ != o.n_; }
    private:
        Node *n_;
    };
    iterator begin() { return iterator(sentinel_.next); }
    iterator end() { return iterator(&sentinel_); }

private:
    Node *link_before(Node *at, T *data, uint32_t tag) {
        Node *n = new Node{data, at->prev, at, tag};
        at->prev->next = n;
        at->prev = n;
        return n;
    }

    Node sentinel_{nullptr, nullptr, nullptr, LIST_TAG_SENTINEL};
};
