// The exported operations that create contexts and walk the registry. Each
// holds the library lock for its whole walk.
#include "base/library_state.h"
#include "registry/registry.h"
#include "tarvex/tarvex.h"

using namespace tarvex;

void Tarvex::context_init(ContextBase base) {
    // A context made before any start-up would be dropped by it.
    ensure_started();
    LockHolder hold(library_lock());
    make_context(base);
}

uint32_t Tarvex::get_context_info(ContextBase* out, uint32_t max) {
    if (out == nullptr) return 0;
    LockHolder hold(library_lock());
    uint32_t copied = 0;
    for (MemContext* context = registry_head(); context != nullptr && copied < max;
         context = context->next) {
        out[copied++] = *context;
    }
    return copied;
}

void Tarvex::set_context_trace_depth(uint32_t id, uint32_t depth) {
    LockHolder hold(library_lock());
    if (MemContext* context = find_context(id, false)) context->trace_depth = depth;
}

uint32_t Tarvex::context_alignment(uint32_t id) {
    LockHolder hold(library_lock());
    const MemContext* context = find_context(id, false);
    return context != nullptr ? context->block_alignment : 0;
}

void Tarvex::run_gc() {
    LockHolder hold(library_lock());
    // In tracking mode every use of a context holds the library lock, as this
    // walk does. Otherwise a context without a lock of its own may be in use
    // on another thread right now, and collecting it would pull blocks from
    // under that thread: the walk leaves it alone.
    const bool uses_hold_library_lock = back_trace_mode.load(std::memory_order_relaxed) > 0;
    for (MemContext* context = registry_head(); context != nullptr; context = context->next) {
        if (uses_hold_library_lock || (context->flags & multi_threaded) != 0) context->run_gc();
    }
}
