#include "contexts/context_factory.h"

#include <cstdlib>
#include <new>

#include "base/library_state.h"
#include "contexts/grow_only_context.h"
#include "contexts/small_blk_list_context.h"
#include "contexts/std_malloc_context.h"

namespace tarvex {

namespace {
template <typename Context>
MemContext* construct_in_heap() {
    void* storage = std::malloc(sizeof(Context));
    if (storage == nullptr) return nullptr;
    return new (storage) Context();
}

// Thread caches serve a shared context; in tracking mode every call goes
// through the library lock anyway, and the figures stay exact without them.
bool wants_thread_caches(uint16_t flags) {
    const uint16_t both = Tarvex::multi_threaded | Tarvex::thread_cache;
    return (flags & both) == both && back_trace_mode.load(std::memory_order_relaxed) == 0;
}

template <typename Layout>
MemContext* construct_small_blocks(uint16_t flags) {
    if (wants_thread_caches(flags)) return construct_in_heap<SmallBlkListContext<Layout, true>>();
    return construct_in_heap<SmallBlkListContext<Layout, false>>();
}

}  // namespace

MemContext* create_context_object(uint16_t type, uint16_t flags) {
    const bool aligned = wants_aligned_layout(flags);
    switch (type) {
        case Tarvex::SmallBlkList:
            return aligned ? construct_small_blocks<DefaultAlignedLayout>(flags)
                           : construct_small_blocks<PackedLayout>(flags);
        case Tarvex::GrowOnly:
            return aligned ? construct_in_heap<GrowOnlyContext<DefaultAlignedLayout>>()
                           : construct_in_heap<GrowOnlyContext<PackedLayout>>();
        default:
            // Every other code, known or not, is served by the runtime heap.
            return construct_in_heap<StdMallocContext>();
    }
}

void destroy_context_object(MemContext* context) {
    context->shutdown();
    context->~MemContext();
    std::free(context);
}

}  // namespace tarvex
