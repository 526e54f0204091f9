#include "contexts/context_factory.h"

#include <cstdlib>
#include <new>

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
}  // namespace

MemContext* create_context_object(uint16_t type, uint16_t flags) {
    const bool aligned = wants_aligned_layout(flags);
    switch (type) {
        case Tarvex::SmallBlkList:
            return aligned ? construct_in_heap<SmallBlkListContext<DefaultAlignedLayout>>()
                           : construct_in_heap<SmallBlkListContext<PackedLayout>>();
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
