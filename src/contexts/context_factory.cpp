#include "contexts/context_factory.h"

#include <cstdlib>
#include <new>

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

MemContext* create_context_object(uint16_t) { return construct_in_heap<StdMallocContext>(); }

void destroy_context_object(MemContext* context) {
    context->shutdown();
    context->~MemContext();
    std::free(context);
}

}  // namespace tarvex
