#include "contexts/mem_context.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "base/errors.h"
#include "base/library_state.h"
#include "contexts/builtin_contexts.h"
#include "contexts/grow_only_context.h"
#include "contexts/library_storage.h"
#include "contexts/small_blk_list_context.h"
#include "platform/platform.h"

// ---------------------------------------------------------------------------
// The context
// ---------------------------------------------------------------------------

namespace tarvex {

MemContext::MemContext() : Tarvex::ContextBase(), owner_thread(0) {
    lock_slot_create(&lock);
}

MemContext::~MemContext() {
    lock_slot_destroy(&lock);
}

void MemContext::run_gc() {}

void MemContext::init(const Tarvex::ContextBase& base) {
    static_cast<Tarvex::ContextBase&>(*this) = base;
    if ((flags & Tarvex::multi_threaded) == 0) lock_slot_switch_off(&lock);
    name = copy_name(base.name);
}

void MemContext::shutdown() {
    release_name(name);
    static_cast<Tarvex::ContextBase&>(*this) = Tarvex::ContextBase();
    flags = 0;
}

bool MemContext::check_owner_thread() {
    TARVEX_CHECK_LIBRARY_LOCK();
    // Any flag bit exempts the context, not only multi_threaded.
    if (flags != 0) return false;
    const uint32_t self = platform::current_thread_id();
    if (self == owner_thread) return false;
    if (owner_thread == 0) {
        owner_thread = self;
        return false;
    }
    report_error(error_single_thread_misuse);
    return true;
}

}  // namespace tarvex

// ---------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------

namespace tarvex {

const char* copy_name(const char* text) {
    if (text == nullptr || text[0] == '\0') return static_names[empty_name];
    if (is_static_name(text)) return text;
    const size_t length = std::strlen(text) + 1;
    char* copy = static_cast<char*>(library_alloc(length));
    if (copy == nullptr) return static_names[empty_name];
    std::memcpy(copy, text, length);
    return copy;
}

void release_name(const char* text) {
    if (text == nullptr || is_static_name(text)) return;
    library_free(const_cast<char*>(text));
}

}  // namespace tarvex

// ---------------------------------------------------------------------------
// Making contexts
// ---------------------------------------------------------------------------

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
    return (flags & Tarvex::thread_cache) != 0 &&
           back_trace_mode.load(std::memory_order_relaxed) == 0;
}

template <typename Layout>
MemContext* construct_small_blocks(uint16_t flags) {
    switch (sharing_for(flags, wants_thread_caches(flags))) {
        case Sharing::one_thread:
            return construct_in_heap<SmallBlkListContext<Layout, Sharing::one_thread>>();
        case Sharing::locked:
            return construct_in_heap<SmallBlkListContext<Layout, Sharing::locked>>();
        case Sharing::thread_cached:
            return construct_in_heap<SmallBlkListContext<Layout, Sharing::thread_cached>>();
    }
    return nullptr;
}

template <typename Layout>
MemContext* construct_arena(uint16_t flags) {
    if (sharing_for(flags, false) == Sharing::one_thread)
        return construct_in_heap<GrowOnlyContext<Layout, Sharing::one_thread>>();
    return construct_in_heap<GrowOnlyContext<Layout, Sharing::locked>>();
}

}  // namespace

MemContext* create_context_object(uint16_t type, uint16_t flags) {
    const bool aligned = wants_aligned_layout(flags);
    switch (type) {
        case Tarvex::SmallBlkList:
            return aligned ? construct_small_blocks<DefaultAlignedLayout>(flags)
                           : construct_small_blocks<PackedLayout>(flags);
        case Tarvex::GrowOnly:
            return aligned ? construct_arena<DefaultAlignedLayout>(flags)
                           : construct_arena<PackedLayout>(flags);
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
