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

// Where a byte count goes: its pool, and the header in front of the caller's
// bytes.
struct SizeFit {
    uint8_t pool;
    uint8_t header;
};

// The fits of every byte count a context's pools serve, the same for every
// context of a layout and built when the library is compiled: a call looks
// its pool and header up in one load, without a branch on the size.
template <typename Layout, uint32_t Largest>
struct SizeFits {
    // The largest std size whose block and header fit the largest fragment.
    static constexpr uint32_t largest_std = [] {
        uint32_t size = Largest;
        while (size + Layout::header_for_size(size) > Largest) --size;
        return size;
    }();

    constexpr SizeFits() {
        for (uint32_t bytes = 0; bytes <= Largest; ++bytes) {
            uint8_t pool = 0;
            while (size_classes[pool][0] < bytes) ++pool;
            by_bytes[bytes] = {pool, static_cast<uint8_t>(Layout::header_for_total(bytes))};
        }
        for (uint32_t size = 0; size <= largest_std; ++size) {
            const uint32_t header = Layout::header_for_size(size);
            by_std_size[size] = {by_bytes[size + header].pool, static_cast<uint8_t>(header)};
        }
    }

    // By the bytes asked of a pool: a fast size, or a std block's total.
    SizeFit by_bytes[Largest + 1] = {};
    // By the size a std call asks for.
    SizeFit by_std_size[largest_std + 1] = {};
};

template <typename Layout, uint32_t Largest>
constexpr SizeFits<Layout, Largest> size_fits{};

}  // namespace

// ---------------------------------------------------------------------------
// Life
// ---------------------------------------------------------------------------

template <typename Layout, Sharing S>
SmallBlkListContext<Layout, S>::SmallBlkListContext() {
    block_alignment = Layout::packed ? PackedLayout::fragment_alignment : Layout::cap;
}

template <typename Layout, Sharing S>
ContextPool& SmallBlkListContext<Layout, S>::pool(int index) {
    return *std::launder(reinterpret_cast<ContextPool*>(pools[index]));
}

template <typename Layout, Sharing S>
void SmallBlkListContext<Layout, S>::init(const Tarvex::ContextBase& base) {
    MemContext::init(base);
    for (int i = 0; i < pool_count; ++i) {
        const uint32_t fragment = size_classes[i][0];
        new (pools[i]) ContextPool(0, fragment, size_classes[i][1],
                                   Layout::pool_alignment(fragment), tarvex_ids::library_context);
    }
    if constexpr (S == Sharing::thread_cached) cache_index = claim_cache_index();
}

template <typename Layout, Sharing S>
void SmallBlkListContext<Layout, S>::shutdown() {
    // The threads' caches go with the pools: their fragments lie in the
    // pools' blocks, and the next start makes every cache stale.
    ContextLockHolder<S> hold(lock);
    if constexpr (S == Sharing::thread_cached) empty_depot();
    for (int i = 0; i < pool_count; ++i) pool(i).~ContextPool();
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
inline void* SmallBlkListContext<Layout, S>::fragment_at_hand(int cls) {
    if constexpr (S == Sharing::thread_cached) {
        ContextCaches* caches = current_thread_caches(cache_index);
        if (caches == nullptr || caches->classes[cls].count == 0) return nullptr;
        FragmentStack& stack = caches->classes[cls];
        void* fragment = stack.fragments[--stack.count];
        tarvex_memory::handed_out(&pool(cls), fragment, size_classes[cls][0]);
        return fragment;
    }
    ContextLockHolder<S> hold(lock);
    return pool(cls).take_free();
}

template <typename Layout, Sharing S>
void* SmallBlkListContext<Layout, S>::take_fragment(int cls) {
    if constexpr (S == Sharing::thread_cached) {
        if (void* fragment = fragment_at_hand(cls)) return fragment;
        return refill(cls);
    }
    ContextLockHolder<S> hold(lock);
    return pool(cls).pool_alloc(size_classes[cls][0]);
}

template <typename Layout, Sharing S>
inline void SmallBlkListContext<Layout, S>::give_fragment(void* fragment, int cls) {
    if constexpr (S == Sharing::thread_cached) {
        if (ContextCaches* caches = current_thread_caches(cache_index)) {
            FragmentStack& stack = caches->classes[cls];
            if (stack.count != thread_cache_depth) {
                tarvex_memory::given_back(&pool(cls), fragment, size_classes[cls][0]);
                stack.fragments[stack.count++] = fragment;
                return;
            }
        }
        return spill(fragment, cls);
    }
    ContextLockHolder<S> hold(lock);
    pool(cls).pool_free(fragment);
}

template <typename Layout, Sharing S>
void* SmallBlkListContext<Layout, S>::refill(int cls) {
    const uint32_t bytes = size_classes[cls][0];
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
            tarvex_memory::given_back(&pool(cls), fragment, bytes);
            stack.fragments[stack.count++] = fragment;
        }
        return pool(cls).pool_alloc(bytes);
    }
    void* fragment = stack.fragments[--stack.count];
    tarvex_memory::handed_out(&pool(cls), fragment, bytes);
    return fragment;
}

template <typename Layout, Sharing S>
void SmallBlkListContext<Layout, S>::spill(void* fragment, int cls) {
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
    const int cls = size_fits<Layout, largest_pooled>.by_bytes[size].pool;
    if (void* fragment = fragment_at_hand(cls)) return fragment;
    return take_fragment(cls);
}

template <typename Layout, Sharing S>
void SmallBlkListContext<Layout, S>::fast_free(void* block, uint32_t size) {
    if (size > largest_pooled) {
        std::free(block);
        return;
    }
    give_fragment(block, size_fits<Layout, largest_pooled>.by_bytes[size].pool);
}

// The path of a fragment at hand makes no call: the heap and a pool that
// must grow (or a thread cache that must refill) are left to calls of their
// own in return position.
template <typename Layout, Sharing S>
void* SmallBlkListContext<Layout, S>::std_alloc(uint32_t size) {
    using Fits = SizeFits<Layout, largest_pooled>;
    if (size > Fits::largest_std) return std_alloc_from_heap(size);
    const SizeFit fit = size_fits<Layout, largest_pooled>.by_std_size[size];
    void* fragment = fragment_at_hand(fit.pool);
    if (fragment == nullptr) return std_alloc_taking(size);
    return Header::attach(fragment, size + fit.header, fit.header);
}

template <typename Layout, Sharing S>
void* SmallBlkListContext<Layout, S>::std_alloc_taking(uint32_t size) {
    const SizeFit fit = size_fits<Layout, largest_pooled>.by_std_size[size];
    void* fragment = take_fragment(fit.pool);
    if (fragment == nullptr) return nullptr;
    return Header::attach(fragment, size + fit.header, fit.header);
}

template <typename Layout, Sharing S>
void* SmallBlkListContext<Layout, S>::std_alloc_from_heap(uint32_t size) {
    uint32_t total;
    if (!Header::total_for(size, total)) return nullptr;
    void* obtained = std::malloc(total);
    if (obtained == nullptr) return nullptr;
    return Header::attach(obtained, total);
}

template <typename Layout, Sharing S>
void SmallBlkListContext<Layout, S>::std_free(void* block) {
    const uint32_t total = Header::total_of(block);
    if (total > largest_pooled) {
        std::free(Header::detach(block, total));
        return;
    }
    const SizeFit fit = size_fits<Layout, largest_pooled>.by_bytes[total];
    give_fragment(Header::detach_header(block, fit.header), fit.pool);
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
