// The shapes the library writes in several places, written once: storage
// that lives as long as the loaded library, a standard allocator over a pair
// of functions, an intrusive list kept in most-recently-found order, and a
// guard against a routine running inside itself.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <new>
#include <utility>

namespace tarvex {

// ---------------------------------------------------------------------------
// Lasting storage
//
// Storage for one T that lives as long as the loaded library. It is
// constant-initialised, so a start that runs before this file's static
// objects are made finds it; it is constructed once, explicitly, and never
// destroyed, so a call at process detach, after the statics of other files
// are gone, still finds a live object.
// ---------------------------------------------------------------------------

template <typename T>
class LastingStorage {
public:
    template <typename... Args>
    T& construct(Args&&... args) {
        return *new (bytes_) T(std::forward<Args>(args)...);
    }
    T& get() { return *std::launder(reinterpret_cast<T*>(bytes_)); }
    const T& get() const { return *std::launder(reinterpret_cast<const T*>(bytes_)); }

private:
    alignas(T) unsigned char bytes_[sizeof(T)];
};

// The one T of a tag, made on first use by whichever thread gets there first
// (a function-local static does that safely) and never destroyed.
template <typename T, typename Tag = T>
T& lasting() {
    static LastingStorage<T> storage;
    static T* const made = &storage.construct();
    return *made;
}

// ---------------------------------------------------------------------------
// A standard-container allocator over a pair of functions
//
// For the library's containers that must not use operator new (a game may
// route it back into the library, under a lock that must not be waited
// for). It throws std::bad_alloc when there is no storage, which the
// container's owner catches.
// ---------------------------------------------------------------------------

template <typename T, void* (*take)(size_t), void (*give)(void*)>
struct FunctionAllocator {
    using value_type = T;
    template <typename U>
    struct rebind {
        using other = FunctionAllocator<U, take, give>;
    };
    FunctionAllocator() = default;
    template <typename U>
    FunctionAllocator(const FunctionAllocator<U, take, give>&) {}

    T* allocate(size_t count) {
        void* block = count <= SIZE_MAX / sizeof(T) ? take(count * sizeof(T)) : nullptr;
        if (block == nullptr) throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, size_t) { give(block); }
    template <typename U>
    bool operator==(const FunctionAllocator<U, take, give>&) const {
        return true;
    }
    template <typename U>
    bool operator!=(const FunctionAllocator<U, take, give>&) const {
        return false;
    }
};

// ---------------------------------------------------------------------------
// A move-to-front list
//
// Nodes linked through their own `next` member, newest first; a node found
// moves to the head, so that the nodes found often stay near it. The owner
// guards the list.
// ---------------------------------------------------------------------------

template <typename Node, Node* Node::*next>
class MoveToFrontList {
public:
    Node* head() const { return head_; }

    void push_front(Node* node) {
        node->*next = head_;
        head_ = node;
    }

    // The first node that matches, moved to the head; null when none does.
    template <typename Match>
    Node* find(Match match) {
        if (head_ != nullptr && match(*head_)) return head_;
        for (Node *previous = head_, *node = head_ ? head_->*next : nullptr; node != nullptr;
             previous = node, node = node->*next) {
            if (match(*node)) {
                previous->*next = node->*next;
                push_front(node);
                return node;
            }
        }
        return nullptr;
    }

    // Unlinks every node that matches and hands it to `unlinked`.
    template <typename Match, typename Unlinked>
    void remove_if(Match match, Unlinked unlinked) {
        Node** link = &head_;
        while (Node* node = *link) {
            if (!match(*node)) {
                link = &(node->*next);
                continue;
            }
            *link = node->*next;
            unlinked(node);
        }
    }

    void clear() { head_ = nullptr; }

    template <typename Visit>
    void for_each(Visit visit) const {
        for (Node* node = head_; node != nullptr; node = node->*next) visit(*node);
    }

private:
    Node* head_ = nullptr;
};

// ---------------------------------------------------------------------------
// A re-entry guard
//
// Keeps a routine from running inside itself: a log sink or break function
// that allocates while its message goes out, say. The lock that guards the
// routine guards the flag too.
// ---------------------------------------------------------------------------

class ReentryGuard {
public:
    bool busy() const { return busy_; }

    // Marks the routine as running for one scope.
    class Hold {
    public:
        explicit Hold(ReentryGuard& guard) : guard_(guard) { guard_.busy_ = true; }
        ~Hold() { guard_.busy_ = false; }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        ReentryGuard& guard_;
    };

private:
    bool busy_ = false;
};

}  // namespace tarvex
