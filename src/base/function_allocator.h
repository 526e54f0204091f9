// A standard-container allocator over a pair of functions, for the library's
// containers that must not use operator new (a game may route it back into
// the library, under a lock that must not be waited for). It throws
// std::bad_alloc when there is no storage, which the container's owner
// catches.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <new>

namespace tarvex {

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

}  // namespace tarvex
