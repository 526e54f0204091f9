#include "contexts/small_blk_list_context.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "contexts/library_storage.h"

namespace tarvex {

namespace {

// Fragment size and grow count of each pool, smallest class first; the last
// class is the 64-bit targets' only.
constexpr uint8_t size_classes[8][2] = {
    {8, 32}, {16, 32}, {32, 32}, {48, 16}, {64, 8}, {96, 8}, {128, 8}, {144, 8},
};

}  // namespace

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

template <typename Layout, Sharing S>
SmallBlkListContext<Layout, S>::SmallBlkListContext() {
    block_alignment = Layout::packed ? PackedLayout::fragment_alignment : Layout::cap;
}

template <typename Layout, Sharing S>
FragmentPool& SmallBlkListContext<Layout, S>::pool(int index) {
    return *std::launder(reinterpret_cast<FragmentPool*>(pools[index]));
}

template <typename Layout, Sharing S>
void SmallBlkListContext<Layout, S>::init(const Tarvex::ContextBase& base) {
    MemContext::init(base);
    uint32_t next_size = 0;
    for (int i = 0; i < pool_count; ++i) {
        const uint32_t fragment = size_classes[i][0];
        new (pools[i]) FragmentPool(0, fragment, size_classes[i][1],
                                    Layout::pool_alignment(fragment), tarvex_ids::library_context);
        for (; next_size <= fragment; ++next_size)
            size_to_class[next_size] = static_cast<uint8_t>(i);
    }
    if constexpr (S == Sharing::thread_cached) cache_index = claim_cache_index();
}

template <typename Layout, Sharing S>
void SmallBlkListContext<Layout, S>::shutdown() {
    // The threads' caches go with the pools: their fragments lie in the
    // pools' blocks, and the next start makes every cache stale.
    ContextLockHolder<S> hold(lock);
    if constexpr (S == Sharing::thread_cached) empty_depot();
    for (int i = 0; i < pool_count; ++i) pool(i).~FragmentPool();
    MemContext::shutdown();
}

template <typename Layout, Sharing S>
void SmallBlkListContext<Layout, S>::run_gc() {
    ContextLockHolder<S> hold(lock);
    if constexpr (S == Sharing::thread_cached) {
        if (ContextCaches* caches = calling_thread_caches_of(cache_index)) give_back(this, *caches);
        empty_depot();
    }
    for (int i = 0; i < pool_count; ++i) pool(i).run_gc();
}

// ---------------------------------------------------------------------------
// Fragments, through the calling thread's caches or under the lock
// ---------------------------------------------------------------------------

template <typename Layout, Sharing S>
void* SmallBlkListContext<Layout, S>::take_fragment(uint32_t bytes) {
    if constexpr (S == Sharing::thread_cached) {
        if (ContextCaches* caches = current_thread_caches(cache_index)) {
            FragmentStack& stack = caches->classes[size_to_class[bytes]];
            if (stack.count != 0) {
                void* fragment = stack.fragments[--stack.count];
                tarvex_memory::handed_out(&pool(size_to_class[bytes]), fragment,
                                          size_classes[size_to_class[bytes]][0]);
                return fragment;
            }
        }
        return refill(bytes);
    }
    ContextLockHolder<S> hold(lock);
    return pool(size_to_class[bytes]).pool_alloc(bytes);
}

template <typename Layout, Sharing S>
void SmallBlkListContext<Layout, S>::give_fragment(void* fragment, uint32_t bytes) {
    if constexpr (S == Sharing::thread_cached) {
        if (ContextCaches* caches = current_thread_caches(cache_index)) {
            FragmentStack& stack = caches->classes[size_to_class[bytes]];
            if (stack.count != thread_cache_depth) {
                tarvex_memory::given_back(&pool(size_to_class[bytes]), fragment,
                                          size_classes[size_to_class[bytes]][0]);
                stack.fragments[stack.count++] = fragment;
                return;
            }
        }
        return spill(fragment, bytes);
    }
    ContextLockHolder<S> hold(lock);
    pool(size_to_class[bytes]).pool_free(fragment);
}

template <typename Layout, Sharing S>
__attribute__((noinline)) void* SmallBlkListContext<Layout, S>::refill(uint32_t bytes) {
    const int cls = size_to_class[bytes];
    ContextCaches* caches = make_thread_caches(cache_index, this, give_back);
    LockHolder hold(lock);
    if (caches == nullptr) return pool(cls).pool_alloc(bytes);
    FragmentStack& stack = caches->classes[cls];
    if (Magazine* full = full_magazines[cls]) {
        // A batch from the depot: pointers copied, fragments untouched.
        full_magazines[cls] = full->next;
        std::memcpy(stack.fragments, full->fragments, sizeof(full->fragments));
        stack.count = thread_cache_batch;
        full->next = empty_magazines;
        empty_magazines = full;
    } else {
        // An empty depot: a batch from the pool, the last one the caller's.
        for (uint32_t i = 1; i < thread_cache_batch; ++i) {
            void* fragment = pool(cls).pool_alloc(bytes);
            if (fragment == nullptr) break;
            tarvex_memory::given_back(&pool(cls), fragment, size_classes[cls][0]);
            stack.fragments[stack.count++] = fragment;
        }
        return pool(cls).pool_alloc(bytes);
    }
    void* fragment = stack.fragments[--stack.count];
    tarvex_memory::handed_out(&pool(cls), fragment, size_classes[cls][0]);
    return fragment;
}

template <typename Layout, Sharing S>
__attribute__((noinline)) void SmallBlkListContext<Layout, S>::spill(void* fragment,
                                                                     uint32_t bytes) {
    const int cls = size_to_class[bytes];
    ContextCaches* caches = make_thread_caches(cache_index, this, give_back);
    LockHolder hold(lock);
    if (caches == nullptr) return pool(cls).pool_free(fragment);
    FragmentStack& stack = caches->classes[cls];
    if (stack.count == thread_cache_depth) {
        // The top batch goes to the depot as one magazine; without one, back
        // to the pool.
        Magazine* magazine = empty_magazines;
        if (magazine != nullptr) {
            empty_magazines = magazine->next;
        } else {
            magazine = static_cast<Magazine*>(library_alloc(sizeof(Magazine)));
        }
        stack.count -= thread_cache_batch;
        if (magazine != nullptr) {
            std::memcpy(magazine->fragments, stack.fragments + stack.count,
                        sizeof(magazine->fragments));
            magazine->next = full_magazines[cls];
            full_magazines[cls] = magazine;
        } else {
            for (uint32_t i = stack.count; i < stack.count + thread_cache_batch; ++i) {
                tarvex_memory::handed_out(&pool(cls), stack.fragments[i], size_classes[cls][0]);
                pool(cls).pool_free(stack.fragments[i]);
            }
        }
    }
    tarvex_memory::given_back(&pool(cls), fragment, size_classes[cls][0]);
    stack.fragments[stack.count++] = fragment;
}

template <typename Layout, Sharing S>
void SmallBlkListContext<Layout, S>::empty_depot() {
    for (int cls = 0; cls < pool_count; ++cls) {
        while (Magazine* full = full_magazines[cls]) {
            full_magazines[cls] = full->next;
            for (void* fragment : full->fragments) {
                tarvex_memory::handed_out(&pool(cls), fragment, size_classes[cls][0]);
                pool(cls).pool_free(fragment);
            }
            library_free(full);
        }
    }
    while (Magazine* empty = empty_magazines) {
        empty_magazines = empty->next;
        library_free(empty);
    }
}

template <typename Layout, Sharing S>
void SmallBlkListContext<Layout, S>::give_back(MemContext* owner, ContextCaches& caches) {
    auto* context = static_cast<SmallBlkListContext*>(owner);
    LockHolder hold(context->lock);
    for (int cls = 0; cls < pool_count; ++cls) {
        FragmentStack& stack = caches.classes[cls];
        for (uint32_t i = 0; i < stack.count; ++i) {
            tarvex_memory::handed_out(&context->pool(cls), stack.fragments[i],
                                      size_classes[cls][0]);
            context->pool(cls).pool_free(stack.fragments[i]);
        }
        stack.count = 0;
    }
}

// ---------------------------------------------------------------------------
// The operations
// ---------------------------------------------------------------------------

template <typename Layout, Sharing S>
void* SmallBlkListContext<Layout, S>::fast_alloc(uint32_t size) {
    if (size > largest_pooled) return std::malloc(size);
    return take_fragment(size);
}

template <typename Layout, Sharing S>
void SmallBlkListContext<Layout, S>::fast_free(void* block, uint32_t size) {
    if (size > largest_pooled) {
        std::free(block);
        return;
    }
    give_fragment(block, size);
}

template <typename Layout, Sharing S>
void* SmallBlkListContext<Layout, S>::std_alloc(uint32_t size) {
    uint32_t total;
    if (!Header::total_for(size, total)) return nullptr;
    void* obtained = total > largest_pooled ? std::malloc(total) : take_fragment(total);
    if (obtained == nullptr) return nullptr;
    return Header::attach(obtained, total);
}

template <typename Layout, Sharing S>
void SmallBlkListContext<Layout, S>::std_free(void* block) {
    const uint32_t total = Header::total_of(block);
    void* obtained = Header::detach(block, total);
    if (total > largest_pooled) {
        std::free(obtained);
        return;
    }
    give_fragment(obtained, total);
}

template <typename Layout, Sharing S>
uint32_t SmallBlkListContext<Layout, S>::std_size(void* block) {
    return Header::size_of(block);
}

template class SmallBlkListContext<PackedLayout, Sharing::one_thread>;
template class SmallBlkListContext<PackedLayout, Sharing::locked>;
template class SmallBlkListContext<PackedLayout, Sharing::thread_cached>;
template class SmallBlkListContext<DefaultAlignedLayout, Sharing::one_thread>;
template class SmallBlkListContext<DefaultAlignedLayout, Sharing::locked>;
template class SmallBlkListContext<DefaultAlignedLayout, Sharing::thread_cached>;

}  // namespace tarvex
